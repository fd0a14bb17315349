#include "delta_apply.h"

#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "cbor_parser_internal.h"

/* A delta is read straight from its bytes, item by item, without copying
 * strings out. Both ways of applying it make two passes: the first checks
 * the delta and adds up the result, the second copies the bytes into
 * memory taken once for the whole result. diff_apply_binary reads items
 * exactly as cbor_next_val would (read_item) and its result's capacity is
 * the one a buffer grown by one append per item reaches; the strict pair
 * reads them as CBOR does (read_strict). */

namespace {

enum item_kind { ITEM_UINT, ITEM_STRING, ITEM_OTHER };

struct item {
    item_kind kind;
    uint64_t value;        /* ITEM_UINT */
    const uint8_t *bytes;  /* ITEM_STRING: the content, inside the delta */
    uint64_t length;
};

/* Takes the item at data[at, len) whose head has been read: for a
 * definite-length string (major 2, 3) also the content bytes its argument
 * counts. Moves *pos past the item; false, with *pos unchanged, when the
 * content is cut short. */
bool take_item(const uint8_t *data, size_t len, size_t at, const cbor_head &head, size_t *pos, item *out)
{
    size_t used = head.size;
    out->kind = ITEM_OTHER;
    if (head.major == 0) {
        out->kind = ITEM_UINT;
        out->value = head.argument;
    } else if ((head.major == 2 || head.major == 3) && head.info <= 27) {
        if (head.argument > len - at - used)
            return false;
        out->kind = ITEM_STRING;
        out->bytes = data + at + used;
        out->length = head.argument;
        used += (size_t)head.argument;
    }
    *pos = at + used;
    return true;
}

/* Reads the item at *pos and moves *pos past it. False, with *pos
 * unchanged, when no byte is left or the item is cut short. Items are
 * read as the parser's dispatch reads them: as CBOR does, but a tag
 * (c0-df) and the simple value f8 are their initial byte alone, and a
 * reserved head (info 28-30, and 1f, 3f) is one byte that reads as the
 * integer 0 in major type 0 (1c-1f) and is ignored elsewhere.
 *
 * With report set, the simple values the parser does not decode (e0-f3,
 * f8) get its message on standard error. */
bool read_item(const uint8_t *data, size_t len, size_t *pos, item *out, bool report)
{
    size_t at = *pos;
    if (at >= len)
        return false;
    uint8_t code = data[at];
    cbor_head head = {(uint8_t)(code >> 5), (uint8_t)(code & 0x1f), 0, 1};
    if (head.major != 6 && code != 0xf8 && cbor_head_decode(data + at, len - at, &head) == CBOR_HEAD_SHORT)
        return false;
    if (report && head.major == 7 && (head.info < 20 || head.info == 24))
        cbor_report_unimplemented(code);
    return take_item(data, len, at, head, pos, out);
}

/* Reads the item at data[*pos, len), *pos < len, as CBOR reads it and moves
 * *pos past it. CBOR_HEAD_SHORT for an item cut short, CBOR_HEAD_MALFORMED
 * for a head CBOR reserves; *pos is unchanged on either. */
int read_strict(const uint8_t *data, size_t len, size_t *pos, item *out)
{
    cbor_head head;
    int answer = cbor_head_decode(data + *pos, len - *pos, &head);
    if (answer != CBOR_HEAD_OK)
        return answer;
    return take_item(data, len, *pos, head, pos, out) ? CBOR_HEAD_OK : CBOR_HEAD_SHORT;
}

/* Length and capacity of the result as appends of one piece each grow it
 * (capacity 2 * (len + n) whenever len + n exceeds it, as buf does); false
 * when a size would not fit size_t. */
struct total {
    size_t len = 0, capacity = 0;

    bool add(uint64_t n)
    {
        if (n == 0)
            return true;
        if (n > SIZE_MAX - len)
            return false;
        size_t needed = len + (size_t)n;
        if (needed > capacity) {
            if (needed > SIZE_MAX / 2)
                return false;
            capacity = 2 * needed;
        }
        len = needed;
        return true;
    }
};

/* Pass one: checks the items up to the end of the delta or the first item
 * cut short, whose position becomes *stop, and totals the result. False
 * when the delta is malformed: a match without an unsigned second item, a
 * match outside the old value, or a result no buffer can hold. */
bool measure(const buf *old_value, const uint8_t *data, size_t len, size_t *stop, total *t)
{
    size_t pos = 0;
    item first, second;
    while (read_item(data, len, &pos, &first, true)) {
        if (first.kind == ITEM_UINT) {
            if (!read_item(data, len, &pos, &second, true) || second.kind != ITEM_UINT)
                return false;
            uint32_t offset = (uint32_t)first.value, length = (uint32_t)second.value;
            if ((uint64_t)offset + length > old_value->len || !t->add(length))
                return false;
        } else if (first.kind == ITEM_STRING && !t->add(first.length)) {
            return false;
        }
    }
    *stop = pos;
    return true;
}

/* Pass two, over the items pass one accepted. */
void copy(const buf *old_value, const uint8_t *data, size_t stop, char *out)
{
    size_t pos = 0;
    item first, second;
    while (read_item(data, stop, &pos, &first, false)) {
        if (first.kind == ITEM_UINT) {
            read_item(data, stop, &pos, &second, false);
            uint32_t offset = (uint32_t)first.value, length = (uint32_t)second.value;
            if (length > 0) {
                memcpy(out, old_value->data + offset, length);
                out += length;
            }
        } else if (first.kind == ITEM_STRING && first.length > 0) {
            memcpy(out, first.bytes, (size_t)first.length);
            out += first.length;
        }
    }
}

bool is_no_change(const buf *delta)
{
    return delta->len == 1 && (uint8_t)delta->data[0] == 0xf6;
}

/* Strict pass two: the items of a delta diff_apply_check accepted, into
 * at most room bytes; returns the bytes written. Reads and writes stay in
 * bounds whatever the delta holds, even one changed since it was checked. */
size_t fill(const buf *old_value, const uint8_t *data, size_t len, char *out, size_t room)
{
    size_t pos = 0, written = 0;
    item first, second;
    while (pos < len && written < room && read_strict(data, len, &pos, &first) == CBOR_HEAD_OK) {
        const char *from;
        uint64_t n;
        if (first.kind == ITEM_UINT) {
            if (pos == len || read_strict(data, len, &pos, &second) != CBOR_HEAD_OK || second.kind != ITEM_UINT ||
                first.value > old_value->len || second.value > old_value->len - first.value)
                break;
            from = old_value->data + first.value;
            n = second.value;
        } else if (first.kind == ITEM_STRING) {
            from = (const char *)first.bytes;
            n = first.length;
        } else {
            continue;
        }
        if (n > room - written)
            n = room - written;
        if (n > 0)
            memcpy(out + written, from, (size_t)n);
        written += (size_t)n;
    }
    return written;
}

}  // namespace

buf *diff_apply_binary(const buf *old_value, const buf *delta)
{
    if (!old_value || !delta || delta->len > INT32_MAX || (!delta->data && delta->len > 0))
        return NULL;
    const uint8_t *data = (const uint8_t *)delta->data;
    size_t stop = 0;
    total t;
    if (!measure(old_value, data, delta->len, &stop, &t))
        return NULL;
    buf *result = buf_create();
    if (!result || t.len == 0)
        return result;
    result->data = (char *)ostrel_malloc(t.capacity);
    if (!result->data) {
        buf_free(result);
        return NULL;
    }
    copy(old_value, data, stop, result->data);
    result->len = t.len;
    result->capacity = t.capacity;
    return result;
}

int diff_apply_check(const buf *old_value, const buf *delta, uint64_t max_length, uint64_t *length, size_t *offset)
{
    *offset = 0;
    if (!old_value || !delta || (!delta->data && delta->len > 0) || (!old_value->data && old_value->len > 0))
        return DIFF_APPLY_NULL_ARGUMENT;
    if (is_no_change(delta)) {
        if (old_value->len > max_length)
            return DIFF_APPLY_TOO_LONG;
        *length = old_value->len;
        return DIFF_APPLY_OK;
    }
    const uint8_t *data = (const uint8_t *)delta->data;
    size_t len = delta->len, pos = 0;
    uint64_t total = 0; /* stays at most max_length */
    while (pos < len) {
        *offset = pos;
        item first, second;
        int answer = read_strict(data, len, &pos, &first);
        if (answer != CBOR_HEAD_OK)
            return answer == CBOR_HEAD_SHORT ? DIFF_APPLY_CUT_SHORT : DIFF_APPLY_BAD_HEAD;
        uint64_t n = first.kind == ITEM_STRING ? first.length : 0;
        if (first.kind == ITEM_UINT) {
            if (pos == len)
                return DIFF_APPLY_NO_LENGTH;
            size_t second_at = pos;
            answer = read_strict(data, len, &pos, &second);
            if (answer != CBOR_HEAD_OK) {
                *offset = second_at;
                return answer == CBOR_HEAD_SHORT ? DIFF_APPLY_CUT_SHORT : DIFF_APPLY_BAD_HEAD;
            }
            if (second.kind != ITEM_UINT)
                return DIFF_APPLY_NO_LENGTH;
            if (first.value > old_value->len || second.value > old_value->len - first.value)
                return DIFF_APPLY_OUTSIDE_OLD;
            n = second.value;
        }
        if (n > max_length - total)
            return DIFF_APPLY_TOO_LONG;
        total += n;
    }
    *offset = 0;
    *length = total;
    return DIFF_APPLY_OK;
}

size_t diff_apply_fill(const buf *old_value, const buf *delta, char *out, size_t room)
{
    if (!old_value || !delta || !delta->data || (!old_value->data && old_value->len > 0))
        return 0;
    if (is_no_change(delta)) {
        size_t n = old_value->len < room ? old_value->len : room;
        if (n > 0)
            memcpy(out, old_value->data, n);
        return n;
    }
    return fill(old_value, (const uint8_t *)delta->data, delta->len, out, room);
}

const char *diff_apply_reason(int code)
{
    switch (code) {
    case DIFF_APPLY_OK:
        return "the delta applies";
    case DIFF_APPLY_NULL_ARGUMENT:
        return "no old value or no delta";
    case DIFF_APPLY_CUT_SHORT:
        return "the item runs past the end of the delta";
    case DIFF_APPLY_BAD_HEAD:
        return "the item head is malformed (reserved additional information, or indefinite length on an integer or tag)";
    case DIFF_APPLY_NO_LENGTH:
        return "the match offset is not followed by an unsigned integer length";
    case DIFF_APPLY_OUTSIDE_OLD:
        return "the match reaches outside the old value";
    case DIFF_APPLY_TOO_LONG:
        return "the result would be longer than the limit";
    case DIFF_APPLY_BAD_RECORD:
        return "the check record is damaged or cut short";
    case DIFF_APPLY_RECORD_VERSION:
        return "the check record is of a version this reader does not know";
    case DIFF_APPLY_NO_RECORD:
        return "the delta has no check record";
    case DIFF_APPLY_WRONG_OLD:
        return "the old value is not the one the delta was made from: its length or digest differs from the check record's";
    case DIFF_APPLY_WRONG_RESULT:
        return "the result is not the value the delta was made for: its length or digest differs from the check record's";
    default:
        return "unknown answer";
    }
}

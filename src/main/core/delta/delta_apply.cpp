#include "delta_apply.h"

#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "cbor_parser_internal.h"

/* A delta is read straight from its bytes, item by item, consuming each
 * item exactly as cbor_next_val would, but without copying strings out.
 * A first pass checks the delta and adds up the result; a second one
 * copies the bytes into a single allocation. The result's capacity is the
 * one a buffer grown by one append per item reaches. */

namespace {

enum item_kind { ITEM_UINT, ITEM_STRING, ITEM_OTHER };

struct item {
    item_kind kind;
    uint64_t value;        /* ITEM_UINT */
    const uint8_t *bytes;  /* ITEM_STRING: the content, inside the delta */
    uint64_t length;
};

/* Reads the item at *pos and moves *pos past it. False, with *pos
 * unchanged, when no byte is left or the item is cut short. Items are
 * read as the parser's dispatch reads them: a head, and for a string of
 * definite length (major 2, 3) the content bytes its argument counts;
 * but a tag (c0-df) and the simple value f8 are their initial byte alone,
 * and a reserved head (info 28-30, and 1f, 3f) is one byte that reads
 * as the integer 0 in major type 0 (1c-1f) and is ignored elsewhere.
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
    } else if (report && head.major == 7 && (head.info < 20 || head.info == 24)) {
        cbor_report_unimplemented(code);
    }
    *pos = at + used;
    return true;
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

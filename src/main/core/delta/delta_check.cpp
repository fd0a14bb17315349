#include "delta_check.h"

#include <string.h>

#include "alloc.h"
#include "cbor_head.h"

/* The digest library is compiled into this file alone, header only: the
 * core gains no run-time dependency. */
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

/* The marker item: a negative integer whose 8 argument bytes are "ostrel",
 * then the version as a 16-bit number. */
const uint8_t marker[9] = {0x3b, 'o', 's', 't', 'r', 'e', 'l', 0x00, DIFF_CHECK_VERSION};
constexpr size_t marker_name = 7; /* bytes 1-7: "ostrel" 00 */
constexpr uint8_t digest_code = 0x3b;

uint64_t digest(const char *data, size_t len)
{
    return XXH3_64bits(len ? data : "", len);
}

size_t put_digest(uint64_t value, uint8_t *out)
{
    out[0] = digest_code;
    for (int i = 1; i <= 8; ++i) out[i] = (uint8_t)(value >> (8 * (8 - i)));
    return 9;
}

/* The record for (old, new): its bytes into out, which has room for
 * DIFF_CHECK_RECORD_MAX; returns their count. */
size_t write_record(const buf *old_value, const buf *new_value, uint8_t *out)
{
    size_t n = sizeof marker;
    memcpy(out, marker, n);
    n += cbor_head_encode(1, old_value->len, out + n);
    n += put_digest(digest(old_value->data, old_value->len), out + n);
    n += cbor_head_encode(1, new_value->len, out + n);
    n += put_digest(digest(new_value->data, new_value->len), out + n);
    return n;
}

bool is_no_change(const uint8_t *data, size_t len)
{
    return len == 1 && data[0] == 0xf6;
}

/* Reads a record field at data[*pos, len): a negative integer in shortest
 * form, and for a digest exactly the 9-byte head. */
bool read_field(const uint8_t *data, size_t len, size_t *pos, bool is_digest, uint64_t *value)
{
    cbor_head head;
    if (cbor_head_decode(data + *pos, len - *pos, &head) != CBOR_HEAD_OK || head.major != 1)
        return false;
    if (is_digest ? data[*pos] != digest_code : head.size != cbor_head_size(head.argument))
        return false;
    *value = head.argument;
    *pos += head.size;
    return true;
}

/* The delta after its record. */
buf body_of(const buf *delta, const diff_check_record &record)
{
    return buf{delta->data + record.size, delta->len - record.size, delta->len - record.size};
}

}  // namespace

buf *diff_check_prepend(const buf *old_value, const buf *new_value, buf *delta)
{
    if (!delta)
        return NULL;
    if (!old_value || !new_value || (!old_value->data && old_value->len) || (!new_value->data && new_value->len)) {
        buf_free(delta);
        return NULL;
    }
    uint8_t front[DIFF_CHECK_RECORD_MAX + 2 * CBOR_HEAD_MAX];
    size_t n = write_record(old_value, new_value, front);
    if (is_no_change((const uint8_t *)delta->data, delta->len)) {
        /* The whole old value as one match, which every reader builds. */
        n += cbor_head_encode(0, 0, front + n);
        n += cbor_head_encode(0, old_value->len, front + n);
        delta->len = 0;
    }
    if (delta->len > SIZE_MAX / 2 - n) {
        buf_free(delta);
        return NULL;
    }
    size_t needed = delta->len + n;
    if (needed > delta->capacity) {
        char *grown = (char *)ostrel_realloc(delta->data, needed);
        if (!grown) {
            buf_free(delta);
            return NULL;
        }
        delta->data = grown;
        delta->capacity = needed;
    }
    if (delta->len)
        memmove(delta->data + n, delta->data, delta->len);
    memcpy(delta->data, front, n);
    delta->len = needed;
    return delta;
}

int diff_check_read(const buf *delta, diff_check_record *record, size_t *offset)
{
    *offset = 0;
    memset(record, 0, sizeof *record);
    if (!delta || (!delta->data && delta->len))
        return DIFF_APPLY_NULL_ARGUMENT;
    const uint8_t *data = (const uint8_t *)delta->data;
    size_t len = delta->len;
    bool named = len > marker_name && memcmp(data + 1, marker + 1, marker_name) == 0;
    if (len == 0 || (data[0] >> 5 != 1 && !named))
        return DIFF_APPLY_OK;
    if (len < sizeof marker || data[0] != marker[0] || !named)
        return DIFF_APPLY_BAD_RECORD;
    if (data[sizeof marker - 1] != DIFF_CHECK_VERSION)
        return DIFF_APPLY_RECORD_VERSION;
    size_t pos = sizeof marker;
    uint64_t *fields[] = {&record->old_length, &record->old_digest, &record->new_length, &record->new_digest};
    for (int i = 0; i < 4; ++i) {
        *offset = pos;
        if (pos == len || !read_field(data, len, &pos, i % 2 == 1, fields[i]))
            return DIFF_APPLY_BAD_RECORD;
    }
    *offset = 0;
    record->size = pos;
    return DIFF_APPLY_OK;
}

int diff_apply_checked(const buf *old_value, const buf *delta, int mode, uint64_t max_length, uint64_t *length,
                       size_t *offset)
{
    *offset = 0;
    if (!old_value || (!old_value->data && old_value->len))
        return DIFF_APPLY_NULL_ARGUMENT;
    diff_check_record record;
    int answer = diff_check_read(delta, &record, offset);
    if (answer != DIFF_APPLY_OK)
        return answer;
    bool verify = mode != DIFF_CHECK_SKIPPED;
    if (record.size == 0) {
        if (mode != DIFF_CHECK_WHEN_PRESENT && mode != DIFF_CHECK_SKIPPED)
            return DIFF_APPLY_NO_RECORD;
        return diff_apply_check(old_value, delta, max_length, length, offset);
    }
    if (verify) {
        if (record.new_length > max_length)
            return DIFF_APPLY_TOO_LONG;
        if (record.old_length != old_value->len || record.old_digest != digest(old_value->data, old_value->len))
            return DIFF_APPLY_WRONG_OLD;
    }
    buf body = body_of(delta, record);
    answer = diff_apply_check(old_value, &body, max_length, length, offset);
    if (answer != DIFF_APPLY_OK) {
        *offset += record.size;
        return answer;
    }
    if (verify && *length != record.new_length)
        return DIFF_APPLY_WRONG_RESULT;
    return DIFF_APPLY_OK;
}

int diff_apply_checked_fill(const buf *old_value, const buf *delta, int mode, char *out, size_t room,
                            size_t *written)
{
    *written = 0;
    diff_check_record record;
    size_t offset;
    int answer = diff_check_read(delta, &record, &offset);
    if (answer != DIFF_APPLY_OK)
        return answer;
    if (record.size == 0) {
        if (mode != DIFF_CHECK_WHEN_PRESENT && mode != DIFF_CHECK_SKIPPED)
            return DIFF_APPLY_NO_RECORD;
        *written = diff_apply_fill(old_value, delta, out, room);
        return DIFF_APPLY_OK;
    }
    buf body = body_of(delta, record);
    *written = diff_apply_fill(old_value, &body, out, room);
    if (mode != DIFF_CHECK_SKIPPED &&
        (*written != record.new_length || digest(out, *written) != record.new_digest))
        return DIFF_APPLY_WRONG_RESULT;
    return DIFF_APPLY_OK;
}

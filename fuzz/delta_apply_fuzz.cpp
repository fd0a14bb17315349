// Applies an arbitrary delta to an arbitrary old value and compares the
// result with a second application written here from the delta format:
// items are sized from their heads alone, a match is two unsigned
// integers naming a range inside the old value, strings are appended,
// anything else is skipped, a truncated item ends the delta and a match
// without its length or outside the old value makes it malformed.
// The strict application (diff_apply_check, diff_apply_fill) is compared
// with a strict reference: every head read as CBOR reads it (tags and f8
// with their argument bytes), reserved heads and unreadable items are
// errors at their offset, and f6 alone gives the old value; the measured
// length is the filled length, and a limit one below it is refused.
// The input is split: two bytes give the old value's length, that many
// bytes follow, and the rest is the delta.
#include <cstdlib>
#include <cstring>
#include <string>

#include "delta_apply.h"
#include "fuzz_input.h"

namespace {

struct Item {
    uint8_t major;
    uint64_t argument;  // unsigned integer value or definite string length
    const uint8_t *content;
    bool definite_string;
};

// Reads the item at *at; false at the end or for an item cut short.
bool read_item(const uint8_t **at, const uint8_t *end, Item *item) {
    if (*at == end) return false;
    const uint8_t *p = *at;
    size_t left = static_cast<size_t>(end - p);
    uint8_t major = p[0] >> 5, info = p[0] & 0x1f;
    size_t head = 1;
    uint64_t argument = info;
    if (major == 6 || (major == 7 && (info < 25 || info > 27))) {
        argument = 0;
    } else if (info >= 24 && info <= 27) {
        head += size_t{1} << (info - 24);
        if (head > left) return false;
        argument = 0;
        for (size_t i = 1; i < head; i++) argument = argument << 8 | p[i];
    } else if (info >= 28) {
        argument = 0;  // reserved and indefinite codes are their initial byte alone
    }
    bool definite_string = (major == 2 || major == 3) && info <= 27;
    size_t size = head;
    if (definite_string) {
        if (argument > left - head) return false;
        size += static_cast<size_t>(argument);
    }
    *item = {major, argument, p + head, definite_string};
    *at = p + size;
    return true;
}

// The rebuilt value, or false for a malformed delta.
bool reference_apply(const uint8_t *old_value, size_t old_len, const uint8_t *delta, size_t len,
                     std::string *out) {
    const uint8_t *at = delta, *end = delta + len;
    Item item;
    while (read_item(&at, end, &item)) {
        if (item.major == 0) {
            Item length;
            if (!read_item(&at, end, &length) || length.major != 0) return false;
            uint64_t offset = static_cast<uint32_t>(item.argument), count = static_cast<uint32_t>(length.argument);
            if (offset + count > old_len) return false;
            out->append(reinterpret_cast<const char *>(old_value) + offset, static_cast<size_t>(count));
        } else if (item.definite_string) {
            out->append(reinterpret_cast<const char *>(item.content), static_cast<size_t>(item.argument));
        }
    }
    return true;
}

enum Read { READ_OK, READ_END, READ_SHORT, READ_MALFORMED };

// Reads the item at *at as CBOR does.
Read read_strict(const uint8_t **at, const uint8_t *end, Item *item) {
    if (*at == end) return READ_END;
    const uint8_t *p = *at;
    size_t left = static_cast<size_t>(end - p);
    uint8_t major = p[0] >> 5, info = p[0] & 0x1f;
    if ((info >= 28 && info <= 30) || (info == 31 && (major <= 1 || major == 6))) return READ_MALFORMED;
    size_t head = info >= 24 && info <= 27 ? 1 + (size_t{1} << (info - 24)) : 1;
    if (head > left) return READ_SHORT;
    uint64_t argument = info < 24 ? info : 0;
    for (size_t i = 1; i < head; i++) argument = argument << 8 | p[i];
    bool definite_string = (major == 2 || major == 3) && info != 31;
    if (definite_string && argument > left - head) return READ_SHORT;
    *item = {major, argument, p + head, definite_string};
    *at = p + head + (definite_string ? static_cast<size_t>(argument) : 0);
    return READ_OK;
}

int code_of(Read r) { return r == READ_SHORT ? DIFF_APPLY_CUT_SHORT : DIFF_APPLY_BAD_HEAD; }

// DIFF_APPLY_OK with the rebuilt value, or the error code and offset.
int reference_strict(const uint8_t *old_value, size_t old_len, const uint8_t *delta, size_t len, std::string *out,
                     size_t *offset) {
    if (len == 1 && delta[0] == 0xf6) {
        out->assign(reinterpret_cast<const char *>(old_value), old_len);
        return DIFF_APPLY_OK;
    }
    const uint8_t *at = delta, *end = delta + len;
    for (;;) {
        *offset = static_cast<size_t>(at - delta);
        Item item, length;
        Read r = read_strict(&at, end, &item);
        if (r == READ_END) return DIFF_APPLY_OK;
        if (r != READ_OK) return code_of(r);
        if (item.major == 0) {
            const uint8_t *second = at;
            r = read_strict(&at, end, &length);
            if (r == READ_END) return DIFF_APPLY_NO_LENGTH;
            if (r != READ_OK) {
                *offset = static_cast<size_t>(second - delta);
                return code_of(r);
            }
            if (length.major != 0) return DIFF_APPLY_NO_LENGTH;
            if (item.argument > old_len || length.argument > old_len - item.argument) return DIFF_APPLY_OUTSIDE_OLD;
            out->append(reinterpret_cast<const char *>(old_value) + item.argument, static_cast<size_t>(length.argument));
        } else if (item.definite_string) {
            out->append(reinterpret_cast<const char *>(item.content), static_cast<size_t>(item.argument));
        }
    }
}

void check_strict(const buf &old_value, const buf &delta) {
    std::string expected;
    size_t expected_offset = 0, offset = 99;
    uint64_t length = 0;
    int code = reference_strict(reinterpret_cast<const uint8_t *>(old_value.data), old_value.len,
                                reinterpret_cast<const uint8_t *>(delta.data), delta.len, &expected, &expected_offset);
    if (diff_apply_check(&old_value, &delta, UINT64_MAX, &length, &offset) != code) abort();
    if (code != DIFF_APPLY_OK) {
        if (offset != expected_offset) abort();
        return;
    }
    if (length != expected.size() || offset != 0) abort();
    char *out = static_cast<char *>(malloc(expected.size() ? expected.size() : 1));  // exact: overruns are caught
    if (!out) abort();
    if (diff_apply_fill(&old_value, &delta, out, expected.size()) != expected.size()) abort();
    if (memcmp(out, expected.data(), expected.size()) != 0) abort();
    // Less room: a prefix, and nothing past the room.
    size_t room = expected.size() / 2;
    if (diff_apply_fill(&old_value, &delta, out, room) != room || memcmp(out, expected.data(), room) != 0) abort();
    free(out);
    if (length > 0 && diff_apply_check(&old_value, &delta, length - 1, &length, &offset) != DIFF_APPLY_TOO_LONG) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzInput in{data, size};
    size_t old_len;
    const uint8_t *old_bytes = in.take(in.u16(), &old_len);
    // Copies with exact sizes, so that any read outside them is caught.
    char *old_copy = static_cast<char *>(malloc(old_len ? old_len : 1));
    char *delta_copy = static_cast<char *>(malloc(in.size ? in.size : 1));
    if (!old_copy || !delta_copy) abort();
    memcpy(old_copy, old_bytes, old_len);
    memcpy(delta_copy, in.data, in.size);
    buf old_value = {old_copy, old_len, old_len};
    buf delta = {delta_copy, in.size, in.size};

    buf *result = diff_apply_binary(&old_value, &delta);
    std::string expected;
    bool well_formed = reference_apply(old_bytes, old_len, in.data, in.size, &expected);
    if ((result != nullptr) != well_formed) abort();
    if (result && (result->len != expected.size() ||
                   (result->len > 0 && memcmp(result->data, expected.data(), result->len) != 0)))
        abort();

    buf_free(result);
    check_strict(old_value, delta);
    free(old_copy);
    free(delta_copy);
    return 0;
}

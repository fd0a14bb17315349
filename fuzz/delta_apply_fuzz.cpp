// Applies an arbitrary delta to an arbitrary old value and compares the
// result with a second application written here from the delta format:
// items are sized from their heads alone, a match is two unsigned
// integers naming a range inside the old value, strings are appended,
// anything else is skipped, a truncated item ends the delta and a match
// without its length or outside the old value makes it malformed.
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
    free(old_copy);
    free(delta_copy);
    return 0;
}

#include "buf.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "alloc.h"

namespace {

// Makes room for n more bytes: when len + n exceeds the capacity, the
// storage is reallocated to 2 * (len + n). Returns false, with the buffer
// untouched, when that size does not fit size_t or realloc fails.
//
// *src may point into the buffer's own storage (a buffer appended to
// itself); it is moved along with the storage.
bool buf_reserve(buf *b, size_t n, const void **src) {
    if (n > SIZE_MAX - b->len) return false;
    size_t needed = b->len + n;
    if (needed <= b->capacity) return true;
    if (needed > SIZE_MAX / 2) return false;

    uintptr_t start = reinterpret_cast<uintptr_t>(b->data);
    uintptr_t from = reinterpret_cast<uintptr_t>(*src);
    bool inside = b->data != nullptr && from >= start && from < start + b->capacity;

    char *grown = static_cast<char *>(ostrel_realloc(b->data, 2 * needed));
    if (grown == nullptr) return false;
    b->data = grown;
    b->capacity = 2 * needed;
    if (inside) *src = grown + (from - start);
    return true;
}

// Appends n bytes in one piece; false when the buffer cannot grow.
bool buf_append(buf *b, const void *src, size_t n) {
    if (n == 0) return true;
    if (!buf_reserve(b, n, &src)) return false;
    memmove(b->data + b->len, src, n);
    b->len += n;
    return true;
}

// Unsigned LEB128: seven bits per byte, least significant group first,
// 0x80 set on every byte but the last.
//   300 = 0b10_0101100  ->  AC 02
size_t leb128_encode(uint64_t value, unsigned char *out) {
    size_t n = 0;
    while (value > 127) {
        out[n++] = static_cast<unsigned char>((value & 0x7f) | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<unsigned char>(value);
    return n;
}

}  // namespace

buf *buf_create(void) { return static_cast<buf *>(ostrel_calloc(1, sizeof(buf))); }

void buf_free(buf *b) {
    if (b == nullptr) return;
    ostrel_free(b->data);
    ostrel_free(b);
}

buf *buf_dup(const buf *b) {
    if (b == nullptr) return nullptr;
    buf *copy = buf_create();
    if (copy == nullptr || b->len == 0) return copy;
    copy->data = static_cast<char *>(ostrel_malloc(b->len));
    if (copy->data == nullptr) {
        ostrel_free(copy);
        return nullptr;
    }
    memcpy(copy->data, b->data, b->len);
    copy->len = b->len;
    copy->capacity = b->len;
    return copy;
}

void buf_write_bytes(buf *b, const void *src, size_t n) { buf_append(b, src, n); }

void buf_write_byte(buf *b, uint8_t byte) { buf_append(b, &byte, 1); }

void buf_write_bool(buf *b, bool value) {
    if (b == nullptr) return;
    buf_write_byte(b, value ? 0x01 : 0x00);
}

void buf_write_string(buf *b, const char *text) { buf_append(b, text, strlen(text)); }

void buf_write_buf(buf *dst, const buf *src) { buf_append(dst, src->data, src->len); }

void buf_write_float(buf *b, float value) { buf_append(b, &value, sizeof value); }

void buf_write_uint32_enc(buf *b, uint32_t value) {
    unsigned char scratch[5];
    buf_append(b, scratch, leb128_encode(value, scratch));
}

void buf_write_uint64_enc(buf *b, uint64_t value) {
    unsigned char scratch[10];
    buf_append(b, scratch, leb128_encode(value, scratch));
}

// LEB128 length (32-bit range), then the raw bytes, no terminator:
//   "abc" -> 03 61 62 63
// Prefix and bytes go in together or not at all. A length beyond the
// prefix's 32 bits cannot be read back and is refused.
void buf_write_string_length_enc(buf *b, const void *src, uint64_t length) {
    if (length > UINT32_MAX) return;
    unsigned char prefix[5];
    size_t prefix_len = leb128_encode(length, prefix);
    size_t n = static_cast<size_t>(length);
    if (n > SIZE_MAX - prefix_len || !buf_reserve(b, prefix_len + n, &src)) return;
    memcpy(b->data + b->len, prefix, prefix_len);
    if (n > 0) memmove(b->data + b->len + prefix_len, src, n);
    b->len += prefix_len + n;
}

void buf_write_string_enc(buf *b, const char *text) {
    buf_write_string_length_enc(b, text, text == nullptr ? 0 : strlen(text));
}

int buf_sprintf(buf *b, const char *format, ...) {
    size_t size = strlen(format) + 100;
    char *scratch = static_cast<char *>(ostrel_malloc(size));
    if (scratch == nullptr) return -1;

    va_list args;
    va_start(args, format);
    int result;
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        result = vsnprintf(scratch, size, format, attempt);
        va_end(attempt);
        if (result < 0) break;
        if (static_cast<size_t>(result) < size) {
            if (!buf_append(b, scratch, static_cast<size_t>(result))) result = -1;
            break;
        }
        size *= 2;
        char *larger = static_cast<char *>(ostrel_realloc(scratch, size));
        if (larger == nullptr) {
            result = -1;
            break;
        }
        scratch = larger;
    }
    va_end(args);
    ostrel_free(scratch);
    return result;
}

const char *buf_read_byte(const char *cursor, char *out) {
    if (cursor == nullptr) return nullptr;
    if (out != nullptr) *out = *cursor;
    return cursor + 1;
}

const char *buf_read_bool(const char *cursor, bool *out) {
    if (cursor == nullptr) return nullptr;
    if (out != nullptr) {
        if (*cursor != 0x00 && *cursor != 0x01) return nullptr;
        *out = *cursor == 0x01;
    }
    return cursor + 1;
}

const char *buf_read_uint32(const char *cursor, uint32_t *out) {
    if (cursor == nullptr) return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(cursor);
    uint32_t value = 0;
    for (int i = 0; i < 4; i++) value = value << 8 | p[i];
    if (out != nullptr) *out = value;
    return cursor + 4;
}

const char *buf_read_uint64(const char *cursor, uint64_t *out) {
    if (cursor == nullptr) return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(cursor);
    uint64_t value = 0;
    for (int i = 0; i < 8; i++) value = value << 8 | p[i];
    if (out != nullptr) *out = value;
    return cursor + 8;
}

// The last allowed byte (5th of a 32-bit value, 10th of a 64-bit one) must
// end the value; its bits above the type's width are dropped.
const char *buf_read_uint32_enc(const char *cursor, uint32_t *out) {
    if (cursor == nullptr) return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(cursor);
    uint32_t value = 0;
    for (int k = 0; k < 4; k++) {
        value |= static_cast<uint32_t>(p[k] & 0x7f) << (7 * k);
        if ((p[k] & 0x80) == 0) {
            if (out != nullptr) *out = value;
            return cursor + k + 1;
        }
    }
    if (p[4] & 0x80) return nullptr;
    value |= static_cast<uint32_t>(p[4]) << 28;
    if (out != nullptr) *out = value;
    return cursor + 5;
}

const char *buf_read_uint64_enc(const char *cursor, uint64_t *out) {
    if (cursor == nullptr) return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(cursor);
    uint64_t value = 0;
    for (int k = 0; k < 9; k++) {
        value |= static_cast<uint64_t>(p[k] & 0x7f) << (7 * k);
        if ((p[k] & 0x80) == 0) {
            if (out != nullptr) *out = value;
            return cursor + k + 1;
        }
    }
    if (p[9] & 0x80) return nullptr;
    value |= static_cast<uint64_t>(p[9] & 0x01) << 63;
    if (out != nullptr) *out = value;
    return cursor + 10;
}

const char *buf_read_float(const char *cursor, float *out) {
    uint32_t bits;
    const char *next = buf_read_uint32_enc(cursor, &bits);
    if (next != nullptr && out != nullptr) memcpy(out, &bits, sizeof bits);
    return next;
}

// Fails, storing nothing, when the prefix is malformed or the copy cannot
// be allocated.
const char *buf_read_string_length_enc(const char *cursor, char **out_string, uint32_t *out_length) {
    uint64_t decoded;
    const char *p = buf_read_uint64_enc(cursor, &decoded);
    if (p == nullptr) return nullptr;
    uint32_t length = static_cast<uint32_t>(decoded);
    if (out_string != nullptr) {
        if (static_cast<size_t>(length) + 1 == 0) return nullptr;
        char *copy = static_cast<char *>(ostrel_calloc(static_cast<size_t>(length) + 1, 1));
        if (copy == nullptr) return nullptr;
        memcpy(copy, p, length);
        *out_string = copy;
    }
    if (out_length != nullptr) *out_length = length;
    return p + length;
}

char *buf_as_string(const buf *b) {
    size_t len = b == nullptr ? 0 : b->len;
    char *text = static_cast<char *>(ostrel_calloc(len + 1, 1));
    if (text != nullptr && len > 0) memcpy(text, b->data, len);
    return text;
}

char *buf_as_hex(const buf *b) {
    static const char digits[] = "0123456789abcdef";
    if (b == nullptr || b->len > (SIZE_MAX - 1) / 2) return nullptr;
    char *hex = static_cast<char *>(ostrel_malloc(2 * b->len + 1));
    if (hex == nullptr) return nullptr;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(b->data);
    for (size_t i = 0; i < b->len; i++) {
        hex[2 * i] = digits[p[i] >> 4];
        hex[2 * i + 1] = digits[p[i] & 0x0f];
    }
    hex[2 * b->len] = '\0';
    return hex;
}

// Sixteen bytes a line, a dot between the two halves:
//   | 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |
//   | 10 11 12 13
void hexdump_buf(const buf *b) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(b->data);
    for (size_t i = 0; i < b->len; i++) {
        if (i == 0) {
            printf("| ");
        } else if (i % 16 == 0) {
            printf("|\n| ");
        } else if (i % 8 == 0) {
            printf(". ");
        }
        printf("%02x ", p[i]);
    }
    putchar('\n');
}

char *buf_substr(const buf *b, int offset, int length) {
    if (b == nullptr || b->data == nullptr) return nullptr;
    int64_t end = static_cast<int64_t>(offset) + length;
    if (length > 0 && (end < 0 || static_cast<uint64_t>(end) > b->len)) return nullptr;
    return b->data + offset;
}

int buf_cmp(const buf *a, const buf *b) {
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr || b == nullptr || a->len != b->len) return -1;
    if (a->len == 0) return 0;
    return memcmp(a->data, b->data, a->len);
}

// Moves the tail into an exact-size storage; without memory for it the
// bytes are moved down in place and the capacity stays as it was.
void buf_discard_front(buf *b, size_t n) {
    if (n > b->len) return;
    size_t rest = b->len - n;
    char *fresh = static_cast<char *>(ostrel_calloc(rest, 1));
    if (fresh != nullptr) {
        if (rest > 0) memcpy(fresh, b->data + n, rest);
        ostrel_free(b->data);
        b->data = fresh;
        b->capacity = rest;
    } else if (rest > 0) {
        memmove(b->data, b->data + n, rest);
    }
    b->len = rest;
}

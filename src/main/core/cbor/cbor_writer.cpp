#include "cbor_writer.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "cbor_writer_internal.h"

namespace {

// True when p points into the stream's own bytes, with its offset there.
bool inside_stream(const cbor_generator *g, const void *p, size_t *offset) {
    uintptr_t start = reinterpret_cast<uintptr_t>(g->data);
    uintptr_t from = reinterpret_cast<uintptr_t>(p);
    if (g->data == nullptr || from < start || from - start >= static_cast<size_t>(g->len)) return false;
    *offset = from - start;
    return true;
}

// Bytes allocated for a stream of len bytes: none while it is empty,
// else len rounded up to a power of two, at least 16. The structure has no
// capacity field: the capacity is always derived from len, so an append
// reallocates only when len crosses a power of two, and a zeroed
// generator is an empty stream.
size_t storage_for(size_t len) {
    if (len == 0) return 0;
    size_t capacity = 16;
    while (capacity < len) capacity *= 2;
    return capacity;
}

// Appends n bytes in one piece. The stream never passes INT32_MAX bytes,
// since len is an int. On any failure the generator is left as it was.
// src may point into the generator's own bytes; it is moved along with
// the storage.
int generator_append(cbor_generator *g, const void *src, size_t n) {
    if (g == nullptr) return -1;
    if (n == 0) return 0;
    if (src == nullptr) return -1;
    if (n > static_cast<size_t>(INT32_MAX - g->len)) return -1;

    size_t old_len = static_cast<size_t>(g->len);
    size_t needed = storage_for(old_len + n);
    if (g->data == nullptr || needed > storage_for(old_len)) {
        size_t offset = 0;
        bool inside = inside_stream(g, src, &offset);
        uint8_t *grown = static_cast<uint8_t *>(ostrel_realloc(g->data, needed));
        if (grown == nullptr) return -1;
        if (inside) src = grown + offset;
        g->data = grown;
    }
    memmove(g->data + old_len, src, n);
    g->len = static_cast<int>(old_len + n);
    return 0;
}

// Strings: a head with the byte count, then the bytes unchanged.
//
//   major 2, "\x01\x02\x03"  ->  43 01 02 03
//   major 3, 24 bytes         ->  78 18 <24 bytes>
//   length -1                 ->  5f / 7f (chunks and a break follow)
//
// A length that no stream can hold (above INT32_MAX, or negative other
// than -1) fails before anything is written: copying it as size_t would
// read past the source or, on 32-bit, drop its high bits. A source
// inside the stream is found again after the head has moved the storage.
int write_string(cbor_generator *g, uint8_t major, const void *src, int64_t length) {
    if (length == -1) return _cbor_generator_write_byte(g, (major << 5) | 31);
    if (g == nullptr || length < -1 || length > INT32_MAX || (length > 0 && src == nullptr)) return -1;
    size_t offset = 0;
    bool inside = inside_stream(g, src, &offset);
    if (_cbor_write_uint_helper(g, major, static_cast<uint64_t>(length)) != 0) return -1;
    if (inside) src = g->data + offset;
    return _cbor_generator_write_bytes(g, src, static_cast<size_t>(length));
}

// Arrays and maps: only the head; count -1 opens the indefinite form.
int write_container(cbor_generator *g, uint8_t major, int64_t count) {
    if (count == -1) return _cbor_generator_write_byte(g, (major << 5) | 31);
    return _cbor_write_uint_helper(g, major, static_cast<uint64_t>(count));
}

// A whole float item appended in one piece: 1 on success, -1 on failure.
int write_float_item(cbor_generator *g, const uint8_t *item, size_t n) {
    return generator_append(g, item, n) == 0 ? 1 : -1;
}

uint32_t single_bits(double value) {
    float single = static_cast<float>(value);  // round to nearest, ties to even
    uint32_t bits;
    memcpy(&bits, &single, sizeof bits);
    return bits;
}

}  // namespace

cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(ostrel_calloc(1, sizeof(cbor_generator)));
}

void cbor_generator_free(cbor_generator *g) {
    if (g == nullptr) return;
    ostrel_free(g->data);
    ostrel_free(g);
}

int _cbor_generator_write_byte(cbor_generator *g, int byte) {
    uint8_t low = static_cast<uint8_t>(byte & 0xff);
    return generator_append(g, &low, 1);
}

int _cbor_generator_write_bytes(cbor_generator *g, const void *src, size_t n) {
    return generator_append(g, src, n);
}

int _cbor_write_uint_helper(cbor_generator *g, uint8_t major, uint64_t argument) {
    uint8_t head[CBOR_HEAD_MAX];
    return generator_append(g, head, cbor_head_encode(major, argument, head));
}

int _cbor_write_uint_sized(cbor_generator *g, uint8_t head, uint64_t argument) {
    unsigned info = head & 0x1f;
    if (info < 24 || info > 27) return _cbor_generator_write_byte(g, head | (argument & 0xff));

    uint8_t bytes[9] = {head};
    unsigned size = 1u << (info - 24);
    for (unsigned i = 0; i < size; i++) bytes[1 + i] = static_cast<uint8_t>(argument >> (8 * (size - 1 - i)));
    return generator_append(g, bytes, 1 + size);
}

int cbor_write_uint(cbor_generator *g, uint64_t value) { return _cbor_write_uint_helper(g, 0, value); }

// -1 - value, computed as ~value so that INT64_MIN gives 2^63 - 1.
int cbor_write_negint(cbor_generator *g, int64_t value) {
    return _cbor_write_uint_helper(g, 1, ~static_cast<uint64_t>(value));
}

int cbor_write_byte_string(cbor_generator *g, const void *bytes, int64_t length) {
    return write_string(g, 2, bytes, length);
}

int cbor_write_text_string(cbor_generator *g, const char *text, int64_t length) {
    return write_string(g, 3, text, length);
}

int cbor_write_array(cbor_generator *g, int64_t count) { return write_container(g, 4, count); }

int cbor_write_map(cbor_generator *g, int64_t pair_count) { return write_container(g, 5, pair_count); }

int cbor_write_false(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf4); }

int cbor_write_true(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf5); }

int cbor_write_null(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf6); }

int cbor_write_undefined(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xf7); }

int cbor_write_break(cbor_generator *g) { return _cbor_generator_write_byte(g, 0xff); }

// Half-precision candidate, taken from the single-precision fields
// s | eeeeeeee | fffffff ffffffffffffffff:
//
//   s | (e - 112) mod 2^6 (only when e != 0) | top 10 bits of f
//   15  14 ............ 10                     9 ........ 0
//
// Rebasing the exponent by 127 - 15 = 112 is right for exponents 113-142;
// outside them the wrapped bits (the sixth one lands on the sign) decode
// to some other number, so cbor_head_float never picks this for them.
int cbor_write_float16(cbor_generator *g, double value) {
    uint32_t bits = single_bits(value);
    uint32_t exponent = (bits >> 23) & 0xff;
    uint32_t half = ((bits >> 16) & 0x8000) | ((bits & 0x7fffff) >> 13);
    if (exponent != 0) half |= ((exponent - 112) * 1024) & 0xffff;
    const uint8_t item[3] = {0xf9, static_cast<uint8_t>(half >> 8), static_cast<uint8_t>(half)};
    return write_float_item(g, item, sizeof item);
}

int cbor_write_float32(cbor_generator *g, double value) {
    uint32_t bits = single_bits(value);
    uint8_t item[5] = {0xfa};
    for (int i = 0; i < 4; ++i) item[1 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    return write_float_item(g, item, sizeof item);
}

int cbor_write_float64(cbor_generator *g, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    uint8_t item[9] = {0xfb};
    for (int i = 0; i < 8; ++i) item[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return write_float_item(g, item, sizeof item);
}

// NaN (any sign or payload) -> f9 7e 00; +inf -> f9 7c 00; -inf -> f9 fc 00.
int cbor_write_float(cbor_generator *g, double value) {
    static const uint8_t nan_item[3] = {0xf9, 0x7e, 0x00};
    static const uint8_t positive_infinity[3] = {0xf9, 0x7c, 0x00};
    static const uint8_t negative_infinity[3] = {0xf9, 0xfc, 0x00};
    if (isnan(value)) return generator_append(g, nan_item, 3);
    if (isinf(value)) return generator_append(g, value > 0 ? positive_infinity : negative_infinity, 3);

    switch (cbor_head_float(value)) {
    case 0xf9:
        return cbor_write_float16(g, value);
    case 0xfa:
        return cbor_write_float32(g, value);
    default:
        return cbor_write_float64(g, value);
    }
}

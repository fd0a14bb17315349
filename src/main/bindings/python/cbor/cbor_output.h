// The bytes of one encoding call, written in shortest form.
#ifndef OSTREL_PYTHON_CBOR_OUTPUT_H
#define OSTREL_PYTHON_CBOR_OUTPUT_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "alloc.h"
#include "cbor_head.h"

// The encoded bytes of one call, in storage that doubles as it fills and
// comes from the core's allocator, as a generator's does. Like a
// generator it never holds more than INT32_MAX bytes. Storage that cannot
// grow throws std::bad_alloc (MemoryError) and keeps what it holds.
//
// Every item is written in shortest form, byte for byte as the generator's
// writers write it.
class Output {
public:
    Output() = default;
    ~Output() { ostrel_free(data); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    const uint8_t *bytes() const { return data; }
    size_t size() const { return len; }

    void byte(uint8_t value) { *reserve(1) = value; ++len; }

    // The shortest head of a major type with its argument.
    void head(uint8_t major, uint64_t argument) {
        len += cbor_head_encode(major, argument, reserve(cbor_head_size(argument)));
    }

    // Head of major type 2 or 3 and the bytes, always with a definite
    // length. Most strings in documents are shorter than 24 bytes, which
    // puts the length in the head byte.
    [[gnu::always_inline]] void string(uint8_t major, const void *source, size_t length) {
        if (length < 24 && capacity - len >= 24) {
            uint8_t *at = data + len;
            at[0] = static_cast<uint8_t>(major << 5 | length);
            copy(at + 1, static_cast<const uint8_t *>(source), length);
            len += 1 + length;
            return;
        }
        long_string(major, source, length);
    }

    // Major type 0, or 1 with -1 - value computed as ~value, so that
    // INT64_MIN gives 2^63 - 1.
    void integer(long long value) {
        if (value < 0)
            head(1, ~static_cast<uint64_t>(value));
        else
            head(0, static_cast<uint64_t>(value));
    }

    // A str as a text string: ASCII is its own UTF-8; other text is
    // encoded (and cached in the str) by the interpreter. False, with
    // nothing written and no exception set, for text without a UTF-8 form
    // (a lone surrogate).
    [[gnu::always_inline]] bool text(PyObject *value) {
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            string(3, PyUnicode_DATA(value), static_cast<size_t>(PyUnicode_GET_LENGTH(value)));
            return true;
        }
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return false;
        }
        string(3, utf8, static_cast<size_t>(size));
        return true;
    }

    // The narrowest IEEE width that holds the value exactly (cbor_head_float),
    // its bits taken from the double's fields (sign s, biased exponent,
    // 52-bit fraction m): a half is s, the exponent rebased by 1023 - 15 and
    // m's top 10 bits; a single is the value converted, which is exact.
    //
    // NaN of any sign and payload is f9 7e 00; the infinities f9 7c 00 and
    // f9 fc 00. Half-precision subnormals are written as singles.
    void number(double value) { floating(value, cbor_head_float(value)); }

    // As number, but half-precision subnormals are halves too
    // (cbor_head_float_shortest): 2^-24 is f9 00 01.
    void shortest_number(double value) { floating(value, cbor_head_float_shortest(value)); }

    // The bytes written so far, for reordering in place.
    uint8_t *written() { return data; }

private:
    // A half-precision subnormal (biased exponent below 1009) is its
    // significand, implicit bit included, shifted down to units of 2^-24.
    void floating(double value, uint8_t initial) {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        const uint64_t sign = bits >> 63;
        const uint64_t biased = (bits >> 52) & 0x7ff;
        const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
        switch (initial) {
        case 0xf9:
            if (biased == 0) return half(static_cast<uint16_t>(sign << 15));
            if (biased < 1009)
                return half(static_cast<uint16_t>(sign << 15 | (fraction | uint64_t{1} << 52) >> (1051 - biased)));
            return half(static_cast<uint16_t>(sign << 15 | (biased - 1008) << 10 | fraction >> 42));
        case 0xfa: {
            const float narrowed = static_cast<float>(value);
            uint32_t single_bits = 0;
            std::memcpy(&single_bits, &narrowed, sizeof single_bits);
            return single(single_bits);
        }
        default:
            if (biased != 0x7ff) return double_precision(bits);
            if (fraction != 0) return half(0x7e00);
            return half(sign ? 0xfc00 : 0x7c00);
        }
    }

    static constexpr size_t initial_capacity = 1024;
    static constexpr size_t limit = INT32_MAX;

    void long_string(uint8_t major, const void *source, size_t length) {
        if (length > limit) throw std::bad_alloc();
        const size_t size = cbor_head_size(length);
        uint8_t *at = reserve(size + length);
        cbor_head_encode(major, length, at);
        copy(at + size, static_cast<const uint8_t *>(source), length);
        len += size + length;
    }

    // Short strings, the common case, are copied in at most two
    // overlapping moves of a fixed size, each within both ends.
    [[gnu::always_inline]] static void copy(uint8_t *to, const uint8_t *from, size_t count) {
        if (count > 16 && count <= 32) {
            std::memcpy(to, from, 16);
            std::memcpy(to + count - 16, from + count - 16, 16);
        } else if (count >= 8 && count <= 16) {
            std::memcpy(to, from, 8);
            std::memcpy(to + count - 8, from + count - 8, 8);
        } else if (count >= 4 && count < 8) {
            std::memcpy(to, from, 4);
            std::memcpy(to + count - 4, from + count - 4, 4);
        } else if (count < 4) {
            for (size_t i = 0; i < count; ++i) to[i] = from[i];
        } else {
            std::memcpy(to, from, count);
        }
    }

    static void store_big_endian(uint8_t *at, uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }

    void half(uint16_t bits) { fixed(0xf9, bits, 2); }
    void single(uint32_t bits) { fixed(0xfa, bits, 4); }
    void double_precision(uint64_t bits) { fixed(0xfb, bits, 8); }

    void fixed(uint8_t initial, uint64_t bits, size_t width) {
        uint8_t *at = reserve(1 + width);
        at[0] = initial;
        store_big_endian(at + 1, bits, width);
        len += 1 + width;
    }

    // Room for count more bytes at the end.
    uint8_t *reserve(size_t count) {
        if (count > capacity - len) grow(count);
        return data + len;
    }

    void grow(size_t count) {
        if (count > limit - len) throw std::bad_alloc();
        const size_t needed = len + count;
        size_t grown = capacity == 0 ? initial_capacity : capacity;
        while (grown < needed) grown = grown > limit / 2 ? limit : grown * 2;
        void *storage = ostrel_realloc(data, grown);
        if (storage == nullptr) throw std::bad_alloc();
        data = static_cast<uint8_t *>(storage);
        capacity = grown;
    }

    uint8_t *data = nullptr;
    size_t len = 0;
    size_t capacity = 0;
};

#endif

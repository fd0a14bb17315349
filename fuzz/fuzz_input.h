// Reads fields off the front of a fuzzer input, bounded by its length.
#ifndef OSTREL_FUZZ_INPUT_H
#define OSTREL_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>

struct FuzzInput {
    const uint8_t *data;
    size_t size;

    uint8_t byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    uint32_t u16() { return byte() | static_cast<uint32_t>(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    // Splits off up to n bytes.
    const uint8_t *take(size_t n, size_t *taken) {
        *taken = n < size ? n : size;
        const uint8_t *start = data;
        data += *taken;
        size -= *taken;
        return start;
    }
};

#endif

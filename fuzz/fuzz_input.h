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
    // Little-endian. The operands of | are unsequenced, so each field is
    // read into its own variable to fix the order for every compiler.
    uint32_t u16() {
        uint32_t low = byte();
        uint32_t high = byte();
        return low | high << 8;
    }
    uint32_t u32() {
        uint32_t low = u16();
        uint32_t high = u16();
        return low | high << 16;
    }
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

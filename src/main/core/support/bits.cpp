#include "bits.h"

int number_of_leading_zeroes_long(uint64_t v) {
    int zeroes = 0;
    for (uint64_t mask = UINT64_C(1) << 63; mask != 0 && (v & mask) == 0; mask >>= 1) zeroes++;
    return zeroes;
}

int number_of_leading_zeroes_int(int32_t v) {
    if (v < 0) return 0;
    int zeroes = 0;
    for (uint32_t mask = UINT32_C(1) << 31; mask != 0 && (static_cast<uint32_t>(v) & mask) == 0; mask >>= 1) zeroes++;
    return zeroes;
}

int highest_bit_long(uint64_t v) { return 64 - number_of_leading_zeroes_long(v); }

int highest_bit_int(int32_t v) { return 32 - number_of_leading_zeroes_int(v); }

// For v = 0, v - 1 wraps to all ones, whose highest bit is 32: the answer
// is then 1, as for v = 1.
int32_t find_next_power_of_two_int(uint32_t v) {
    if (v > UINT32_C(1) << 30) return -1;
    int shift = highest_bit_int(static_cast<int32_t>(v - 1));
    return shift == 32 ? 1 : INT32_C(1) << shift;
}

uint64_t find_next_power_of_two_long(uint64_t v) {
    if (v > UINT64_C(1) << 62) return UINT64_MAX;
    if (v == 0) return 1;
    return UINT64_C(1) << highest_bit_long(v - 1);
}

// A power of two, exact for powers of eight.
uint64_t approx_cube_root(uint64_t v) {
    if (v == 0) return 0;
    return UINT64_C(1) << (highest_bit_long(v) / 3);
}

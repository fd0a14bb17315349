#include "bits.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <random>
#include <string>
#include <vector>

#include "test_seed.h"

namespace {

const uint64_t kPow30 = UINT64_C(1) << 30;
const uint64_t kPow62 = UINT64_C(1) << 62;

TEST(Bits, LeadingZeroesAndHighestBit) {
    struct Case64 {
        uint64_t v;
        int zeroes;
    } longs[] = {{0, 64}, {1, 63}, {2, 62}, {1024, 53}, {UINT64_C(1) << 63, 0}, {UINT64_MAX, 0}};
    for (const Case64 &c : longs) {
        EXPECT_EQ(number_of_leading_zeroes_long(c.v), c.zeroes) << c.v;
        EXPECT_EQ(highest_bit_long(c.v), 64 - c.zeroes) << c.v;
    }
    struct Case32 {
        int32_t v;
        int zeroes;
    } ints[] = {{0, 32}, {1, 31}, {1 << 30, 1}, {INT32_MAX, 1}, {-1, 0}, {-5, 0}, {INT32_MIN, 0}};
    for (const Case32 &c : ints) {
        EXPECT_EQ(number_of_leading_zeroes_int(c.v), c.zeroes) << c.v;
        EXPECT_EQ(highest_bit_int(c.v), 32 - c.zeroes) << c.v;
    }
}

// Against the compiler's count of leading zeros, on every power of two,
// its neighbours and random values of every width.
TEST(Bits, LeadingZeroesAgreeWithTheBuiltin) {
    unsigned seed = test_seed("LeadingZeroesAgreeWithTheBuiltin");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> values;
    for (int bit = 0; bit < 64; bit++) {
        uint64_t p = UINT64_C(1) << bit;
        values.insert(values.end(), {p - 1, p, p + 1});
    }
    for (int i = 0; i < 10000; i++) values.push_back(rng() >> (rng() % 64));
    for (uint64_t v : values) {
        ASSERT_EQ(number_of_leading_zeroes_long(v), v == 0 ? 64 : __builtin_clzll(v)) << v;
        int32_t i = static_cast<int32_t>(static_cast<uint32_t>(v));
        int expected = i < 0 ? 0 : i == 0 ? 32 : __builtin_clz(static_cast<uint32_t>(i));
        ASSERT_EQ(number_of_leading_zeroes_int(i), expected) << i;
    }
}

TEST(Bits, NextPowerOfTwo) {
    struct Case32 {
        uint32_t v;
        int32_t expected;
    } ints[] = {
        {0, 1},          {1, 1},  {2, 2},           {3, 4},
        {16, 16},        {17, 32}, {1000, 1024},    {(1u << 29) + 1, 1 << 30},
        {1u << 30, 1 << 30}, {(1u << 30) + 1, -1}, {1u << 31, -1}, {UINT32_MAX, -1},
    };
    for (const Case32 &c : ints) EXPECT_EQ(find_next_power_of_two_int(c.v), c.expected) << c.v;

    struct Case64 {
        uint64_t v;
        uint64_t expected;
    } longs[] = {
        {0, 1},
        {1, 1},
        {3, 4},
        {1000, 1024},
        {(UINT64_C(1) << 31) + 1, UINT64_C(1) << 32},
        {kPow30 + 1, kPow30 << 1},
        {kPow62 - 1, kPow62},
        {kPow62, kPow62},
        {kPow62 + 1, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX},
    };
    for (const Case64 &c : longs) EXPECT_EQ(find_next_power_of_two_long(c.v), c.expected) << c.v;
}

TEST(Bits, ApproxCubeRoot) {
    struct Case {
        uint64_t v;
        uint64_t expected;
    } cases[] = {
        {0, 0}, {1, 1}, {3, 1}, {4, 2}, {7, 2}, {8, 2}, {63, 4}, {64, 4}, {1000, 8},
        {UINT64_C(1) << 30, 1024}, {UINT64_C(1) << 63, UINT64_C(1) << 21}, {UINT64_MAX, UINT64_C(1) << 21},
    };
    for (const Case &c : cases) EXPECT_EQ(approx_cube_root(c.v), c.expected) << c.v;
}

}  // namespace

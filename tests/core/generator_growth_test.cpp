// The generator's storage grows in powers of two derived from len: appends
// that fit need no allocation, appends that cross a power of two
// reallocate, and a failed one leaves the stream as it was.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "cbor_writer.h"
#include "fault_injection.h"

namespace {

std::string contents(const cbor_generator &g) { return g.len ? std::string((const char *)g.data, (size_t)g.len) : ""; }

TEST(GeneratorGrowth, ZeroedGeneratorGrowsAcrossPowersOfTwo) {
    cbor_generator g = {};  // a caller's own, never created
    std::string expected;
    for (int i = 0; i < 700; i++) {
        std::string piece(1 + (size_t)(i * 7) % 41, (char)i);
        ASSERT_EQ(_cbor_generator_write_bytes(&g, piece.data(), piece.size()), 0);
        ASSERT_EQ(cbor_write_uint(&g, (uint64_t)i * 1000), 0);
        expected += piece;
        uint64_t v = (uint64_t)i * 1000;
        if (v <= 23)
            expected += (char)v;
        else if (v <= 255)
            expected += std::string{'\x18', (char)v};
        else if (v <= 65535)
            expected += std::string{'\x19', (char)(v >> 8), (char)v};
        else
            expected += std::string{'\x1a', (char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
    }
    EXPECT_EQ(contents(g), expected);
    free(g.data);
}

// Appending the stream to itself when that moves the storage.
TEST(GeneratorGrowth, SelfAppendAcrossAReallocation) {
    for (int len : {1, 15, 16, 17, 32, 100}) {
        cbor_generator *g = cbor_generator_create();
        std::string original;
        for (int i = 0; i < len; i++) original += (char)('a' + i % 26);
        ASSERT_EQ(_cbor_generator_write_bytes(g, original.data(), original.size()), 0);
        ASSERT_EQ(_cbor_generator_write_bytes(g, g->data, (size_t)g->len), 0);
        EXPECT_EQ(contents(*g), original + original) << len;
        // A byte string of the stream's own bytes: its head may move them first.
        ASSERT_EQ(cbor_write_byte_string(g, g->data + 1, len), 0);
        std::string head = len <= 23 ? std::string(1, (char)(0x40 + len)) : std::string{'\x58', (char)len};
        EXPECT_EQ(contents(*g), original + original + head + (original + original).substr(1, (size_t)len)) << len;
        cbor_generator_free(g);
    }
}

TEST(GeneratorGrowth, FailedGrowthLeavesTheStreamAsItWas) {
    cbor_generator *g = cbor_generator_create();
    ASSERT_EQ(_cbor_generator_write_bytes(g, "0123456789", 10), 0);
    {
        FailAfter fail(0);
        // Room up to 16 bytes: no allocation needed.
        EXPECT_EQ(_cbor_generator_write_bytes(g, "abcde", 5), 0);
        EXPECT_EQ(cbor_write_null(g), 0);
        ASSERT_EQ(g->len, 16);
        const uint8_t *data = g->data;
        // The 17th byte needs more storage.
        EXPECT_EQ(cbor_write_null(g), -1);
        EXPECT_EQ(cbor_write_uint(g, 1000000), -1);
        EXPECT_EQ(cbor_write_byte_string(g, "xyz", 3), -1);
        EXPECT_EQ(g->data, data);
        EXPECT_EQ(contents(*g), "0123456789abcde\xf6");
    }
    EXPECT_EQ(cbor_write_uint(g, 1000000), 0);
    EXPECT_EQ(contents(*g), std::string("0123456789abcde\xf6\x1a\x00\x0f\x42\x40", 21));
    cbor_generator_free(g);
}

}  // namespace

#include "buf.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "test_seed.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes contents(const buf *b) { return b->len == 0 ? Bytes{} : Bytes(b->data, b->data + b->len); }

const char *chars(const Bytes &bytes) { return reinterpret_cast<const char *>(bytes.data()); }

// Owns a buffer for the length of a test.
struct Buf {
    buf *b = buf_create();
    Buf() = default;
    explicit Buf(const Bytes &bytes) { buf_write_bytes(b, bytes.data(), bytes.size()); }
    ~Buf() { buf_free(b); }
    Buf(const Buf &) = delete;
    Buf &operator=(const Buf &) = delete;
};

std::string captured(void (*print)(const buf *), const buf *b) {
    testing::internal::CaptureStdout();
    print(b);
    return testing::internal::GetCapturedStdout();
}

TEST(Buf, NewBufferIsEmptyAndRendersEmpty) {
    Buf b;
    ASSERT_NE(b.b, nullptr);
    EXPECT_EQ(b.b->data, nullptr);
    EXPECT_EQ(b.b->len, 0u);
    EXPECT_EQ(b.b->capacity, 0u);
    char *text = buf_as_string(b.b);
    char *hex = buf_as_hex(b.b);
    EXPECT_STREQ(text, "");
    EXPECT_STREQ(hex, "");
    free(text);
    free(hex);
    EXPECT_EQ(captured(hexdump_buf, b.b), "\n");
}

TEST(Buf, GrowthDoublesTheNeededSize) {
    struct Case {
        std::vector<size_t> appends;
        std::vector<size_t> capacities;  // after each append
    } cases[] = {
        {{5}, {10}},
        {{5, 5, 1}, {10, 10, 22}},
        {{1, 1, 1, 1}, {2, 2, 6, 6}},
        {{0}, {0}},
        {{3, 0, 4}, {6, 6, 14}},
    };
    for (const Case &c : cases) {
        Buf b;
        size_t len = 0;
        for (size_t i = 0; i < c.appends.size(); i++) {
            Bytes chunk(c.appends[i], static_cast<uint8_t>(i + 1));
            buf_write_bytes(b.b, chunk.data(), chunk.size());
            len += c.appends[i];
            EXPECT_EQ(b.b->len, len);
            EXPECT_EQ(b.b->capacity, c.capacities[i]) << "append " << i;
        }
    }
}

TEST(Buf, PlainAppendsWriteTheirBytes) {
    Buf b;
    buf_write_byte(b.b, 0xff);
    buf_write_bool(b.b, true);
    buf_write_bool(b.b, false);
    buf_write_bool(nullptr, true);
    buf_write_string(b.b, "hi");
    buf_write_string(b.b, "");
    buf_write_float(b.b, 1.0f);  // 0x3f800000, little-endian
    buf_write_bytes(b.b, nullptr, 0);
    EXPECT_EQ(contents(b.b), (Bytes{0xff, 0x01, 0x00, 'h', 'i', 0x00, 0x00, 0x80, 0x3f}));
}

struct Leb128Case {
    uint64_t value;
    Bytes encoded;
};

const Leb128Case kLeb128[] = {
    {0, {0x00}},
    {1, {0x01}},
    {127, {0x7f}},
    {128, {0x80, 0x01}},
    {300, {0xac, 0x02}},
    {16383, {0xff, 0x7f}},
    {16384, {0x80, 0x80, 0x01}},
    {2097151, {0xff, 0xff, 0x7f}},
    {2097152, {0x80, 0x80, 0x80, 0x01}},
    {268435455, {0xff, 0xff, 0xff, 0x7f}},
    {268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
    {2147483648u, {0x80, 0x80, 0x80, 0x80, 0x08}},
    {4294967295u, {0xff, 0xff, 0xff, 0xff, 0x0f}},
    {4294967296u, {0x80, 0x80, 0x80, 0x80, 0x10}},
    {UINT64_C(34359738367), {0xff, 0xff, 0xff, 0xff, 0x7f}},
    {UINT64_C(34359738368), {0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    {UINT64_C(1) << 56, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    {(UINT64_C(1) << 63) - 1, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}},
    {UINT64_C(1) << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
    {UINT64_MAX, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
};

TEST(Buf, Leb128WritesAtEveryWidthBoundary) {
    for (const Leb128Case &c : kLeb128) {
        Buf b64;
        buf_write_uint64_enc(b64.b, c.value);
        EXPECT_EQ(contents(b64.b), c.encoded) << c.value;
        if (c.value <= UINT32_MAX) {
            Buf b32;
            buf_write_uint32_enc(b32.b, static_cast<uint32_t>(c.value));
            EXPECT_EQ(contents(b32.b), c.encoded) << c.value;
        }
    }
}

TEST(Buf, Leb128ReadsAtEveryWidthBoundary) {
    for (const Leb128Case &c : kLeb128) {
        Bytes input = c.encoded;
        input.push_back(0xee);  // must not be consumed
        uint64_t v64 = 0;
        EXPECT_EQ(buf_read_uint64_enc(chars(input), &v64), chars(input) + c.encoded.size()) << c.value;
        EXPECT_EQ(v64, c.value);
        if (c.encoded.size() <= 5) {
            uint32_t v32 = 0;
            EXPECT_EQ(buf_read_uint32_enc(chars(input), &v32), chars(input) + c.encoded.size()) << c.value;
            EXPECT_EQ(v32, static_cast<uint32_t>(c.value));
        }
    }
}

TEST(Buf, Leb128LastByteRules) {
    const Bytes nine_80(9, 0x80);
    auto with = [](Bytes head, std::initializer_list<uint8_t> tail) {
        head.insert(head.end(), tail);
        return head;
    };
    struct Case {
        Bytes input;
        bool ok;
        uint32_t value;
        size_t consumed;
    } cases32[] = {
        {{0x80, 0x80, 0x80, 0x80, 0x80}, false, 0, 0},
        {{0xff, 0xff, 0xff, 0xff, 0xff}, false, 0, 0},
        {{0xff, 0xff, 0xff, 0xff, 0x7f}, true, 4294967295u, 5},  // bits beyond 31 dropped
        {{0x80, 0x80, 0x80, 0x80, 0x70}, true, 0, 5},
        {{0x05}, true, 5, 1},
    };
    for (const Case &c : cases32) {
        uint32_t out = 0xdeadbeef;
        const char *end = buf_read_uint32_enc(chars(c.input), &out);
        if (c.ok) {
            EXPECT_EQ(end, chars(c.input) + c.consumed);
            EXPECT_EQ(out, c.value);
        } else {
            EXPECT_EQ(end, nullptr);
            EXPECT_EQ(out, 0xdeadbeef);
        }
    }
    struct Case64 {
        Bytes input;
        bool ok;
        uint64_t value;
    } cases64[] = {
        {with(nine_80, {0x80}), false, 0},
        {with(nine_80, {0x01}), true, UINT64_C(1) << 63},
        {with(nine_80, {0x02}), true, 0},  // only the lowest bit survives
        {with(nine_80, {0x7f}), true, UINT64_C(1) << 63},
        {with(Bytes(9, 0xff), {0x7f}), true, UINT64_MAX},
    };
    for (const Case64 &c : cases64) {
        uint64_t out = 42;
        const char *end = buf_read_uint64_enc(chars(c.input), &out);
        if (c.ok) {
            EXPECT_EQ(end, chars(c.input) + 10);
            EXPECT_EQ(out, c.value);
        } else {
            EXPECT_EQ(end, nullptr);
            EXPECT_EQ(out, 42u);
        }
    }
}

TEST(Buf, Leb128RoundTripsRandomValues) {
    unsigned seed = test_seed("Leb128RoundTripsRandomValues");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 20000; i++) {
        uint64_t value = rng() >> (rng() % 64);  // every width equally often
        Buf b;
        buf_write_uint64_enc(b.b, value);
        buf_write_uint32_enc(b.b, static_cast<uint32_t>(value));
        uint64_t v64 = 0;
        uint32_t v32 = 0;
        const char *p = buf_read_uint64_enc(b.b->data, &v64);
        p = buf_read_uint32_enc(p, &v32);
        ASSERT_EQ(p, b.b->data + b.b->len) << value;
        ASSERT_EQ(v64, value);
        ASSERT_EQ(v32, static_cast<uint32_t>(value));
    }
}

TEST(Buf, FixedWidthAndSmallReads) {
    const Bytes input = {0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02};
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    EXPECT_EQ(buf_read_uint32(chars(input), &u32), chars(input) + 4);
    EXPECT_EQ(u32, 258u);
    EXPECT_EQ(buf_read_uint64(chars(input) + 4, &u64), chars(input) + 12);
    EXPECT_EQ(u64, 258u);
    const Bytes big = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
    buf_read_uint64(chars(big), &u64);
    EXPECT_EQ(u64, UINT64_C(0xfedcba9876543210));
    buf_read_uint32(chars(big), &u32);
    EXPECT_EQ(u32, 0xfedcba98u);

    char c = 0;
    EXPECT_EQ(buf_read_byte(chars(big), &c), chars(big) + 1);
    EXPECT_EQ(static_cast<uint8_t>(c), 0xfe);

    struct BoolCase {
        uint8_t byte;
        bool ok;
        bool value;
    } bools[] = {{0x00, true, false}, {0x01, true, true}, {0x02, false, false}, {0xff, false, false}};
    for (const BoolCase &bc : bools) {
        const char *p = reinterpret_cast<const char *>(&bc.byte);
        bool out = !bc.value;
        EXPECT_EQ(buf_read_bool(p, &out), bc.ok ? p + 1 : nullptr) << int(bc.byte);
        EXPECT_EQ(out, bc.ok ? bc.value : !bc.value) << int(bc.byte);  // untouched on failure
        EXPECT_EQ(buf_read_bool(p, nullptr), p + 1) << "skipping accepts any byte";
    }
}

TEST(Buf, NullCursorAndSkippedOutputsChain) {
    EXPECT_EQ(buf_read_byte(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_bool(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint32(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint64(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint32_enc(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_uint64_enc(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_float(nullptr, nullptr), nullptr);
    EXPECT_EQ(buf_read_string_length_enc(nullptr, nullptr, nullptr), nullptr);

    // A failing read in the middle of a chain makes the whole chain null.
    const Bytes bad = {0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
    const char *p = buf_read_byte(chars(bad), nullptr);
    p = buf_read_uint32_enc(p, nullptr);
    EXPECT_EQ(buf_read_byte(p, nullptr), nullptr);
}

TEST(Buf, FloatReadsTheVarintForm) {
    Buf b;
    float one = 1.0f;
    uint32_t bits;
    memcpy(&bits, &one, sizeof bits);
    buf_write_uint32_enc(b.b, bits);
    float out = 0;
    EXPECT_EQ(buf_read_float(b.b->data, &out), b.b->data + b.b->len);
    EXPECT_EQ(out, 1.0f);
}

TEST(Buf, LengthPrefixedStrings) {
    struct Case {
        const char *text;
        Bytes encoded;
    } cases[] = {
        {nullptr, {0x00}},
        {"", {0x00}},
        {"abc", {0x03, 'a', 'b', 'c'}},
    };
    for (const Case &c : cases) {
        Buf b;
        buf_write_string_enc(b.b, c.text);
        EXPECT_EQ(contents(b.b), c.encoded);
        char *out = nullptr;
        uint32_t length = 99;
        EXPECT_EQ(buf_read_string_length_enc(b.b->data, &out, &length), b.b->data + b.b->len);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.text == nullptr ? "" : c.text);
        EXPECT_EQ(length, c.text == nullptr ? 0u : strlen(c.text));
        free(out);
    }

    // 300 bytes: two-byte prefix; bytes may include NUL.
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i);
    Buf b;
    buf_write_string_length_enc(b.b, payload.data(), payload.size());
    ASSERT_EQ(b.b->len, 302u);
    EXPECT_EQ(Bytes(b.b->data, b.b->data + 2), (Bytes{0xac, 0x02}));
    char *out = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(buf_read_string_length_enc(b.b->data, &out, &length), b.b->data + 302);
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(Bytes(out, out + 300), payload);
    EXPECT_EQ(out[300], '\0');
    free(out);
    EXPECT_EQ(buf_read_string_length_enc(b.b->data, nullptr, nullptr), b.b->data + 302);

    // A malformed prefix stores nothing.
    const Bytes bad(10, 0x80);
    out = reinterpret_cast<char *>(&length);
    length = 7;
    EXPECT_EQ(buf_read_string_length_enc(chars(bad), &out, &length), nullptr);
    EXPECT_EQ(out, reinterpret_cast<char *>(&length));
    EXPECT_EQ(length, 7u);
}

TEST(Buf, OversizedStringLengthIsRefused) {
    if (SIZE_MAX <= UINT32_MAX) GTEST_SKIP() << "length cannot exceed 32 bits here";
    Buf b(Bytes{1, 2});
    const char text[] = "x";  // never read: the length is refused first
    buf_write_string_length_enc(b.b, text, UINT64_C(1) << 32);
    EXPECT_EQ(contents(b.b), (Bytes{1, 2}));
}

TEST(Buf, SprintfAppendsTheWholeText) {
    Buf b;
    EXPECT_EQ(buf_sprintf(b.b, "%d-%s", 42, "x"), 4);
    std::string long_arg(1000, 'y');
    // Longer than the first scratch (strlen(format) + 100), several doublings.
    EXPECT_EQ(buf_sprintf(b.b, "<%s|%d|%s>", long_arg.c_str(), 7, long_arg.c_str()), 2005);
    std::string expected = "42-x<" + long_arg + "|7|" + long_arg + ">";
    EXPECT_EQ(std::string(b.b->data, b.b->len), expected);
    EXPECT_EQ(buf_sprintf(b.b, "%s", ""), 0);
    EXPECT_EQ(b.b->len, expected.size());
}

TEST(Buf, SprintfEncodingErrorAppendsNothing) {
    Buf b(Bytes{'a'});
    const wchar_t unencodable[] = {0xd800, 0};  // no multibyte form in the C locale
    EXPECT_LT(buf_sprintf(b.b, "%ls", unencodable), 0);
    EXPECT_EQ(contents(b.b), Bytes{'a'});
}

TEST(Buf, TextRenderings) {
    Buf b(Bytes{'a', 0x00, 0xff, 0x10});
    char *hex = buf_as_hex(b.b);
    EXPECT_STREQ(hex, "6100ff10");
    free(hex);
    char *text = buf_as_string(b.b);
    EXPECT_EQ(Bytes(text, text + 5), (Bytes{'a', 0x00, 0xff, 0x10, 0x00}));
    free(text);
    EXPECT_EQ(buf_as_hex(nullptr), nullptr);
    text = buf_as_string(nullptr);
    EXPECT_STREQ(text, "");
    free(text);
}

TEST(Buf, HexdumpLines) {
    struct Case {
        size_t count;
        const char *expected;
    } cases[] = {
        {1, "| 00 \n"},
        {9, "| 00 01 02 03 04 05 06 07 . 08 \n"},
        {16, "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f \n"},
        {20,
         "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
         "| 10 11 12 13 \n"},
        {33,
         "| 00 01 02 03 04 05 06 07 . 08 09 0a 0b 0c 0d 0e 0f |\n"
         "| 10 11 12 13 14 15 16 17 . 18 19 1a 1b 1c 1d 1e 1f |\n"
         "| 20 \n"},
    };
    for (const Case &c : cases) {
        Bytes bytes(c.count);
        for (size_t i = 0; i < c.count; i++) bytes[i] = static_cast<uint8_t>(i);
        Buf b(bytes);
        EXPECT_EQ(captured(hexdump_buf, b.b), c.expected) << c.count;
    }
}

TEST(Buf, SubstrValidation) {
    Buf b(Bytes{1, 2, 3, 4});
    char *d = b.b->data;
    struct Case {
        int offset, length;
        char *expected;
    } cases[] = {
        {2, 3, nullptr}, {2, 2, d + 2},        {0, 4, d},         {4, 1, nullptr},
        {9, 0, d + 9},   {3, -7, d + 3},       {-3, 1, nullptr},  {INT32_MAX, 1, nullptr},
        {0, INT32_MAX, nullptr},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(buf_substr(b.b, c.offset, c.length), c.expected) << c.offset << "," << c.length;
    }
    Buf empty;
    EXPECT_EQ(buf_substr(empty.b, 0, 0), nullptr);
    EXPECT_EQ(buf_substr(nullptr, 0, 0), nullptr);
}

TEST(Buf, Compare) {
    Buf two(Bytes{1, 2}), three(Bytes{1, 2, 3}), same(Bytes{1, 2}), other(Bytes{1, 3}), e1, e2;
    EXPECT_EQ(buf_cmp(nullptr, nullptr), 0);
    EXPECT_EQ(buf_cmp(two.b, nullptr), -1);
    EXPECT_EQ(buf_cmp(nullptr, two.b), -1);
    EXPECT_EQ(buf_cmp(two.b, three.b), -1);
    EXPECT_EQ(buf_cmp(three.b, two.b), -1);
    EXPECT_EQ(buf_cmp(two.b, same.b), 0);
    EXPECT_EQ(buf_cmp(e1.b, e2.b), 0);
    EXPECT_LT(buf_cmp(two.b, other.b), 0);
    EXPECT_GT(buf_cmp(other.b, two.b), 0);
}

TEST(Buf, DupIsAnExactSizeCopy) {
    Buf b(Bytes{1, 2, 3});
    buf *copy = buf_dup(b.b);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->data, b.b->data);
    EXPECT_EQ(contents(copy), contents(b.b));
    EXPECT_EQ(copy->capacity, 3u);
    buf_write_byte(copy, 4);
    EXPECT_EQ(contents(b.b), (Bytes{1, 2, 3}));
    buf_free(copy);

    Buf empty;
    copy = buf_dup(empty.b);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->len, 0u);
    buf_free(copy);
    EXPECT_EQ(buf_dup(nullptr), nullptr);
    buf_free(nullptr);
}

TEST(Buf, DiscardFront) {
    Bytes ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Buf b(ten);
    buf_discard_front(b.b, 2);
    EXPECT_EQ(b.b->capacity, 8u);
    buf_write_bytes(b.b, "abcde", 5);
    EXPECT_EQ(contents(b.b), (Bytes{2, 3, 4, 5, 6, 7, 8, 9, 'a', 'b', 'c', 'd', 'e'}));

    buf_discard_front(b.b, b.b->len);
    EXPECT_EQ(b.b->len, 0u);
    EXPECT_EQ(b.b->capacity, 0u);
    buf_write_bytes(b.b, "xy", 2);
    EXPECT_EQ(contents(b.b), (Bytes{'x', 'y'}));

    buf_discard_front(b.b, 3);  // more than there is: nothing is lost
    EXPECT_EQ(contents(b.b), (Bytes{'x', 'y'}));
}

TEST(Buf, AppendFromItsOwnStorageWhileGrowing) {
    Bytes start = {'a', 'b', 'c', 'd'};
    {
        Buf b(start);  // capacity 8
        buf_write_buf(b.b, b.b);
        buf_write_buf(b.b, b.b);  // len 16 > 8: grows
        EXPECT_EQ(std::string(b.b->data, b.b->len), "abcdabcdabcdabcd");
    }
    {
        Buf b(start);
        buf_write_bytes(b.b, b.b->data, 4);
        buf_write_bytes(b.b, b.b->data + 1, 6);  // 14 > 8: grows
        EXPECT_EQ(std::string(b.b->data, b.b->len), "abcdabcdbcdabc");
    }
    {
        Buf b(start);
        buf_write_bytes(b.b, b.b->data, 4);  // len 8 = capacity
        buf_write_string_length_enc(b.b, b.b->data + 2, 3);
        EXPECT_EQ(std::string(b.b->data, b.b->len), "abcdabcd\x03" "cda");
    }
}

TEST(Buf, AppendsThatWouldOverflowLeaveTheBufferUnchanged) {
    char storage[4] = {'a', 'b', 'c', 'd'};
    const size_t sizes[] = {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX / 2 + 1, SIZE_MAX / 2};
    for (size_t len : sizes) {
        // A fake, full buffer: nothing may be written or reallocated.
        buf b = {storage, len, len};
        buf_write_bytes(&b, "xyz", 3);
        buf_write_byte(&b, 'x');
        buf_write_uint64_enc(&b, UINT64_MAX);
        buf_write_string_enc(&b, "xyz");
        EXPECT_EQ(buf_sprintf(&b, "%s", "xyz"), -1);
        EXPECT_EQ(b.data, storage);
        EXPECT_EQ(b.len, len);
        EXPECT_EQ(b.capacity, len);
    }
    EXPECT_EQ(std::string(storage, 4), "abcd");
}

// --- Allocation failure: every failing allocation leaves the documented
// result and an unchanged, usable buffer; ASan reports anything leaked.

TEST(BufAllocationFailure, CreateAndDup) {
    sweep_allocation_failures([](long n) {
        buf *b;
        {
            FailAfter fail(n);
            b = buf_create();
        }
        if (b == nullptr) return false;
        EXPECT_EQ(b->len, 0u);
        buf_free(b);
        return true;
    });
    long needed = sweep_allocation_failures([](long n) {
        Buf src(Bytes{1, 2, 3});
        buf *copy;
        {
            FailAfter fail(n);
            copy = buf_dup(src.b);
        }
        EXPECT_EQ(contents(src.b), (Bytes{1, 2, 3}));
        if (copy == nullptr) return false;
        EXPECT_EQ(contents(copy), (Bytes{1, 2, 3}));
        buf_free(copy);
        return true;
    });
    EXPECT_EQ(needed, 2);
}

TEST(BufAllocationFailure, GrowingAppends) {
    using Append = void (*)(buf *);
    struct Case {
        const char *name;
        Append append;
        Bytes appended;
    } cases[] = {
        {"bytes", [](buf *b) { buf_write_bytes(b, "xyz", 3); }, {'x', 'y', 'z'}},
        {"byte", [](buf *b) { buf_write_byte(b, 7); }, {7}},
        {"self", [](buf *b) { buf_write_buf(b, b); }, {1, 2, 3, 4}},
        {"uint64", [](buf *b) { buf_write_uint64_enc(b, 300); }, {0xac, 0x02}},
        {"string", [](buf *b) { buf_write_string_enc(b, "ab"); }, {0x02, 'a', 'b'}},
        {"sprintf",
         [](buf *b) {
             int result = buf_sprintf(b, "%0200d", 5);
             EXPECT_EQ(result, b->len == 4 ? -1 : 200);
         },
         [] {
             Bytes text(199, '0');
             text.push_back('5');
             return text;
         }()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sweep_allocation_failures([&](long n) {
            Buf b(Bytes{1, 2, 3, 4});  // full: every append grows
            {
                FailAfter fail(n);
                c.append(b.b);
            }
            if (b.b->len == 4) {
                EXPECT_EQ(contents(b.b), (Bytes{1, 2, 3, 4}));
                EXPECT_EQ(b.b->capacity, 8u);
                return false;
            }
            Bytes expected = {1, 2, 3, 4};
            expected.insert(expected.end(), c.appended.begin(), c.appended.end());
            EXPECT_EQ(contents(b.b), expected);
            return true;
        });
    }
}

TEST(BufAllocationFailure, Renderings) {
    Buf b(Bytes{'h', 'i'});
    sweep_allocation_failures([&](long n) {
        char *text;
        char *hex;
        {
            FailAfter fail(n);
            text = buf_as_string(b.b);
            hex = buf_as_hex(b.b);
        }
        bool done = text != nullptr && hex != nullptr;
        if (done) {
            EXPECT_STREQ(text, "hi");
            EXPECT_STREQ(hex, "6869");
        }
        free(text);
        free(hex);
        return done;
    });
    const Bytes encoded = {0x02, 'h', 'i'};
    sweep_allocation_failures([&](long n) {
        char *out = nullptr;
        uint32_t length = 9;
        const char *end;
        {
            FailAfter fail(n);
            end = buf_read_string_length_enc(chars(encoded), &out, &length);
        }
        if (end == nullptr) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(length, 9u);
            return false;
        }
        EXPECT_STREQ(out, "hi");
        free(out);
        return true;
    });
}

TEST(BufAllocationFailure, DiscardFrontMovesInPlace) {
    sweep_allocation_failures([](long n) {
        Buf b(Bytes{1, 2, 3, 4, 5});  // capacity 10
        {
            FailAfter fail(n);
            buf_discard_front(b.b, 2);
        }
        EXPECT_EQ(contents(b.b), (Bytes{3, 4, 5}));
        bool moved_to_new_storage = b.b->capacity == 3;
        EXPECT_EQ(b.b->capacity, moved_to_new_storage ? 3u : 10u);
        buf_write_bytes(b.b, "ab", 2);
        EXPECT_EQ(contents(b.b), (Bytes{3, 4, 5, 'a', 'b'}));
        return moved_to_new_storage;
    });
}

}  // namespace

#include "cbor_parser.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "hex_bytes.h"

namespace {



// The input in a heap block of exactly its size, so that the sanitizer
// catches any read past the end.
struct Input {
    std::unique_ptr<uint8_t[]> bytes;
    cbor_parser *p;
    explicit Input(const Bytes &data) : bytes(new uint8_t[data.size() ? data.size() : 1]) {
        if (!data.empty()) memcpy(bytes.get(), data.data(), data.size());
        p = cbor_parser_create(bytes.get(), static_cast<uint32_t>(data.size()));
    }
    ~Input() { cbor_parser_free(p); }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
};

struct Val {
    cbor_val *v;
    explicit Val(cbor_val *v) : v(v) {}
    ~Val() { cbor_val_free(v); }
    Val(const Val &) = delete;
    Val &operator=(const Val &) = delete;
};

// What one item must read back as. `value` holds the u64, the i64 cast to
// u64, or the double's bits; strings are compared as bytes.
struct Expect {
    uint8_t code;
    int64_t length;
    uint64_t value;
    Bytes str;
    int indefinite;  // the parser's flag after the item
};

uint64_t bits(double d) {
    uint64_t b;
    memcpy(&b, &d, sizeof b);
    return b;
}

Expect U(uint8_t code, uint64_t value, int indefinite = 0) { return {code, 0, value, {}, indefinite}; }
Expect I(uint8_t code, int64_t value) { return {code, 0, static_cast<uint64_t>(value), {}, 0}; }
Expect F(uint8_t code, double value) { return {code, 0, bits(value), {}, 0}; }
Expect L(uint8_t code, int64_t length, int indefinite = 0) { return {code, length, 0, {}, indefinite}; }
Expect S(uint8_t code, const Bytes &str, int indefinite = 0) {
    return {code, static_cast<int64_t>(str.size()), 0, str, indefinite};
}

void expect_item(const cbor_val *v, const Expect &e, const std::string &where) {
    ASSERT_NE(v, nullptr) << where;
    EXPECT_EQ(v->code, e.code) << where;
    EXPECT_EQ(v->type, static_cast<cbor_val_type>(e.code >> 5)) << where;
    EXPECT_EQ(v->length, e.length) << where;
    bool string = (v->type == CBOR_TYPE_BYTE_STRING || v->type == CBOR_TYPE_TEXT_STRING) && (e.code & 0x1f) < 28;
    if (string) {
        ASSERT_NE(v->value.str, nullptr) << where;
        EXPECT_EQ(Bytes(v->value.str, v->value.str + e.length), e.str) << where;
        if (v->type == CBOR_TYPE_TEXT_STRING) {
            EXPECT_EQ(v->value.str[e.length], '\0') << where;
        }
    } else if (v->type == CBOR_TYPE_SIMPLE && isnan(v->value.f64) && (e.code >= 0xf9 && e.code <= 0xfb)) {
        double want;
        memcpy(&want, &e.value, sizeof want);
        EXPECT_TRUE(isnan(want)) << where;
    } else {
        EXPECT_EQ(v->value.u64, e.value) << where;
    }
}

TEST(CborParser, ItemsReadBack) {
    const double inf = INFINITY;
    const Bytes abc = {'a', 'b', 'c'};
    struct Case {
        const char *input;
        std::vector<Expect> items;
    } cases[] = {
        {"", {}},
        {"00 17 18 18 18 ff 19 01 00 1a 00 0f 42 40", {U(0x00, 0), U(0x17, 23), U(0x18, 24), U(0x18, 255),
                                                     U(0x19, 256), U(0x1a, 1000000)}},
        {"1b 00 00 00 01 00 00 00 00", {U(0x1b, 4294967296u)}},
        {"1b ff ff ff ff ff ff ff ff", {U(0x1b, UINT64_MAX)}},
        {"1c 1f", {U(0x1c, 0), U(0x1f, 0)}},
        {"20 37 38 05 39 01 00 3a 00 01 00 00", {I(0x20, -1), I(0x37, -24), I(0x38, -6), I(0x39, -257),
                                              I(0x3a, -65537)}},
        {"3b 7f ff ff ff ff ff ff ff", {I(0x3b, INT64_MIN)}},
        {"3b ff ff ff ff ff ff ff ff", {I(0x3b, 0)}},
        {"3c", {I(0x3c, 0)}},
        {"40 41 00 58 02 61 62 59 00 01 63", {S(0x40, {}), S(0x41, {0}), S(0x58, {'a', 'b'}), S(0x59, {'c'})}},
        {"5a 00 00 00 01 7a 5b 00 00 00 00 00 00 00 00", {S(0x5a, {'z'}), S(0x5b, {})}},
        {"63 61 62 63", {S(0x63, abc)}},
        {"60 78 03 61 62 63 62 00 01", {S(0x60, {}), S(0x78, abc), S(0x62, {0, 1})}},
        {"7b 00 00 00 00 00 00 00 03 61 62 63", {S(0x7b, abc)}},
        {"5f 41 61 ff", {L(0x5f, -1, 1), S(0x41, {'a'}, 1), L(0xff, 0, 0)}},
        {"7f 61 61 ff", {L(0x7f, -1, 1), S(0x61, {'a'}, 1), L(0xff, 0, 0)}},
        {"82 01 02", {L(0x82, 2), U(0x01, 1), U(0x02, 2)}},
        {"a1 01 02", {L(0xa1, 1), U(0x01, 1), U(0x02, 2)}},
        {"98 18 99 01 00 9a 00 01 00 00 9b 00 00 00 01 00 00 00 00",
         {L(0x98, 24), L(0x99, 256), L(0x9a, 65536), L(0x9b, 4294967296)}},
        {"b8 18 bb ff ff ff ff ff ff ff ff", {L(0xb8, 24), L(0xbb, -1)}},
        {"9f bf ff", {L(0x9f, -1, 1), L(0xbf, -1, 1), L(0xff, 0, 0)}},
        {"5c 7e 9c be", {L(0x5c, 0), L(0x7e, 0), L(0x9c, 0), L(0xbe, 0)}},
        {"d8 20", {L(0xd8, 0), I(0x20, -1)}},
        {"c0 db dc df", {L(0xc0, 0), L(0xdb, 0), L(0xdc, 0), L(0xdf, 0)}},
        {"f4 f5 f6 f7 fc fe", {L(0xf4, 0), L(0xf5, 0), L(0xf6, 0), L(0xf7, 0), L(0xfc, 0), L(0xfe, 0)}},
        {"f9 7c 00 f9 fc 00 f9 7e 00 f9 80 00", {F(0xf9, inf), F(0xf9, -inf), F(0xf9, NAN), F(0xf9, -0.0)}},
        {"f9 00 01 f9 03 ff f9 04 00 f9 3c 00 f9 7b ff f9 c4 00",
         {F(0xf9, ldexp(1, -24)), F(0xf9, ldexp(1023, -24)), F(0xf9, ldexp(1, -14)), F(0xf9, 1.0),
          F(0xf9, 65504.0), F(0xf9, -4.0)}},
        {"fa 47 c3 50 00 fa 7f 80 00 00 fa 00 00 00 01 fa 7f c0 00 00",
         {F(0xfa, 100000.0), F(0xfa, inf), F(0xfa, ldexp(1, -149)), F(0xfa, NAN)}},
        {"fb 3f b9 99 99 99 99 99 9a fb 80 00 00 00 00 00 00 00", {F(0xfb, 0.1), F(0xfb, -0.0)}},
    };
    for (const Case &c : cases) {
        Input in(hex(c.input));
        ASSERT_NE(in.p, nullptr);
        for (size_t i = 0; i < c.items.size(); ++i) {
            Val v(cbor_next_val(in.p));
            std::string where = std::string(c.input) + ", item " + std::to_string(i);
            expect_item(v.v, c.items[i], where);
            EXPECT_EQ(in.p->indefinite, c.items[i].indefinite) << where;
        }
        EXPECT_EQ(cbor_next_val(in.p), nullptr) << c.input;
        EXPECT_EQ(cbor_parser_available_bytes(in.p), 0) << c.input;
    }
}

// Signalling NaN payloads survive a double item unchanged.
TEST(CborParser, DoublePatternIsStoredUnchanged) {
    Input in(hex("fb 7f f0 00 00 00 00 00 01"));
    Val v(cbor_next_val(in.p));
    ASSERT_NE(v.v, nullptr);
    EXPECT_EQ(v.v->value.u64, UINT64_C(0x7ff0000000000001));
}

// Cut-short items give NULL with the cursor after the initial byte (and
// after a string's length bytes when the string itself is short).
TEST(CborParser, TruncatedItemsFail) {
    struct Case {
        const char *input;
        int good_items;  // read before the failing one
        int left;        // unread bytes after the failure
    } cases[] = {
        {"18", 0, 0},
        {"19 01", 0, 1},
        {"1a 00 00 01", 0, 3},
        {"1b 00 00 00 00 00 00 01", 0, 7},
        {"39 01", 0, 1},
        {"3b ff", 0, 1},
        {"01 02 19 01", 2, 1},
        {"42 61", 0, 1},
        {"58", 0, 0},
        {"58 02 61", 0, 1},
        {"59 00", 0, 1},
        {"7a 00 00 00 05 61 62", 0, 2},
        {"5b 80 00 00 00 00 00 00 05 01 02 03 04 05", 0, 5},
        {"5b ff ff ff ff ff ff ff ff 01", 0, 1},
        {"7b 00 00 00 01 00 00 00 00 61 62 63 64", 0, 4},
        {"5a ff ff ff ff 61", 0, 1},
        {"98", 0, 0},
        {"9b 00 00 00 00", 0, 4},
        {"b9 01", 0, 1},
        {"ba 00 00 00", 0, 3},
        {"f9 3c", 0, 1},
        {"fa 47 c3 50", 0, 3},
        {"fb 3f b9 99 99 99 99 99", 0, 7},
        {"82 01 fb", 2, 0},
    };
    for (const Case &c : cases) {
        Input in(hex(c.input));
        for (int i = 0; i < c.good_items; ++i) {
            Val v(cbor_next_val(in.p));
            EXPECT_NE(v.v, nullptr) << c.input;
        }
        EXPECT_EQ(cbor_next_val(in.p), nullptr) << c.input;
        EXPECT_EQ(cbor_parser_available_bytes(in.p), c.left) << c.input;
    }
}

TEST(CborParser, UnimplementedCodesAreReportedAndReturned) {
    Input in(hex("e0 f3 f8 01"));
    testing::internal::CaptureStderr();
    Val e0(cbor_next_val(in.p));
    Val f3(cbor_next_val(in.p));
    Val f8(cbor_next_val(in.p));
    Val after(cbor_next_val(in.p));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f3\nUnimplemented CBOR code: f8\n");
    expect_item(e0.v, L(0xe0, 0), "e0");
    expect_item(f3.v, L(0xf3, 0), "f3");
    expect_item(f8.v, L(0xf8, 0), "f8");
    expect_item(after.v, U(0x01, 1), "byte after f8");
}

TEST(CborParser, CreateAndRelease) {
    const uint8_t byte = 0x01;
    cbor_parser *p = cbor_parser_create(&byte, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data, &byte);
    EXPECT_EQ(p->cursor, &byte);
    EXPECT_EQ(p->len, 1u);
    EXPECT_EQ(p->indefinite, 0);
    EXPECT_EQ(cbor_parser_available_bytes(p), 1);
    cbor_val *v = cbor_next_val(p);
    cbor_parser_free(p);
    ASSERT_NE(v, nullptr);  // items outlive their parser
    EXPECT_EQ(v->value.u64, 1u);
    cbor_val_free(v);

    p = cbor_parser_create(nullptr, 0);  // an empty input needs no bytes
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(cbor_next_val(p), nullptr);
    cbor_parser_free(p);

    EXPECT_EQ(cbor_parser_create(nullptr, 5), nullptr);
    EXPECT_EQ(cbor_next_val(nullptr), nullptr);
    cbor_parser_free(nullptr);
    cbor_val_free(nullptr);

    // A remainder too large for an int reads as INT_MAX, never negative.
    p = cbor_parser_create(&byte, UINT32_MAX);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(cbor_parser_available_bytes(p), INT_MAX);
    cbor_parser_free(p);
}

// Handlers may be called directly; on an exhausted parser they fail
// without touching the byte past the end.
TEST(CborParser, HandlersFailAtTheEndOfInput) {
    uint8_t *byte = new uint8_t[1]{0x00};
    for (int code = 0; code < 256; ++code) {
        cbor_parser p = {byte, 1, byte + 1, 0};
        cbor_val v = {};
        v.code = static_cast<uint8_t>(code);
        v.type = static_cast<cbor_val_type>(code >> 5);
        EXPECT_EQ(cbor_jump_table[code](&p, &v), -1) << std::hex << code;
        EXPECT_EQ(p.cursor, byte + 1) << std::hex << code;
        EXPECT_EQ(v.value.u64, 0u) << std::hex << code;
    }
    delete[] byte;
}

// Bytes an item takes by the structure of its head: 1 + argument bytes,
// plus the string bytes; tags, f8 and reserved codes take one byte.
// Returns 0 when the input is too short, and the unread bytes expected
// after that failure in *left.
size_t item_size(const uint8_t *data, size_t len, size_t *left) {
    uint8_t code = data[0];
    int major = code >> 5, info = code & 0x1f;
    size_t argument_bytes = 0;
    if (info >= 24 && info <= 27 && major != 6 && code != 0xf8) argument_bytes = size_t{1} << (info - 24);
    if (len < 1 + argument_bytes) {
        *left = len - 1;
        return 0;
    }
    if ((major != 2 && major != 3) || info > 27) return 1 + argument_bytes;
    uint64_t n = info < 24 ? info : 0;
    for (size_t i = 0; i < argument_bytes; ++i) n = (n << 8) | data[1 + i];
    if (n > len - 1 - argument_bytes) {
        *left = len - 1 - argument_bytes;
        return 0;
    }
    return 1 + argument_bytes + static_cast<size_t>(n);
}

// Reads the input to its end, checking each item's extent against
// item_size; returns how many unimplemented codes were read.
int read_all(const Bytes &input) {
    Input in(input);
    int unimplemented = 0;
    size_t offset = 0;
    for (;;) {
        size_t left = 0;
        size_t size = offset < input.size() ? item_size(input.data() + offset, input.size() - offset, &left) : 0;
        Val v(cbor_next_val(in.p));
        if (size == 0) {
            EXPECT_EQ(v.v, nullptr) << testing::PrintToString(input);
            EXPECT_EQ(cbor_parser_available_bytes(in.p), static_cast<int>(left)) << testing::PrintToString(input);
            return unimplemented;
        }
        if (v.v == nullptr) {
            ADD_FAILURE() << "no item at " << offset << " of " << testing::PrintToString(input);
            return unimplemented;
        }
        uint8_t code = input[offset];
        EXPECT_EQ(v.v->code, code);
        EXPECT_EQ(v.v->type, static_cast<cbor_val_type>(code >> 5));
        offset += size;
        EXPECT_EQ(cbor_parser_available_bytes(in.p), static_cast<int>(input.size() - offset))
            << testing::PrintToString(input);
        if ((code >= 0xe0 && code <= 0xf3) || code == 0xf8) ++unimplemented;
    }
}

// Every input of one and two bytes, and every prefix of each initial byte
// followed by eight bytes of 00, 01 or ff (so every argument and string
// length is cut at every position).
TEST(CborParser, EveryShortInputStaysInBounds) {
    std::vector<Bytes> inputs;
    for (int a = 0; a < 256; ++a) {
        inputs.push_back({static_cast<uint8_t>(a)});
        for (int b = 0; b < 256; ++b) inputs.push_back({static_cast<uint8_t>(a), static_cast<uint8_t>(b)});
        for (uint8_t fill : {0x00, 0x01, 0xff})
            for (size_t n = 3; n <= 9; ++n) {
                Bytes input(n, fill);
                input[0] = static_cast<uint8_t>(a);
                inputs.push_back(input);
            }
    }
    testing::internal::CaptureStderr();
    size_t expected_messages = 0;
    for (const Bytes &input : inputs) expected_messages += read_all(input);
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(static_cast<size_t>(std::count(messages.begin(), messages.end(), '\n')), expected_messages);
}

// Fails the Nth allocation for every N: the parser, an item or a string
// copy may be refused; each read before that gives the right item, the
// failing one NULL, and nothing leaks.
TEST(CborParser, AllocationFailureGivesNull) {
    const Bytes input = hex("63 61 62 63 01 42 00 01 9f 40 ff");
    const std::vector<Expect> items = {S(0x63, {'a', 'b', 'c'}), U(0x01, 1), S(0x42, {0, 1}), L(0x9f, -1, 1),
                                       S(0x40, {}, 1), L(0xff, 0)};
    sweep_allocation_failures([&](long n) {
        FailAfter fail(n);
        Input in(input);
        if (in.p == nullptr) return false;
        for (size_t i = 0; i < items.size(); ++i) {
            Val v(cbor_next_val(in.p));
            if (v.v == nullptr) return false;
            expect_item(v.v, items[i], "n=" + std::to_string(n) + ", item " + std::to_string(i));
        }
        return true;
    });
}

}  // namespace

#include "cbor_reader.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "hex_bytes.h"

namespace {



std::string hex_of(const uint8_t *bytes, uint64_t length) {
    std::string out;
    char digits[3];
    for (uint64_t i = 0; i < length; ++i) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        out += digits;
    }
    return out;
}

// Every event of the input in a line: u5 n0 (-1) b'6162' t'ab' (t:ascii
// text, T: other text) [2 {1 #32 s22 f1.5 ) done, an open ( for
// indefinite lengths, and !code@offset for the error that stops it. The
// input sits in a heap block of exactly its size, so that the sanitizer
// catches any read past its end.
std::string events(const Bytes &input, size_t max_depth = 100) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[input.size() + !input.size()]);
    if (!input.empty()) memcpy(data.get(), input.data(), input.size());
    cbor_reader *reader = cbor_reader_create(data.get(), input.size(), max_depth);
    std::string out;
    cbor_event e;
    char text[64];
    for (size_t n = 0; n < 2 * input.size() + 2; ++n) {
        const int type = cbor_reader_next(reader, &e);
        std::string open = e.indefinite ? "(" : std::to_string(e.argument);
        switch (type) {
        case CBOR_EVENT_UINT: out += "u" + std::to_string(e.argument); break;
        case CBOR_EVENT_NEGINT: out += "n" + std::to_string(e.argument); break;
        case CBOR_EVENT_BYTES: out += e.indefinite ? "b(" : "b'" + hex_of(e.bytes, e.argument) + "'"; break;
        case CBOR_EVENT_TEXT:
            out += e.indefinite ? "t(" : (e.ascii ? "t'" : "T'") + std::string(e.bytes, e.bytes + e.argument) + "'";
            break;
        case CBOR_EVENT_ARRAY: out += "[" + open; break;
        case CBOR_EVENT_MAP: out += "{" + open; break;
        case CBOR_EVENT_TAG: out += "#" + std::to_string(e.argument); break;
        case CBOR_EVENT_SIMPLE: out += "s" + std::to_string(e.argument); break;
        case CBOR_EVENT_FLOAT: {
            uint64_t bits;
            memcpy(&bits, &e.number, sizeof bits);
            if (e.number != e.number)
                snprintf(text, sizeof text, "f%016llx", static_cast<unsigned long long>(bits));
            else
                snprintf(text, sizeof text, "f%.17g", e.number);
            out += text;
            break;
        }
        case CBOR_EVENT_END: out += ")"; break;
        case CBOR_EVENT_DONE: cbor_reader_free(reader); return out + "done";
        default: {
            size_t offset = 0;
            const int code = cbor_reader_error(reader, &offset);
            cbor_reader_free(reader);
            return out + "!" + std::to_string(code) + "@" + std::to_string(offset);
        }
        }
        out += " ";
    }
    cbor_reader_free(reader);
    return out + "(no end)";
}

struct Case {
    const char *input;
    const char *expected;
};

void check_table(const std::vector<Case> &table) {
    for (const Case &c : table) EXPECT_EQ(events(hex(c.input)), c.expected) << "input " << c.input;
}

TEST(CborReader, IntegersOfEveryHeadWidth) {
    check_table({
        {"00", "u0 done"},
        {"17", "u23 done"},
        {"1818", "u24 done"},
        {"18ff", "u255 done"},
        {"190100", "u256 done"},
        {"1a00010000", "u65536 done"},
        {"1b0000000100000000", "u4294967296 done"},
        {"1bffffffffffffffff", "u18446744073709551615 done"},
        {"1800", "u0 done"},  // not the shortest form: still well-formed
        {"20", "n0 done"},
        {"37", "n23 done"},
        {"3818", "n24 done"},
        {"390100", "n256 done"},
        {"3a00010000", "n65536 done"},
        {"3bffffffffffffffff", "n18446744073709551615 done"},
    });
}

TEST(CborReader, StringsOfEveryHeadWidth) {
    const std::string long_text(300, 'a');
    check_table({
        {"40", "b'' done"},
        {"4401020304", "b'01020304' done"},
        {"5801ff", "b'ff' done"},
        {"590002abcd", "b'abcd' done"},
        {"5a00000001ab", "b'ab' done"},
        {"5b0000000000000001ab", "b'ab' done"},
        {"60", "t'' done"},
        {"6161", "t'a' done"},
        {"7803616263", "t'abc' done"},
        {"62c3bc", "T'\xc3\xbc' done"},
        {"64f0908591", "T'\xf0\x90\x85\x91' done"},
        {"5f42010243030405ff", "b( b'0102' b'030405' ) done"},
        {"5fff", "b( ) done"},
        {"7f657374726561646d696e67ff", "t( t'strea' t'ming' ) done"},
        {"7f61c3ff", "t( !8@1"},  // each chunk must be valid UTF-8 by itself
    });
    EXPECT_EQ(events(hex("79012c" + hex_of(reinterpret_cast<const uint8_t *>(long_text.data()), 300))),
              "t'" + long_text + "' done");
}

TEST(CborReader, ContainersTagsAndLevels) {
    check_table({
        {"80", "[0 ) done"},
        {"83010203", "[3 u1 u2 u3 ) done"},
        {"8301820203820405", "[3 u1 [2 u2 u3 ) [2 u4 u5 ) ) done"},
        {"98190102030405060708090a0b0c0d0e0f101112131415161718181819",
         "[25 u1 u2 u3 u4 u5 u6 u7 u8 u9 u10 u11 u12 u13 u14 u15 u16 u17 u18 u19 u20 u21 u22 u23 u24 u25 ) done"},
        {"a0", "{0 ) done"},
        {"a201020304", "{2 u1 u2 u3 u4 ) done"},
        {"9f018202039f0405ffff", "[( u1 [2 u2 u3 ) [( u4 u5 ) ) done"},
        {"bf61610161629f0203ffff", "{( t'a' u1 t'b' [( u2 u3 ) ) done"},
        {"c074323031332d30332d32315432303a30343a30305a", "#0 t'2013-03-21T20:04:00Z' ) done"},
        {"d82076687474703a2f2f7777772e6578616d706c652e636f6d", "#32 t'http://www.example.com' ) done"},
        {"c249010000000000000000", "#2 b'010000000000000000' ) done"},
        {"dbffffffffffffffffc100", "#18446744073709551615 #1 u0 ) ) done"},
    });
    // Items of the top-level container are at level 1, as dumps counts.
    EXPECT_EQ(events(hex("8180"), 1), "[1 [0 ) ) done");
    EXPECT_EQ(events(hex("818101"), 1), "[1 [1 !10@2");
    EXPECT_EQ(events(hex("a10181"), 1), "{1 u1 !2@2");  // the inner item is missing first
    EXPECT_EQ(events(hex("a1018101"), 1), "{1 u1 [1 !10@3");
    EXPECT_EQ(events(hex("c1c101"), 1), "#1 #1 !10@2");
    EXPECT_EQ(events(hex("01"), 0), "u1 done");
    EXPECT_EQ(events(hex("80"), 0), "[0 ) done");
    EXPECT_EQ(events(hex("8101"), 0), "[1 !10@1");
}

TEST(CborReader, FloatsAndSimpleValuesBitExact) {
    check_table({
        {"f90000", "f0 done"},
        {"f98000", "f-0 done"},
        {"f93c00", "f1 done"},
        {"f93e00", "f1.5 done"},
        {"f97bff", "f65504 done"},
        {"f90001", "f5.9604644775390625e-08 done"},
        {"f90400", "f6.103515625e-05 done"},
        {"f9c400", "f-4 done"},
        {"f97c00", "finf done"},
        {"f9fc00", "f-inf done"},
        {"f97e00", "f7ff8000000000000 done"},
        {"f97c01", "f7ff0040000000000 done"},  // signalling NaN, payload kept
        {"f9fe01", "ffff8040000000000 done"},
        {"fa47c35000", "f100000 done"},
        {"fa7f7fffff", "f3.4028234663852886e+38 done"},
        {"fa00000001", "f1.4012984643248171e-45 done"},
        {"fa7f800000", "finf done"},
        {"faff800000", "f-inf done"},
        {"fa7fc00000", "f7ff8000000000000 done"},
        {"fa7f800001", "f7ff0000020000000 done"},
        {"fb3ff199999999999a", "f1.1000000000000001 done"},
        {"fb7ff8000000000001", "f7ff8000000000001 done"},
        {"fbfff0000000000000", "f-inf done"},
        {"f4", "s20 done"},
        {"f5", "s21 done"},
        {"f6", "s22 done"},
        {"f7", "s23 done"},
        {"e0", "s0 done"},
        {"f3", "s19 done"},
        {"f820", "s32 done"},
        {"f8ff", "s255 done"},
    });
}

TEST(CborReader, MalformedInputsStopWithCodeAndOffset) {
    check_table({
        {"", "!1@0"},
        {"18", "!1@0"},
        {"19ff", "!1@0"},
        {"1bffffffffffffff", "!1@0"},
        {"820118", "[2 u1 !1@2"},
        {"62", "!2@0"},
        {"4201", "!2@0"},
        {"5bffffffffffffffff01", "!2@0"},
        {"7bffffffffffffffff", "!2@0"},
        {"9bffffffffffffffff", "!2@0"},
        {"9a0000000200", "!2@0"},           // 2 items need 2 bytes
        {"bbffffffffffffffff", "!2@0"},
        {"a20102", "!2@0"},                 // 2 pairs need 4 bytes
        {"828200", "[2 !2@1"},              // the outer array's second item is due too
        {"819f", "[1 !1@2"},
        {"9f", "!1@1"},
        {"9f01", "[( !1@2"},
        {"bf01", "{( !1@2"},
        {"5f", "!1@1"},
        {"c0", "!1@1"},
        {"1c", "!3@0"},
        {"3d", "!3@0"},
        {"5e", "!3@0"},
        {"7c", "!3@0"},
        {"9d", "!3@0"},
        {"be", "!3@0"},
        {"dc", "!3@0"},
        {"fc", "!3@0"},
        {"fe", "!3@0"},
        {"1f", "!4@0"},
        {"3f", "!4@0"},
        {"df00", "!4@0"},
        {"ff", "!5@0"},
        {"81ff", "[1 !5@1"},
        {"a1ff", "!2@0"},
        {"bf01ff", "{( u1 !6@2"},
        {"5f01ff", "b( !7@1"},
        {"5f6161ff", "b( !7@1"},
        {"7f4161ff", "t( !7@1"},
        {"5f5fffff", "b( !7@1"},
        {"5f80ff", "b( !7@1"},
        {"61ff", "!8@0"},
        {"62c0af", "!8@0"},                 // overlong
        {"63eda080", "!8@0"},               // surrogate
        {"64f4908080", "!8@0"},             // past U+10FFFF
        {"62e282", "!8@0"},                 // cut short
        {"6180", "!8@0"},                   // lone continuation
        {"f800", "!9@0"},
        {"f81f", "!9@0"},
        {"0000", "u0 !11@1"},
        {"8001", "[0 ) !11@1"},
        {"f9", "!1@0"},
        {"fa000000", "!1@0"},
        {"fb00000000000000", "!1@0"},
    });
}

TEST(CborReader, ErrorIsSticky) {
    Bytes input = hex("ff01");
    cbor_reader *reader = cbor_reader_create(input.data(), input.size(), 10);
    cbor_event e;
    EXPECT_EQ(cbor_reader_next(reader, &e), CBOR_EVENT_ERROR);
    EXPECT_EQ(cbor_reader_next(reader, &e), CBOR_EVENT_ERROR);
    size_t offset = 99;
    EXPECT_EQ(cbor_reader_error(reader, &offset), CBOR_READ_BREAK);
    EXPECT_EQ(offset, 0u);
    EXPECT_STREQ(cbor_reader_error_text(CBOR_READ_BREAK), "a break outside an indefinite-length item");
    cbor_reader_free(reader);
    cbor_reader_free(nullptr);
}

// Deep nesting needs no native stack and a nesting stack of its own depth.
TEST(CborReader, HundredThousandLevels) {
    const size_t levels = 100000;
    Bytes input(levels, 0x81);
    input.push_back(0x00);
    cbor_reader *reader = cbor_reader_create(input.data(), input.size(), levels);
    cbor_event e;
    size_t opened = 0, closed = 0;
    int type;
    while ((type = cbor_reader_next(reader, &e)) > CBOR_EVENT_DONE) {
        opened += type == CBOR_EVENT_ARRAY;
        closed += type == CBOR_EVENT_END;
    }
    EXPECT_EQ(type, CBOR_EVENT_DONE);
    EXPECT_EQ(opened, levels);
    EXPECT_EQ(closed, levels);
    cbor_reader_free(reader);

    const std::string refused = events(input, levels - 1);  // the innermost item one level too deep
    EXPECT_EQ(refused.substr(refused.size() - 11), " !10@100000");
}

TEST(CborReader, NestingStackThatCannotGrowFails) {
    Bytes input(40, 0x81);
    input.push_back(0x00);
    const long needed = sweep_allocation_failures([&](long n) {
        FailAfter fail(n);
        cbor_reader *reader = cbor_reader_create(input.data(), input.size(), 100);
        if (reader == nullptr) return false;
        cbor_event e;
        int type;
        while ((type = cbor_reader_next(reader, &e)) > CBOR_EVENT_DONE) {
        }
        size_t offset = 0;
        const int code = cbor_reader_error(reader, &offset);
        cbor_reader_free(reader);
        if (type == CBOR_EVENT_DONE) return true;
        EXPECT_EQ(code, CBOR_READ_MEMORY);
        return false;
    });
    EXPECT_EQ(needed, 3);  // the reader, then the stack at 16 and at 32 levels
}

}  // namespace

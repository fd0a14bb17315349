// diff_apply_binary reads item heads straight from the delta. Here it is
// held against a second application written on the CBOR parser, which
// consumes every item the way the format's reader defines, on deltas of
// random items of every initial byte, cut short anywhere.
#include <gtest/gtest.h>
#include <stdint.h>

#include <random>
#include <string>

#include "cbor_parser.h"
#include "delta_apply.h"
#include "delta_cases.h"

namespace {

struct Outcome {
    bool null;
    std::string bytes;
    size_t capacity;
    bool operator==(const Outcome &o) const {
        return null == o.null && bytes == o.bytes && capacity == o.capacity;
    }
};

Outcome outcome_of(buf *b) {
    Outcome o{b == nullptr, b ? contents(b) : "", b ? b->capacity : 0};
    buf_free(b);
    return o;
}

// Item by item through cbor_next_val, one append per item. A cut item ends
// application, except as a match's length, which makes the delta malformed,
// as do a match's length that is no unsigned integer and a match outside
// the old value.
buf *apply_with_parser(const std::string &old_value, const std::string &delta) {
    buf *result = buf_create();
    cbor_parser *p = cbor_parser_create(delta.data(), (uint32_t)delta.size());
    bool ok = result && p;
    for (cbor_val *item; ok && (item = cbor_next_val(p)) != nullptr; cbor_val_free(item)) {
        size_t before = result->len;
        if (item->type == CBOR_TYPE_UINT) {
            cbor_val *length = cbor_next_val(p);
            uint32_t offset = (uint32_t)item->value.u64;
            uint32_t n = length ? (uint32_t)length->value.u64 : 0;
            ok = length && length->type == CBOR_TYPE_UINT && (uint64_t)offset + n <= old_value.size();
            if (ok) buf_write_bytes(result, old_value.data() + offset, n);
            ok = ok && result->len == before + n;
            cbor_val_free(length);
        } else if ((item->type == CBOR_TYPE_BYTE_STRING || item->type == CBOR_TYPE_TEXT_STRING) && item->length > 0) {
            buf_write_bytes(result, item->value.str, (size_t)item->length);
            ok = result->len == before + (size_t)item->length;
        }
    }
    cbor_parser_free(p);
    if (!ok) {
        buf_free(result);
        return nullptr;
    }
    return result;
}

class DeltaMaker {
public:
    explicit DeltaMaker(uint32_t seed) : rng_(seed) {}

    size_t below(size_t n) { return rng_() % n; }

    // One item: mostly matches and strings that fit, with heads of every
    // width, and now and then any initial byte at all with random bytes
    // after it.
    std::string item(size_t old_size) {
        switch (below(6)) {
        case 0:
        case 1: {
            uint64_t offset = below(old_size + 2), length = below(old_size + 2 - offset);
            return head(0, offset) + head(0, length);
        }
        case 2:
            return head(below(2) ? 2 : 3, 0) + "";
        case 3: {
            size_t n = below(4) ? below(30) : below(300);
            return head(below(4) ? 2 : 3, n) + random_bytes(n);
        }
        default: {
            std::string s(1, (char)below(256));
            return s + random_bytes(below(10));
        }
        }
    }

    std::string delta(size_t old_size) {
        std::string d;
        for (size_t n = below(12); n > 0; n--) d += item(old_size);
        if (below(3) == 0 && !d.empty()) d.resize(below(d.size()));
        return d;
    }

    std::string random_bytes(size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = (char)rng_();
        return s;
    }

private:
    // Shortest head, or now and then a longer one than needed.
    std::string head(unsigned major, uint64_t v) {
        unsigned width = v <= 23 ? 0 : v <= 255 ? 1 : v <= 65535 ? 2 : 4;
        static const unsigned widths[] = {1, 2, 4, 8};
        if (below(5) == 0) width = widths[below(4)];
        std::string h(1, (char)(major << 5 | (width == 0 ? v : width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27)));
        for (unsigned i = width; i > 0; i--) h += (char)(v >> (8 * (i - 1)));
        return h;
    }

    std::mt19937 rng_;
};

TEST(DeltaApplyReference, RandomDeltasAgreeWithTheParser) {
    const uint32_t seed = test_seed(777);
    const long cases = env_long("OSTREL_DIFF_CASES", 20000);
    printf("seed %u (OSTREL_TEST_SEED), %ld cases (OSTREL_DIFF_CASES)\n", seed, cases);
    DeltaMaker make(seed);
    testing::internal::CaptureStderr();  // the parser reports undecoded simple values
    long failures = 0;
    for (long i = 0; i < cases && failures < 5; i++) {
        std::string old_value = make.random_bytes(make.below(200));
        std::string delta = make.delta(old_value.size());
        buf o = view(old_value), d = view(delta);
        Outcome expected = outcome_of(apply_with_parser(old_value, delta));
        Outcome got = outcome_of(diff_apply_binary(&o, &d));
        if (!(got == expected)) {
            failures++;
            ADD_FAILURE() << "delta " << hex(delta) << " over " << old_value.size() << " bytes: got "
                          << (got.null ? "null" : hex(got.bytes)) << " capacity " << got.capacity << ", expected "
                          << (expected.null ? "null" : hex(expected.bytes)) << " capacity " << expected.capacity;
        }
    }
    testing::internal::GetCapturedStderr();
}

// The parser's reading, byte for byte: what each head consumes.
TEST(DeltaApplyReference, HeadsConsumeWhatTheParserConsumes) {
    const std::string old_value = "abcdefgh";
    struct Case {
        const char *delta_hex, *expected;  // expected: the result, or "null"
    } cases[] = {
        {"1c 02", "ab"},                 // reserved 1c is the integer 0: match (0, 2)
        {"1c 41 7a", "null"},            // ... whose length is a byte string
        {"1f 03", "abc"},                // reserved 1f as offset 0, length 3
        {"d8 02 00 02", "null"},         // a tag is its initial byte: 02 starts a match, 00 02 ... short
        {"d8 02 41 5a", "null"},         // 02 then a byte string
        {"d9 00 02 41 5a", "abZ"},       // the tag's argument bytes are items of their own
        {"c1 41 5a", "Z"},               // small tags are skipped
        {"f8 41 5a", "Z"},               // f8 alone, then 41 5a
        {"f9 41 5a 41 5a", "Z"},         // a half float takes two bytes
        {"fa 00 00 00", ""},             // cut float: the end
        {"fb 00 00 00 00 00 00 00 00 41 5a", "Z"},
        {"5f 41 5a ff", "Z"},            // indefinite header: its chunks are plain strings
        {"5c 41 5a", "Z"},               // reserved string code: no content
        {"38 41 41 5a", "Z"},            // negative integer with a one-byte argument
        {"39 00", ""},                   // cut negative integer
        {"99 00 02 41 5a", "Z"},         // array head with a 2-byte count
        {"ba 00 00 00", ""},             // cut map head
        {"62 61 62 63", "ab"},           // text, then 63 cut short
        {"00 18", "null"},               // cut match length
        {"00 1b 00 00 00 01 00 00 00 02", "ab"},  // the low 32 bits of a length
        {"01 08", "null"},               // past the end of old
        {"00 08", "abcdefgh"},
        {"58 02 41", ""},                // string longer than the delta
    };
    testing::internal::CaptureStderr();
    for (const Case &c : cases) {
        std::string delta;
        for (const char *p = c.delta_hex; p[0]; p++) {
            if (*p == ' ') continue;
            delta += (char)std::stoi(std::string(p, 2), nullptr, 16);
            p++;
        }
        buf o = view(old_value), d = view(delta);
        Outcome got = outcome_of(diff_apply_binary(&o, &d));
        EXPECT_EQ(got.null ? "null" : got.bytes, c.expected) << c.delta_hex;
        EXPECT_EQ(got, outcome_of(apply_with_parser(old_value, delta))) << c.delta_hex;
    }
    testing::internal::GetCapturedStderr();
}

}  // namespace

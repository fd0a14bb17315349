#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cbor_writer.h"
#include "delta_apply.h"
#include "fault_injection.h"
#include "test_seed.h"

namespace {

// Hex digits; spaces are only for reading.
std::string from_hex(const std::string &hex) {
    std::string digits, out;
    for (char c : hex)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out += char(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

// A read-only view, as callers build over memory they own.
buf view(const std::string &s) { return buf{const_cast<char *>(s.data()), s.size(), s.size()}; }

// Applies a delta; "null" stands for a NULL result.
std::string patch(const std::string &old_value, const std::string &delta) {
    buf o = view(old_value), d = view(delta);
    buf *result = diff_apply_binary(&o, &d);
    if (!result) return "null";
    std::string out(result->data ? result->data : "", result->len);
    buf_free(result);
    return out;
}

struct Case {
    const char *old_value;
    const char *delta_hex;
    const char *expected;  // text, or "null"
};

template <size_t N>
void run(const Case (&cases)[N]) {
    for (const Case &c : cases)
        EXPECT_EQ(patch(c.old_value, from_hex(c.delta_hex)), c.expected)
            << "old \"" << c.old_value << "\", delta " << c.delta_hex;
}

TEST(DiffApply, MatchesAndInserts) {
    const Case cases[] = {
        {"abcdefgh", "00 03 42 58 59 03 05", "abcXYdefgh"},
        {"abcdefgh", "", ""},
        {"abcdefgh", "40", ""},
        {"abcdef", "00 03", "abc"},
        {"abcdef", "02 04", "cdef"},
        {"abcdef", "04 02 00 02", "efab"},    // any order
        {"abcdef", "00 03 01 03", "abcbcd"},  // overlapping
        {"abcdef", "06 00", ""},              // empty match at the very end
        {"", "00 00", ""},
        {"anything", "4a 30 31 32 33 34 35 36 37 38 39", "0123456789"},  // replacement delta
        {"", "4a 30 31 32 33 34 35 36 37 38 39", "0123456789"},
        {"abcdef", "63 61 62 63", "abc"},          // text string, read like bytes
        {"abcdef", "f6", ""},                      // the no-change delta is not special
        // Heads wider than the shortest are read as well.
        {"abcdef", "58 03 41 42 43", "ABC"},
        {"abcdef", "5a 00 00 00 02 61 62", "ab"},
        {"abcdef", "18 00 18 03", "abc"},
        {"abcdef", "19 00 01 1a 00 00 00 02", "bc"},
        // Only the low 32 bits of each integer count.
        {"abcdef", "1b 00 00 00 01 00 00 00 00 03", "abc"},
        {"abcdef", "01 1b 00 00 00 07 00 00 00 02", "bc"},
    };
    run(cases);
}

TEST(DiffApply, OtherItemsAreIgnored) {
    const Case cases[] = {
        {"abcdef", "20 43 78 79 7a", "xyz"},                 // -1, then xyz
        {"abcdef", "3a ff ff ff ff 41 61", "a"},
        {"abcdef", "82 01 02", "bc"},                        // array head, then a match
        {"abcdef", "a1 00 01", "a"},                         // map head
        {"abcdef", "c0 00 01", "a"},                         // tag
        {"abcdef", "d8 20 41 61", "a"},                      // d8 alone, then -1
        {"abcdef", "f4 f5 f7 ff 00 01", "a"},                // simple values, break
        {"abcdef", "f9 3c 00 fa 47 c3 50 00 fb 3f b9 99 99 99 99 99 9a 00 01", "a"},
        {"abcdef", "e0 f8 20 41 62", "b"},                   // unimplemented codes
        {"abcdef", "1c 02", "ab"},                           // reserved: integer 0
    };
    run(cases);
}

// The simple values the parser does not decode get its message, once per
// item: the pass that copies the result reads them silently.
TEST(DiffApply, UnimplementedCodesAreReportedOnce) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(patch("abcdef", from_hex("e0 00 01 f3 f8 20 f4 41 62")), "ab");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f3\nUnimplemented CBOR code: f8\n");
}

TEST(DiffApply, IndefiniteStringHeadersHaveNoContent) {
    const Case cases[] = {
        {"abcdef", "5f", ""},
        {"abcdef", "5f ff", ""},
        {"abcdef", "5f 41 61 41 62 ff", "ab"},  // the chunks are ordinary strings
        {"abcdef", "7f 61 61 ff", "a"},
        {"abcdef", "5f 00 02 ff 7f", "ab"},
    };
    run(cases);
}

TEST(DiffApply, TruncatedItemEndsApplication) {
    const Case cases[] = {
        {"abcdef", "43 61 62", ""},
        {"abcdef", "00 03 43 61", "abc"},
        {"abcdef", "00 03 18", "abc"},
        {"abcdef", "00 03 f9 3c", "abc"},
        {"abcdef", "00 03 5a 00 00", "abc"},
        {"abcdef", "5b 80 00 00 00 00 00 00 05 61 62 63 64 65", ""},
    };
    run(cases);
}

TEST(DiffApply, MalformedDeltas) {
    const Case cases[] = {
        {"abcdef", "05", "null"},              // a lone integer
        {"abcdef", "00 03 0a", "null"},
        {"abcdef", "01 41 61", "null"},        // integer, then a string
        {"abcdef", "00 20", "null"},
        {"abcdef", "00 f9 3c 00", "null"},
        {"abcdef", "00 18", "null"},           // the length is cut short
        {"abcdef", "41 61 05", "null"},        // the partial result is dropped
        {"abcdef", "1c", "null"},
        // Matches outside the old value.
        {"abcdef", "00 07", "null"},
        {"abcdef", "06 01", "null"},
        {"abcdef", "07 00", "null"},
        {"abcdef", "02 05", "null"},
        {"", "00 01", "null"},
        {"abcdef", "1a ff ff ff ff 01", "null"},
        {"abcdef", "01 1a ff ff ff ff", "null"},
        {"abcdef", "1a ff ff ff ff 1a ff ff ff ff", "null"},  // the sum does not wrap
        {"abcdef", "1a 80 00 00 00 1a 80 00 00 00", "null"},
        {"abcdef", "1b 00 00 00 00 ff ff ff ff 01", "null"},
    };
    run(cases);
}

TEST(DiffApply, ResultsNoBufferCanHoldAreRefused) {
    if (SIZE_MAX > UINT32_MAX) GTEST_SKIP() << "such results can be held here";
    // Copies of a whole 16 MiB value adding up to 2.4 GiB (more than the
    // process can allocate) and 4.8 GiB (more than a size can count):
    // refused, not wrapped into a short result.
    std::string old_value(size_t(1) << 24, 'a');
    const std::string copy = from_hex("00 1a 01 00 00 00");
    for (int copies : {150, 300}) {
        std::string delta;
        for (int i = 0; i < copies; ++i) delta += copy;
        EXPECT_EQ(patch(old_value, delta), "null") << copies;
    }
}

TEST(DiffApply, RefusedArguments) {
    std::string text = "abc", delta = from_hex("00 03");
    buf o = view(text), d = view(delta);
    EXPECT_EQ(diff_apply_binary(nullptr, &d), nullptr);
    EXPECT_EQ(diff_apply_binary(&o, nullptr), nullptr);
    // Longer than the parser can count: refused before anything is read.
    buf huge = {d.data, size_t(INT32_MAX) + 1, size_t(INT32_MAX) + 1};
    EXPECT_EQ(diff_apply_binary(&o, &huge), nullptr);
}

TEST(DiffApply, AllocationFailures) {
    const Case cases[] = {
        {"abcdefgh", "00 03 42 58 59 03 05", "abcXYdefgh"},
        {"abcdef", "5f 41 61 ff 63 62 63 64 00 06 20", "abcdabcdef"},
        {"abcdef", "43 61 62", ""},
    };
    for (const Case &c : cases) {
        std::string delta = from_hex(c.delta_hex);
        sweep_allocation_failures([&](long n) {
            std::string out;
            {
                FailAfter fail(n);
                out = patch(c.old_value, delta);
            }
            if (out == "null") return false;
            EXPECT_EQ(out, c.expected) << c.delta_hex << " with " << n << " allocations";
            return true;
        });
    }
}

// Strict application: the value, or "error <code> at <offset>".
std::string apply_strict(const std::string &old_value, const std::string &delta, uint64_t limit = UINT64_MAX) {
    buf o = view(old_value), d = view(delta);
    uint64_t length = 0;
    size_t offset = 0;
    int code = diff_apply_check(&o, &d, limit, &length, &offset);
    if (code != DIFF_APPLY_OK) return "error " + std::to_string(code) + " at " + std::to_string(offset);
    std::string out(size_t(length), '?');
    EXPECT_EQ(diff_apply_fill(&o, &d, out.data(), out.size()), out.size());
    return out;
}

std::string error(int code, size_t offset) { return "error " + std::to_string(code) + " at " + std::to_string(offset); }

TEST(DiffApplyStrict, AcceptsWhatTheLenientReadingAccepts) {
    const Case cases[] = {
        {"abcdefgh", "00 03 42 58 59 03 05", "abcXYdefgh"},
        {"abcdef", "", ""},
        {"abcdef", "63 61 62 63", "abc"},
        {"abcdef", "04 02 00 02 00 03 01 03", "efababcbcd"},
        {"abcdef", "18 00 19 00 03 58 01 41", "abcA"},
        {"abcdef", "20 43 78 79 7a", "xyz"},
        {"abcdef", "82 01 02 a1 00 01 c0 00 01", "bcaa"},
        {"abcdef", "f4 f5 f7 ff f9 3c 00 00 01", "a"},
        {"abcdef", "5f 41 61 41 62 ff 7f 61 63 ff", "abc"},
        {"abcdef", "f6 f6", ""},  // nulls inside a longer delta are ignored
    };
    for (const Case &c : cases) EXPECT_EQ(apply_strict(c.old_value, from_hex(c.delta_hex)), c.expected) << c.delta_hex;
}

TEST(DiffApplyStrict, DiffersFromTheLenientReadingWhereItCannotRead) {
    struct Strict {
        const char *delta_hex;
        std::string expected;
        const char *lenient;
    } cases[] = {
        {"f6", "abcdef", ""},  // the no-change delta gives the old value
        {"43 61 62", error(DIFF_APPLY_CUT_SHORT, 0), ""},
        {"00 03 43 61", error(DIFF_APPLY_CUT_SHORT, 2), "abc"},
        {"00 03 f9 3c", error(DIFF_APPLY_CUT_SHORT, 2), "abc"},
        {"00 18", error(DIFF_APPLY_CUT_SHORT, 1), "null"},
        {"05", error(DIFF_APPLY_NO_LENGTH, 0), "null"},
        {"41 61 01 41 61", error(DIFF_APPLY_NO_LENGTH, 2), "null"},
        {"00 07", error(DIFF_APPLY_OUTSIDE_OLD, 0), "null"},
        {"41 61 1a ff ff ff ff 1a ff ff ff ff", error(DIFF_APPLY_OUTSIDE_OLD, 2), "null"},
        // Integers count whole, not by their low 32 bits.
        {"1b 00 00 00 01 00 00 00 00 03", error(DIFF_APPLY_OUTSIDE_OLD, 0), "abc"},
        {"1b ff ff ff ff ff ff ff ff 1b ff ff ff ff ff ff ff ff", error(DIFF_APPLY_OUTSIDE_OLD, 0), "null"},
        // Reserved and misplaced heads.
        {"1c 02", error(DIFF_APPLY_BAD_HEAD, 0), "ab"},
        {"00 02 3f", error(DIFF_APPLY_BAD_HEAD, 2), "ab"},
        {"00 1f", error(DIFF_APPLY_BAD_HEAD, 1), ""},
        {"5c 00 01", error(DIFF_APPLY_BAD_HEAD, 0), "a"},
        {"df", error(DIFF_APPLY_BAD_HEAD, 0), ""},
        {"fc", error(DIFF_APPLY_BAD_HEAD, 0), ""},
        // Tags and f8 carry their argument bytes.
        {"d8 00 02", error(DIFF_APPLY_NO_LENGTH, 2), "ab"},
        {"d9 00 01 00 01", "a", "aa"},
        {"f8 20 00 01", "a", "a"},
    };
    for (const Strict &c : cases) {
        std::string delta = from_hex(c.delta_hex);
        EXPECT_EQ(apply_strict("abcdef", delta), c.expected) << c.delta_hex;
        EXPECT_EQ(patch("abcdef", delta), c.lenient) << c.delta_hex;
    }
}

TEST(DiffApplyStrict, LimitRefusesTheItemThatPassesIt) {
    const std::string delta = from_hex("00 03 42 58 59 03 05");
    EXPECT_EQ(apply_strict("abcdefgh", delta, 10), "abcXYdefgh");
    EXPECT_EQ(apply_strict("abcdefgh", delta, 9), error(DIFF_APPLY_TOO_LONG, 5));
    EXPECT_EQ(apply_strict("abcdefgh", delta, 4), error(DIFF_APPLY_TOO_LONG, 2));
    EXPECT_EQ(apply_strict("abcdefgh", from_hex("f6"), 7), error(DIFF_APPLY_TOO_LONG, 0));
    EXPECT_EQ(apply_strict("abcdefgh", from_hex("f6"), 8), "abcdefgh");
    // 4096 copies of a whole 1 MiB value: refused at the first that passes
    // the limit, whatever follows.
    std::string old_value(size_t(1) << 20, 'a'), bomb;
    for (int i = 0; i < 4096; ++i) bomb += from_hex("00 1a 00 10 00 00");
    bomb += from_hex("43");
    EXPECT_EQ(apply_strict(old_value, bomb, uint64_t(1) << 24), error(DIFF_APPLY_TOO_LONG, 6 * 16));
    buf o = view(old_value), d = view(bomb);
    uint64_t length = 0;
    size_t offset = 0;
    EXPECT_EQ(diff_apply_check(&o, &d, UINT64_MAX, &length, &offset), DIFF_APPLY_CUT_SHORT);
    EXPECT_EQ(offset, bomb.size() - 1);
}

TEST(DiffApplyStrict, RefusedArguments) {
    std::string text = "abc", delta = from_hex("00 03");
    buf o = view(text), d = view(delta), no_data = {nullptr, 3, 3};
    uint64_t length = 0;
    size_t offset = 0;
    EXPECT_EQ(diff_apply_check(nullptr, &d, UINT64_MAX, &length, &offset), DIFF_APPLY_NULL_ARGUMENT);
    EXPECT_EQ(diff_apply_check(&o, nullptr, UINT64_MAX, &length, &offset), DIFF_APPLY_NULL_ARGUMENT);
    EXPECT_EQ(diff_apply_check(&o, &no_data, UINT64_MAX, &length, &offset), DIFF_APPLY_NULL_ARGUMENT);
    for (int code = DIFF_APPLY_OK; code <= DIFF_APPLY_TOO_LONG + 1; ++code) EXPECT_NE(diff_apply_reason(code), nullptr);
}

TEST(DiffApply, RandomItemsRebuildTheirConcatenation) {
    unsigned seed = test_seed("RandomItemsRebuildTheirConcatenation");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto below = [&](size_t n) { return size_t(rng() % n); };
    auto random_bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = char(rng());
        return s;
    };
    for (int round = 0; round < 300; round++) {
        // Old values up to 70000 bytes reach every head width.
        size_t sizes[] = {0, 1, 30, 300, 70000};
        std::string old_value = random_bytes(sizes[below(5)]);
        std::string expected;
        cbor_generator *g = cbor_generator_create();
        ASSERT_NE(g, nullptr);
        int items = int(below(20));
        for (int i = 0; i < items; i++) {
            switch (below(4)) {
            case 0: {
                size_t offset = below(old_value.size() + 1);
                size_t length = below(old_value.size() - offset + 1);
                ASSERT_EQ(cbor_write_uint(g, offset), 0);
                ASSERT_EQ(cbor_write_uint(g, length), 0);
                expected += old_value.substr(offset, length);
                break;
            }
            case 1: {
                std::string s = random_bytes(below(2) ? below(30) : below(400));
                ASSERT_EQ(cbor_write_byte_string(g, s.data(), int64_t(s.size())), 0);
                expected += s;
                break;
            }
            case 2: {
                std::string s = random_bytes(below(30));
                ASSERT_EQ(cbor_write_text_string(g, s.data(), int64_t(s.size())), 0);
                expected += s;
                break;
            }
            default:  // ignored items
                switch (below(4)) {
                case 0: ASSERT_EQ(cbor_write_negint(g, -1 - int64_t(rng())), 0); break;
                case 1: ASSERT_EQ(cbor_write_array(g, int64_t(below(300))), 0); break;
                case 2: ASSERT_EQ(cbor_write_null(g), 0); break;
                default: ASSERT_EQ(cbor_write_float64(g, double(rng()) / 7), 1); break;
                }
            }
        }
        std::string delta(reinterpret_cast<const char *>(g->data), size_t(g->len));
        cbor_generator_free(g);
        ASSERT_EQ(patch(old_value, delta), expected) << "round " << round;
        if (delta != "\xf6") {
            ASSERT_EQ(apply_strict(old_value, delta), expected) << "round " << round;
        }
    }
}

}  // namespace

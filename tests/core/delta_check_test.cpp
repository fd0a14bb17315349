#include "delta_check.h"

#include <gtest/gtest.h>

#include <string>

#include "delta_apply.h"
#include "delta_cases.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "fault_injection.h"
#include "test_seed.h"

namespace {

std::string from_hex(const std::string &text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out += (char)std::stoi(text.substr(i, 2), nullptr, 16);
        i += 2;
    }
    return out;
}

std::string take(buf *b) {
    std::string out = b ? contents(b) : "null";
    buf_free(b);
    return out;
}

std::string checked(const std::string &o, const std::string &n, const std::string &plain) {
    buf ob = view(o), nb = view(n), pb = view(plain);
    return take(diff_check_prepend(&ob, &nb, buf_dup(&pb)));
}

// The generators a checked delta is made from: the search driver, then
// the matching generator at each level.
std::string plain_delta(const std::string &o, const std::string &n, int generator) {
    buf ob = view(o), nb = view(n);
    return take(generator == 0 ? diff_generate_binary(&ob, &nb) : diff_match_binary(&ob, &nb, generator));
}

struct Outcome {
    int code;
    size_t offset;
    std::string value;  // when code is DIFF_APPLY_OK
};

// Checked application as a caller does it: measure, take memory, fill.
Outcome apply(const std::string &o, const std::string &delta, int mode, uint64_t max_length = UINT64_MAX) {
    buf ob = view(o), db = view(delta);
    uint64_t length = 0;
    size_t offset = 0;
    int code = diff_apply_checked(&ob, &db, mode, max_length, &length, &offset);
    if (code != DIFF_APPLY_OK) return {code, offset, ""};
    std::string out(length, '\0');
    size_t written = 0;
    code = diff_apply_checked_fill(&ob, &db, mode, &out[0], out.size(), &written);
    EXPECT_EQ(written, length);
    return {code, 0, code == DIFF_APPLY_OK ? out : ""};
}

const char *const worked_record =
    "3b 6f 73 74 72 65 6c 00 01  28  3b 6f 45 a7 68 42 a9 64 83  2a  3b 59 4c c3 69 9a d7 c3 8d";

TEST(DeltaCheck, RecordBytes) {
    struct {
        std::string old_value, new_value, plain_hex, checked_hex;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", "00 03 42 58 59 03 05", std::string(worked_record) + "00 03 42 58 59 03 05"},
        // Empty values: lengths -1 (20), the empty value's digest.
        {"", "", "40",
         "3b 6f 73 74 72 65 6c 00 01 20 3b 2d 06 80 05 38 d3 94 c2 20 3b 2d 06 80 05 38 d3 94 c2 40"},
        // No change: the match of the whole old value in place of f6.
        {"abcdefgh", "abcdefgh", "f6",
         "3b 6f 73 74 72 65 6c 00 01 28 3b 6f 45 a7 68 42 a9 64 83 28 3b 6f 45 a7 68 42 a9 64 83 00 08"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(hex(checked(c.old_value, c.new_value, from_hex(c.plain_hex))), hex(from_hex(c.checked_hex)));
    }
    // Lengths take the shortest head: 9 bytes at the most, 45 in all.
    std::string big(70000, 'x');
    std::string record = checked(big, big + "y", "");
    EXPECT_EQ(record.size(), 9u + 5 + 9 + 5 + 9);
    EXPECT_EQ(hex(record.substr(9, 5)), "3a00011170");
    EXPECT_LE(record.size(), (size_t)DIFF_CHECK_RECORD_MAX);
}

// Every generator, random pairs: the lenient and the unchecked strict
// reader apply the checked delta exactly as the plain one, the checked
// reader verifies and builds the new value, and after the record come the
// plain delta's bytes.
TEST(DeltaCheck, RoundTripsAndOldReadersAgree) {
    PairMaker pairs(test_seed("DeltaCheck.RoundTripsAndOldReadersAgree"));
    for (int i = 0; i < 300; i++) {
        std::string o, n;
        pairs.pair(&o, &n);
        int generator = i % (DIFF_MATCH_MAX_LEVEL + 1);
        SCOPED_TRACE("pair " + std::to_string(i) + ", generator " + std::to_string(generator));
        std::string plain = plain_delta(o, n, generator), delta = checked(o, n, plain);
        buf ob = view(o), pb = view(plain), db = view(delta);
        diff_check_record record;
        size_t offset;
        ASSERT_EQ(diff_check_read(&db, &record, &offset), DIFF_APPLY_OK);
        ASSERT_GT(record.size, 0u);
        if (plain != "\xf6") {
            EXPECT_EQ(delta.substr(record.size), plain);
        }

        EXPECT_EQ(take(diff_apply_binary(&ob, &db)), plain == "\xf6" ? o : take(diff_apply_binary(&ob, &pb)));
        uint64_t length = 0;
        ASSERT_EQ(diff_apply_check(&ob, &db, UINT64_MAX, &length, &offset), DIFF_APPLY_OK);
        EXPECT_EQ(length, n.size());

        for (int mode : {DIFF_CHECK_WHEN_PRESENT, DIFF_CHECK_REQUIRED, DIFF_CHECK_SKIPPED}) {
            Outcome out = apply(o, delta, mode);
            EXPECT_EQ(out.code, DIFF_APPLY_OK) << "mode " << mode;
            EXPECT_TRUE(out.value == n) << "mode " << mode;
        }
    }
}

TEST(DeltaCheck, WrongBaseIsRefusedBeforeAnything) {
    std::string o = "The quick brown fox jumps over the lazy dog, again and again.";
    std::string n = "The quick red fox jumps over the lazy dog, again and again!";
    std::string delta = checked(o, n, plain_delta(o, n, 3));
    std::string changed = o, rotated = o.substr(1) + o[0];
    changed[20] ^= 1;
    for (const std::string &base : {changed, o.substr(1), o + ".", rotated, std::string()}) {
        FailAfter nothing(0);  // and no memory is taken
        Outcome out = apply(base, delta, DIFF_CHECK_WHEN_PRESENT);
        EXPECT_EQ(out.code, DIFF_APPLY_WRONG_OLD) << base;
        EXPECT_EQ(apply(base, delta, DIFF_CHECK_REQUIRED).code, DIFF_APPLY_WRONG_OLD) << base;
    }
    // Unchecked, the delta still applies to a base of the right length.
    EXPECT_EQ(apply(changed, delta, DIFF_CHECK_SKIPPED).code, DIFF_APPLY_OK);
}

TEST(DeltaCheck, Refusals) {
    std::string o = "abcdefgh", n = "abcXYdefgh";
    std::string record = from_hex(worked_record), body = from_hex("00 03 42 58 59 03 05");
    std::string delta = record + body;
    std::string bad_digest = delta;
    bad_digest[record.size() - 1] ^= 0x40;  // the new value's digest
    std::string longer = delta;
    longer[19] = 0x2b;  // states 11 bytes
    std::string two_record = delta;
    two_record[8] = 2;
    std::string wide_length = record.substr(0, 9) + from_hex("38 08") + record.substr(10) + body;
    struct {
        std::string delta;
        int mode;
        uint64_t max_length;
        int code;
        size_t offset;
    } cases[] = {
        {body, DIFF_CHECK_REQUIRED, UINT64_MAX, DIFF_APPLY_NO_RECORD, 0},
        {"", DIFF_CHECK_REQUIRED, UINT64_MAX, DIFF_APPLY_NO_RECORD, 0},
        {delta, DIFF_CHECK_REQUIRED, 9, DIFF_APPLY_TOO_LONG, 0},  // the stated length, at once
        {record + "\x43", DIFF_CHECK_REQUIRED, 9, DIFF_APPLY_TOO_LONG, 0},
        {record + "\x43", DIFF_CHECK_REQUIRED, UINT64_MAX, DIFF_APPLY_CUT_SHORT, 29},
        {record + body.substr(0, 2), DIFF_CHECK_REQUIRED, UINT64_MAX, DIFF_APPLY_WRONG_RESULT, 0},
        {longer, DIFF_CHECK_WHEN_PRESENT, UINT64_MAX, DIFF_APPLY_WRONG_RESULT, 0},
        {bad_digest, DIFF_CHECK_WHEN_PRESENT, UINT64_MAX, DIFF_APPLY_WRONG_RESULT, 0},
        {two_record, DIFF_CHECK_SKIPPED, UINT64_MAX, DIFF_APPLY_RECORD_VERSION, 0},
        {wide_length, DIFF_CHECK_SKIPPED, UINT64_MAX, DIFF_APPLY_BAD_RECORD, 9},  // not the shortest head
        {record.substr(0, 10) + "\x3a" + record.substr(11), DIFF_CHECK_SKIPPED, UINT64_MAX, DIFF_APPLY_BAD_RECORD,
         10},                                                               // a digest head other than 3b
        {"\x40" + delta.substr(1), DIFF_CHECK_SKIPPED, UINT64_MAX, DIFF_APPLY_BAD_RECORD, 0},  // the marker's name
        {from_hex("20 43 78 79 7a"), DIFF_CHECK_SKIPPED, UINT64_MAX, DIFF_APPLY_BAD_RECORD, 0},
        {from_hex("3f"), DIFF_CHECK_WHEN_PRESENT, UINT64_MAX, DIFF_APPLY_BAD_RECORD, 0},
    };
    for (auto &c : cases) {
        Outcome out = apply(o, c.delta, c.mode, c.max_length);
        EXPECT_EQ(out.code, c.code) << hex(c.delta);
        EXPECT_EQ(out.offset, c.offset) << hex(c.delta);
    }
    // A record cut anywhere is refused at the item cut short or missing.
    const size_t item_at[] = {0, 9, 10, 19, 20};
    for (size_t cut = 1; cut < record.size(); cut++) {
        Outcome out = apply(o, delta.substr(0, cut), DIFF_CHECK_SKIPPED);
        size_t expected = 0;
        for (size_t at : item_at)
            if (at <= cut) expected = at;
        EXPECT_EQ(out.code, DIFF_APPLY_BAD_RECORD) << cut;
        EXPECT_EQ(out.offset, expected) << cut;
    }
    // Plain deltas read as before when no record is required, f6 included;
    // after a record, f6 is the old value too.
    EXPECT_EQ(apply(o, body, DIFF_CHECK_WHEN_PRESENT).value, n);
    EXPECT_EQ(apply(o, "\xf6", DIFF_CHECK_WHEN_PRESENT).value, o);
    std::string same = checked(o, o, "\xf6");
    EXPECT_EQ(apply(o, same.substr(0, 29) + "\xf6", DIFF_CHECK_REQUIRED).value, o);
}

// Bit flips, changed bytes and cuts of checked deltas: verified
// application never returns bytes other than the new value.
TEST(DeltaCheck, CorruptionNeverGivesAWrongValue) {
    PairMaker pairs(test_seed("DeltaCheck.CorruptionNeverGivesAWrongValue"));
    int refused = 0, wrong_by_default = 0;
    for (int i = 0; i < 400; i++) {
        std::string o, n;
        pairs.pair(&o, &n);
        std::string delta = checked(o, n, plain_delta(o, n, 1 + i % DIFF_MATCH_MAX_LEVEL));
        std::string bad = delta;
        size_t at = pairs.below(delta.size());
        switch (i % 3) {
        case 0:
            bad[at] ^= (char)(1 << pairs.below(8));
            break;
        case 1:
            bad[at] = (char)(bad[at] + 1 + pairs.below(255));
            break;
        default:
            bad.resize(at);
        }
        SCOPED_TRACE("pair " + std::to_string(i) + ": " + hex(bad));
        Outcome strict = apply(o, bad, DIFF_CHECK_REQUIRED);
        EXPECT_TRUE(strict.code != DIFF_APPLY_OK || strict.value == n);
        refused += strict.code != DIFF_APPLY_OK;
        Outcome lenient = apply(o, bad, DIFF_CHECK_WHEN_PRESENT);
        wrong_by_default += lenient.code == DIFF_APPLY_OK && lenient.value != n && !bad.empty();
    }
    EXPECT_EQ(wrong_by_default, 0);  // but a delta cut to nothing is the empty delta
    EXPECT_GT(refused, 300);
}

TEST(DeltaCheck, PrependUnderAllocationFailure) {
    std::string o(5000, 'a'), n = o + "b";
    std::string plain = plain_delta(o, n, 3), whole = checked(o, n, plain);
    buf ob = view(o), nb = view(n), pb = view(plain);
    for (long k = 0; k < 4; k++) {
        buf *copy = buf_dup(&pb);
        std::string out;
        {
            FailAfter fail(k);
            out = take(diff_check_prepend(&ob, &nb, copy));
        }
        EXPECT_TRUE(out == "null" || out == whole) << k;
    }
    EXPECT_EQ(diff_check_prepend(&ob, &nb, nullptr), nullptr);
    EXPECT_EQ(diff_check_prepend(nullptr, &nb, buf_dup(&pb)), nullptr);  // and freed
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "delta_apply.h"
#include "edit_script.h"
#include "fault_injection.h"
#include "test_seed.h"

namespace {

std::string to_hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string strip(const std::string &hex) {
    std::string out;
    for (char c : hex)
        if (c != ' ') out += c;
    return out;
}

buf view(const std::string &s) { return buf{const_cast<char *>(s.data()), s.size(), s.size()}; }

std::string output_of(const edit_script *s) {
    return std::string(s->output->data ? s->output->data : "", s->output->len);
}

// Operations as text: "m OFFSET,LENGTH", "i START,LENGTH", "d"; a leading
// '!' marks an operation expected to fail (the last one run).
struct Op {
    char kind;
    int32_t a = 0, b = 0;
    bool ok = true;
};

std::vector<Op> parse_ops(const std::string &text) {
    std::vector<Op> ops;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        Op op;
        size_t at = 0;
        if (word[0] == '!') {
            op.ok = false;
            at = 1;
        }
        op.kind = word[at];
        if (op.kind != 'd') sscanf(word.c_str() + at + 1, "%d,%d", &op.a, &op.b);
        ops.push_back(op);
    }
    return ops;
}

// The new value the edit-script tables insert from.
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string bytes_at(int start, int length) { return to_hex(kAlphabet.substr(start, length)); }

struct EditCase {
    const char *ops;
    std::string expected_hex;
    bool close_ok = true;
};

TEST(EditScript, FoldsAndItems) {
    const EditCase cases[] = {
        // A short match between two inserts joins them (2 + 0 <= 1 + 1) ...
        {"i0,4 m10,2 i6,4", "4a" + bytes_at(0, 10)},
        // ... a longer one does not (3 > 2).
        {"i0,4 m10,3 i7,4", "44" + bytes_at(0, 4) + "0a03" + "44" + bytes_at(7, 4)},
        // 24 bytes or more never fold, even at a 5-byte offset.
        {"i0,4 m70000,24 i28,4", "44" + bytes_at(0, 4) + "1a00011170 1818" + "44" + bytes_at(28, 4)},
        // A 5-byte offset makes a match cost 6: lengths up to 6 fold ...
        {"i0,4 m70000,6", "4a" + bytes_at(0, 10)},
        {"i0,4 m70000,7", "44" + bytes_at(0, 4) + "1a00011170 07"},
        // ... less when the insert's head grows (20 + 6 needs 2 bytes).
        {"i0,20 m70000,5", "5819" + bytes_at(0, 25)},
        {"i0,20 m70000,6", "54" + bytes_at(0, 20) + "1a00011170 06"},
        // A pending match folds into the insert that follows it.
        {"m5,2 i10,3", "45" + bytes_at(8, 5)},
        {"m5,3 i10,3", "0503" + std::string("43") + bytes_at(10, 3)},
        {"m5,2 i10,22", "0502" + std::string("56") + bytes_at(10, 22)},  // 2 + 2 - 1 > 2
        {"m300,2 i10,22", "5818" + bytes_at(8, 24)},                    // 3 <= 3 + 1
        {"i0,2 m5,3 i5,2", "42" + bytes_at(0, 2) + "0503" + "42" + bytes_at(5, 2)},
        // Not folded when the match arrives (2 + 2 - 1 > 2), folded with the
        // next insert (2 + 0 <= 2): insert, match and insert in one string.
        {"i0,23 m5,2 i25,1", "581a" + bytes_at(0, 26)},
        {"i0,3 i3,4", "47" + bytes_at(0, 7)},
        {"m5,2 m9,3", "0502 0903"},
        // Head sizes at each width boundary.
        {"m23,24 m255,256 m65535,65536", "171818 18ff190100 19ffff1a00010000"},
        // The budget is the new value's 64 bytes; a write must leave some.
        {"i0,61", "583d" + bytes_at(0, 61)},
        {"i0,62", "", false},
        {"m0,63 i63,1", "00183f 41" + bytes_at(63, 1)},
    };
    buf new_value = view(kAlphabet);
    for (const EditCase &c : cases) {
        SCOPED_TRACE(c.ops);
        edit_script *s = edit_script_create(&new_value, &new_value);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->budget, 64);
        for (const Op &op : parse_ops(c.ops))
            ASSERT_TRUE(op.kind == 'm' ? edit_script_match(s, op.a, op.b) : edit_script_insert(s, op.a, op.b));
        ASSERT_EQ(edit_script_close(s), c.close_ok);
        if (c.close_ok) {
            EXPECT_EQ(to_hex(output_of(s)), strip(c.expected_hex));
            // What was charged is exactly what was written.
            EXPECT_EQ(size_t(s->budget), 64 - s->output->len);
        }
        edit_script_free(s);
    }
}

TEST(EditScript, ExhaustedBudgetKeepsOperationsPending) {
    buf new_value = view(kAlphabet);
    edit_script *s = edit_script_create(&new_value, &new_value);
    ASSERT_NE(s, nullptr);
    // Insert written (cost 3), then the match (cost 2) finds no budget left.
    ASSERT_TRUE(edit_script_insert(s, 0, 2));
    ASSERT_TRUE(edit_script_match(s, 5, 3));
    s->budget = 4;
    EXPECT_FALSE(edit_script_close(s));
    EXPECT_EQ(to_hex(output_of(s)), "42" + bytes_at(0, 2));
    EXPECT_EQ(s->budget, -1);
    EXPECT_EQ(s->insert_start, -1);
    EXPECT_EQ(s->match_offset, 5);
    EXPECT_EQ(s->match_length, 3);
    edit_script_free(s);

    // A match that must be written before the next insert.
    s = edit_script_create(&new_value, &new_value);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(edit_script_match(s, 5, 3));
    s->budget = 2;
    EXPECT_FALSE(edit_script_insert(s, 10, 3));
    EXPECT_EQ(s->output->len, 0u);
    EXPECT_EQ(s->budget, 0);
    EXPECT_EQ(s->match_offset, 5);
    EXPECT_EQ(s->insert_start, -1);
    edit_script_free(s);

    // A pending insert that does not fit.
    std::string five = "ABCDE";
    buf small = view(five);
    s = edit_script_create(&small, &small);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(edit_script_insert(s, 0, 4));
    EXPECT_FALSE(edit_script_close(s));
    EXPECT_EQ(s->budget, 0);
    EXPECT_EQ(s->insert_start, 0);
    EXPECT_EQ(s->insert_length, 4);
    edit_script_free(s);
}

TEST(EditScript, InsertOutsideTheNewValueFails) {
    buf new_value = view(kAlphabet);
    const int32_t ranges[][2] = {{60, 5}, {-2, 3}, {65, 0}, {64, 1}};
    for (const auto &r : ranges) {
        edit_script *s = edit_script_create(&new_value, &new_value);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(edit_script_insert(s, r[0], r[1]));
        EXPECT_FALSE(edit_script_close(s)) << r[0] << "," << r[1];
        EXPECT_EQ(s->output->len, 0u);
        edit_script_free(s);
    }
}

TEST(EditScript, CreateRefuses) {
    buf v = view(kAlphabet);
    EXPECT_EQ(edit_script_create(nullptr, &v), nullptr);
    EXPECT_EQ(edit_script_create(&v, nullptr), nullptr);
    buf huge = {v.data, size_t(INT32_MAX) + 1, size_t(INT32_MAX) + 1};
    EXPECT_EQ(edit_script_create(&v, &huge), nullptr);
    edit_script_free(nullptr);
}

struct CoalescingCase {
    const char *old_value;
    const char *new_value;
    int32_t old_base, new_base;
    const char *ops;
    int code;  // -1: an operation fails, close is not reached
    const char *expected_hex;
    int32_t budget = -1;  // overrides the new value's length when set
};

std::string run_coalescing(const CoalescingCase &c, int *code) {
    std::string old_value = c.old_value, new_value = c.new_value;
    buf o = view(old_value), n = view(new_value);
    edit_script *s = edit_script_create(&o, &n);
    if (!s) {
        *code = -2;
        return "";
    }
    if (c.budget >= 0) s->budget = c.budget;
    coallescing_script cs = {s, c.old_base, c.new_base, COALLESCING_NONE, 0, 0, true};
    *code = -1;
    bool failed = false;
    for (const Op &op : parse_ops(c.ops)) {
        bool ok = op.kind == 'm'   ? coallescing_script_match(&cs, op.a, op.b)
                  : op.kind == 'i' ? coallescing_script_insert(&cs, op.a, op.b)
                                   : coallescing_script_delete(&cs);
        EXPECT_EQ(ok, op.ok) << op.kind << op.a << "," << op.b;
        if (!ok) {
            failed = true;
            break;
        }
    }
    if (!failed)
        *code = coallescing_script_close(&cs, int32_t(old_value.size()) - c.old_base,
                                         int32_t(new_value.size()) - c.new_base);
    std::string out = to_hex(output_of(s));
    edit_script_free(s);
    return out;
}

TEST(CoalescingScript, Runs) {
    const std::string long_old(100, 'o'), long_new(100, 'n');
    const CoalescingCase cases[] = {
        {"abcdefgh", "abcXYdefgh", 0, 0, "m0,3 i3,2 m3,5", DELTA_ORDINARY, "00034258590305"},
        {"abcdefgh", "abc", 0, 0, "m0,3 d", DELTA_ORDINARY, "0003"},
        {"abcdefgh", "abc", 0, 0, "m0,3", DELTA_ORDINARY, "0003"},
        {"abcdefgh", "cde", 0, 0, "d m2,3 d", DELTA_ORDINARY, "0203"},
        {"abcdefghij", "abcdefgh", 0, 0, "m0,8 d", DELTA_ORDINARY, "0008"},  // written once
        {"abcdefgh", "abcdefgh", 0, 0, "m0,8", DELTA_NO_CHANGE, ""},
        {"abcdefgh", "abcdefgh", 0, 0, "m0,0 i0,0 i0,-1 m0,8 m8,0", DELTA_NO_CHANGE, ""},
        {"", "", 0, 0, "", DELTA_NO_CHANGE, ""},
        {"abc", "xyz", 0, 0, "d i0,3", DELTA_REPLACEMENT, ""},
        {"abc", "xyz", 0, 0, "i0,3 d", DELTA_REPLACEMENT, ""},
        {"abc", "", 0, 0, "d", DELTA_ORDINARY, ""},
        // An insert run stays open across a delete.
        {"abcdefgh", "abcXYZWdefgh", 0, 0, "m0,3 i3,2 d i5,2 m3,5", DELTA_ORDINARY, "0003 4458595a57 0305"},
        // Folded into one 2-byte insert, which costs 3 of a budget of 2.
        {"a", "Xa", 0, 0, "i0,1 m0,1", DELTA_REPLACEMENT, ""},
        {"abcdef", "XYabZW", 0, 0, "i0,2 m0,2 i4,2", DELTA_REPLACEMENT, ""},
        // Ranges that do not start at 0: match offsets count from old_base,
        // inserted bytes come from the new value at new_base + run.
        {"0123abcdefgh", "zzabcXYdefgh", 4, 2, "m4,3 i5,2 m7,5", DELTA_ORDINARY, "00034258590305"},
        {"..abc", "zzabcXY", 2, 2, "m2,3 i5,2", DELTA_ORDINARY, "0003 425859"},
        {"..abc", "zzXYabc", 2, 2, "i2,2 m2,3", DELTA_ORDINARY, "425859 0003"},
        {"xxabcd", "abcd", 2, 0, "m2,4", DELTA_NO_CHANGE, ""},
        // Failures of the edit script reach the caller.
        {long_old.c_str(), long_new.c_str(), 0, 0, "m0,30 i30,2 !m40,30", -1, "", 3},
        {long_old.c_str(), long_new.c_str(), 0, 0, "m0,30 d m40,30 !d", -1, "", 3},
        {long_old.c_str(), long_new.c_str(), 0, 0, "m0,30 d m40,30 !i70,2", -1, "", 3},
    };
    for (const CoalescingCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.old_value << " -> " << c.new_value << ": " << c.ops);
        int code;
        std::string out = run_coalescing(c, &code);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(out, strip(c.expected_hex));
    }
}

TEST(CoalescingScript, AllocationFailures) {
    const CoalescingCase c = {"0123abcdefgh", "zzabcXYdefgh", 4, 2, "m4,3 i5,2 m7,5", DELTA_ORDINARY, ""};
    sweep_allocation_failures([&](long n) {
        std::string old_value = c.old_value, new_value = c.new_value;
        buf o = view(old_value), nv = view(new_value);
        FailAfter fail(n);
        edit_script *s = edit_script_create(&o, &nv);
        if (!s) return false;
        coallescing_script cs = {s, c.old_base, c.new_base, COALLESCING_NONE, 0, 0, true};
        bool ok = coallescing_script_match(&cs, 4, 3) && coallescing_script_insert(&cs, 5, 2) &&
                  coallescing_script_match(&cs, 7, 5);
        int code = ok ? coallescing_script_close(&cs, 8, 10) : DELTA_REPLACEMENT;
        // An ordinary delta is never reported unless it is whole.
        if (code == DELTA_ORDINARY) {
            EXPECT_EQ(to_hex(output_of(s)), "00034258590305") << n;
        }
        edit_script_free(s);
        return code == DELTA_ORDINARY;
    });
}

// Random edits of a random old range into a new range, fed as operations
// in new-value order: every ordinary delta applies back to the new range.
// Back-to-back matches are one run, as the search reports them, so a match
// that does not continue the previous one follows a delete.
TEST(CoalescingScript, RandomEditsApplyBack) {
    unsigned seed = test_seed("RandomEditsApplyBack");
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto below = [&](size_t n) { return int32_t(rng() % n); };
    auto random_bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char &ch : s) ch = char('a' + rng() % 4);
        return s;
    };
    int ordinary = 0;
    for (int round = 0; round < 2000; round++) {
        int32_t old_base = below(2) ? 0 : below(10), new_base = below(2) ? 0 : below(10);
        std::string old_value = random_bytes(size_t(old_base)) + random_bytes(size_t(below(300)));
        std::string new_value = random_bytes(size_t(new_base));
        int32_t old_length = int32_t(old_value.size()) - old_base;
        std::string new_range;
        std::vector<Op> ops;
        for (int segments = below(12); segments > 0; segments--) {
            int choice = below(3);
            if (choice == 0 && old_length > 0) {
                int32_t offset = below(size_t(old_length));
                int32_t length = 1 + below(size_t(std::min(40, old_length - offset)));
                if (!ops.empty() && ops.back().kind == 'm') ops.push_back({'d'});
                ops.push_back({'m', old_base + offset, length});
                new_range += old_value.substr(size_t(old_base + offset), size_t(length));
            } else if (choice == 1) {
                int32_t length = 1 + below(40);
                ops.push_back({'i', new_base + int32_t(new_range.size()), length});
                new_range += random_bytes(size_t(length));
            } else {
                ops.push_back({'d'});
            }
        }
        new_value += new_range;
        buf o = view(old_value), n = view(new_value);
        edit_script *s = edit_script_create(&o, &n);
        ASSERT_NE(s, nullptr);
        coallescing_script cs = {s, old_base, new_base, COALLESCING_NONE, 0, 0, true};
        bool ok = true;
        for (const Op &op : ops) {
            ok = op.kind == 'm'   ? coallescing_script_match(&cs, op.a, op.b)
                 : op.kind == 'i' ? coallescing_script_insert(&cs, op.a, op.b)
                                  : coallescing_script_delete(&cs);
            if (!ok) break;
        }
        int code = ok ? coallescing_script_close(&cs, old_length, int32_t(new_range.size())) : DELTA_REPLACEMENT;
        std::string old_range = old_value.substr(size_t(old_base));
        if (code == DELTA_NO_CHANGE) {
            EXPECT_EQ(new_range, old_range) << "round " << round;
        } else if (code == DELTA_ORDINARY) {
            ordinary++;
            if (!new_value.empty()) {
                EXPECT_LT(s->output->len, new_value.size()) << "round " << round;
            }
            buf range = view(old_range);
            buf *rebuilt = diff_apply_binary(&range, s->output);
            ASSERT_NE(rebuilt, nullptr) << "round " << round;
            EXPECT_EQ(std::string(rebuilt->data ? rebuilt->data : "", rebuilt->len), new_range)
                << "round " << round;
            buf_free(rebuilt);
        }
        edit_script_free(s);
    }
    EXPECT_GT(ordinary, 500);
}

}  // namespace

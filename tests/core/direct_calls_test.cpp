// Exported functions called directly, the way other native code may call
// them: the search steps over ranges that leave the values, with negative
// or extreme positions, and with a budget that runs out; an insert that
// names bytes past the new value; cursor reads that skip their item. No
// call may read outside the values (the sanitizer build shows it).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "buf.h"
#include "delta_cases.h"
#include "edit_script.h"
#include "list.h"
#include "myers.h"

namespace {

const std::string kOld = "abcdefgh", kNew = "abXcdYefgh";

// One execution over two values with its scripts.
struct Engine {
    explicit Engine(const std::string &old_value = kOld, const std::string &new_value = kNew)
        : o(view(old_value)), nv(view(new_value)) {}
    buf o, nv;
    edit_script *script = edit_script_create(&o, &nv);
    coallescing_script coalescing = {script, 0, 0, COALLESCING_NONE, 0, 0, true};
    execution *e = execution_create(&o, &nv, &coalescing, 2147483647u, 8);
    ~Engine() {
        execution_free(e);
        edit_script_free(script);
    }
};

struct Range {
    int32_t x0, n, y0, m;
};

using Step = bool (*)(execution *, Range);
const struct {
    const char *name;
    Step run;
} kSteps[] = {
    {"diff", [](execution *e, Range r) { return execution_diff(e, r.x0, r.n, r.y0, r.m, 0); }},
    {"trim_prefix_and_suffix",
     [](execution *e, Range r) { return execution_trim_prefix_and_suffix(e, r.x0, r.n, r.y0, r.m); }},
    {"middlesnake", [](execution *e, Range r) { return execution_middlesnake(e, r.x0, r.n, r.y0, r.m, 8); }},
    // A snake inside the range, on diagonal 0.
    {"recurse",
     [](execution *e, Range r) {
         int32_t shorter = std::min(r.n, r.m);
         return execution_recurse(e, r.x0, r.n, r.y0, r.m, std::min(1, shorter), std::min(2, shorter), 0);
     }},
    {"bounded_diff", [](execution *e, Range r) { return execution_bounded_diff(e, r.x0, r.n, r.y0, r.m, 8, 10, 4); }},
    {"bounded_diff_no_limit",
     [](execution *e, Range r) { return execution_bounded_diff(e, r.x0, r.n, r.y0, r.m, 8, 10, 0); }},
};

TEST(DirectCalls, SearchStepsStayInsideTheValues) {
    const Range ranges[] = {
        {4, 50, 6, 60},                                  // past both ends
        {0, 8, 5, 40},                                   // the new range runs past its value
        {-3, 5, -2, 4},                                  // starting before the values
        {8, 0, 10, 0},                                   // empty, at the ends
        {INT32_MAX - 8, 8, INT32_MAX - 10, 10},          // far beyond, without overflow
        {-40, 30, 2, 12},
    };
    for (const auto &step : kSteps) {
        for (const Range &r : ranges) {
            SCOPED_TRACE(testing::Message() << step.name << " over (" << r.x0 << ", " << r.n << ", " << r.y0 << ", "
                                            << r.m << ")");
            Engine s;
            ASSERT_NE(s.e, nullptr);
            step.run(s.e, r);
            coallescing_script_close(&s.coalescing, r.n, r.m);
        }
    }
}

// A budget of one byte refuses the first item written, which every step
// reaches here (a match of 30 bytes cannot fold into the insert after
// it): each passes the refusal up as false.
TEST(DirectCalls, SearchStepsReportAnExhaustedBudget) {
    const std::string old_value = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const std::string new_value = old_value.substr(0, 30) + "XY" + old_value.substr(30);
    for (const auto &step : kSteps) {
        SCOPED_TRACE(step.name);
        Engine s(old_value, new_value);
        ASSERT_NE(s.e, nullptr);
        s.script->budget = 1;
        EXPECT_FALSE(step.run(s.e, {0, 40, 0, 42}));
    }
}

TEST(DirectCalls, InsertPastTheNewValueIsNotWritten) {
    Engine s;
    ASSERT_TRUE(edit_script_insert(s.script, 8, 5));  // bytes 8 to 12 of a 10-byte value
    EXPECT_FALSE(edit_script_close(s.script));
    EXPECT_EQ(s.script->output->len, 0u);
}

// The most negative head costs 9 bytes: with the 10-byte budget, a match
// (INT32_MIN, 1) takes it all and is refused.
TEST(DirectCalls, MostNegativeOffsetCostsNineBytes) {
    Engine s;
    ASSERT_TRUE(edit_script_match(s.script, INT32_MIN, 1));
    EXPECT_FALSE(edit_script_close(s.script));
    EXPECT_EQ(s.script->budget, 0);
}

// With no output given, each cursor read consumes its item and stores
// nothing, so reads chain.
TEST(DirectCalls, CursorReadsSkipWithoutOutput) {
    using Read = const char *(*)(const char *);
    const struct {
        const char *name;
        std::string input;
        Read read;
        size_t consumed;
    } cases[] = {
        {"byte", "\x05", [](const char *c) { return buf_read_byte(c, nullptr); }, 1},
        {"uint32", std::string("\0\0\1\2", 4), [](const char *c) { return buf_read_uint32(c, nullptr); }, 4},
        {"uint64", std::string(8, '\x7f'), [](const char *c) { return buf_read_uint64(c, nullptr); }, 8},
        {"uint32_enc", "\x80\x01", [](const char *c) { return buf_read_uint32_enc(c, nullptr); }, 2},
        {"uint64_enc", std::string(9, '\xff') + "\x01", [](const char *c) { return buf_read_uint64_enc(c, nullptr); },
         10},
        {"float", "\xff\xff\xff\xff\x0f", [](const char *c) { return buf_read_float(c, nullptr); }, 5},
        {"string", "\x03" "abc", [](const char *c) { return buf_read_string_length_enc(c, nullptr, nullptr); }, 4},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.read(c.input.data()), c.input.data() + c.consumed) << c.name;
        EXPECT_EQ(c.read(nullptr), nullptr) << c.name;
    }
    // A varint over its limit fails also when skipped.
    std::string too_long(5, '\x80');
    EXPECT_EQ(buf_read_uint32_enc(too_long.data(), nullptr), nullptr);
}

TEST(DirectCalls, LastItemOfEmptyOrNullList) {
    list *l = list_create();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(list_get_data_last(l), nullptr);
    EXPECT_EQ(list_get_data_last(nullptr), nullptr);
    list_free(l, nullptr);
}

}  // namespace

namespace {

// Negative lengths given straight to the exported steps are refused at
// once instead of being searched for ever.
TEST(DirectCalls, NegativeLengthsAreRefused)
{
    const struct {
        const char *name;
        bool (*run)(execution *);
    } cases[] = {
        {"diff", [](execution *e) { return execution_diff(e, 0, -4, 0, -6, 0); }},
        {"recurse", [](execution *e) { return execution_recurse(e, -3, 5, -2, 4, 2, 4, 1); }},
        {"bail", [](execution *e) { return execution_bail(e, 0, 8, 0, 10, 1, 1, 4); }},
        {"middlesnake", [](execution *e) { return execution_middlesnake(e, 0, -1, 0, 3, 8); }},
        {"bounded_diff", [](execution *e) { return execution_bounded_diff(e, 0, 3, 0, -2, 8, 8, 4); }},
        {"trim_prefix_and_suffix", [](execution *e) { return execution_trim_prefix_and_suffix(e, 0, -1, 0, -1); }},
    };
    for (const auto &c : cases) {
        Engine engine;
        EXPECT_FALSE(c.run(engine.e)) << c.name;
    }
}

}  // namespace

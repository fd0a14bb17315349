// The driver's shortcut for unrelated values: when no ordinary delta can
// be shorter than the new value, the replacement delta is sent without a
// search. Every case here is diffed with and without the shortcut, and the
// two deltas must be the same bytes.
#include <gtest/gtest.h>
#include <stdint.h>

#include <random>
#include <string>

#include "delta_cases.h"
#include "delta_generate.h"
#include "delta_generate_internal.h"
#include "fault_injection.h"

namespace {

std::string take(buf *b) {
    std::string out = b ? contents(b) : "null";
    buf_free(b);
    return out;
}

bool unrelated(const std::string &o, const std::string &n) {
    buf ob = view(o), nb = view(n);
    return diff_values_unrelated(&ob, &nb);
}

std::string diff(const std::string &o, const std::string &n, bool shortcut, int32_t search_limit) {
    buf ob = view(o), nb = view(n);
    _diff_use_unrelated_shortcut(shortcut);
    std::string delta = take(diff_generate_binary_ex(&ob, &nb, DIFF_DEFAULT_STORAGE_LIMIT, search_limit));
    _diff_use_unrelated_shortcut(true);
    return delta;
}

std::string replacement(const std::string &n) {
    buf nb = view(n);
    return take(_write_replacement_delta(&nb));
}

// Whether the proof accepted the pair. An accepted pair must get the same
// delta from the search, and that delta is the replacement delta. (For a
// pair the proof refuses, the driver runs the same search either way.)
bool check_pair(const std::string &o, const std::string &n, int32_t search_limit = DIFF_DEFAULT_SEARCH_LIMIT) {
    const bool accepted = unrelated(o, n);
    if (accepted) {
        const std::string searched = diff(o, n, false, search_limit);
        EXPECT_EQ(diff(o, n, true, search_limit), searched) << "old " << o.size() << " bytes, new " << n.size();
        EXPECT_EQ(searched, replacement(n)) << "accepted, yet the search found a shorter delta";
    }
    return accepted;
}

struct Random {
    explicit Random(uint32_t seed) : rng(seed) {}
    std::string bytes(size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = (char)rng();
        return s;
    }
    std::mt19937 rng;
};

TEST(UnrelatedValues, RandomPairsGiveTheSameDeltaWithAndWithoutTheShortcut) {
    const uint32_t seed = test_seed(20240611);
    printf("seed %u (OSTREL_TEST_SEED)\n", seed);
    Random r(seed);
    const size_t sizes[][2] = {{65536, 65536}, {65536, 300000}, {200000, 70000}, {480000, 510000}, {2u << 20, 2u << 20}};
    int accepted = 0;
    for (const auto &size : sizes) {
        std::string o = r.bytes(size[0]), n = r.bytes(size[1]);
        accepted += check_pair(o, n);
    }
    // Random bytes almost never defeat the bound.
    EXPECT_GE(accepted, 4);
}

// Values the probe takes for unrelated but whose runs a delta can use: the
// proof must give up and leave them to the search.
TEST(UnrelatedValues, SharedRunsDefeatTheProof) {
    Random r(5);
    const std::string o = r.bytes(131072);
    struct Case {
        const char *what;
        std::string new_value;
    } cases[] = {
        {"halves swapped", o.substr(65536) + o.substr(0, 65536)},
        {"a block of old far from its place", r.bytes(60000) + o.substr(120000, 1000) + r.bytes(70000)},
        {"a common prefix of 5 bytes", o.substr(0, 5) + r.bytes(100000)},
        {"a common suffix of 9 bytes", r.bytes(100000) + o.substr(o.size() - 9)},
        {"9 bytes of old beyond 65536 in the middle", r.bytes(50000) + o.substr(90000, 9) + r.bytes(50000)},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(unrelated(o, c.new_value)) << c.what;
    }
}

TEST(UnrelatedValues, SmallOrLargeValuesAreLeftToTheSearch) {
    Random r(9);
    EXPECT_FALSE(unrelated(r.bytes(1023), r.bytes(200000)));
    EXPECT_FALSE(unrelated(r.bytes(200000), r.bytes(1023)));
    EXPECT_TRUE(check_pair(r.bytes(1024), r.bytes(1024)));
    EXPECT_TRUE(check_pair(r.bytes(3000), r.bytes(70000)));
    EXPECT_FALSE(unrelated(r.bytes((4u << 20) + 1), r.bytes(65536)));
}

// Unrelated values with one planted common run of the length at which a
// match starts to pay for its head, at each offset class (2 bytes below
// old offset 24, 3 below 256, 4 below 65536, 6 beyond; one byte more is a
// match that gains a byte), at the start, middle and end of new. A match
// gaining g bytes lowers the bound by g from where it starts: 0 at the
// start of new, 1 elsewhere; the bound holds while it stays >= 0 at the end
// and never reaches -2. (The middle avoids the probe's sample positions;
// a lower search limit keeps the 54 searches short.)
TEST(UnrelatedValues, PlantedRunsAroundTheBreakEven) {
    const size_t size = 98304;
    struct Run {
        uint32_t offset, length;
        int gain;  // bytes the match saves over its own cost
    } runs[] = {
        {0, 2, 0},     {5, 2, 0},     {23, 2, 0},     {23, 3, 1},     {24, 3, 0},     {255, 3, 0},
        {24, 4, 1},    {256, 4, 0},   {65535, 4, 0},  {300, 5, 1},    {65536, 6, 0},  {size - 6, 6, 0},
        {70000, 7, 1}, {70000, 8, 2}, {65535, 5, 1},  {65536, 5, -1}, {23, 4, 2},     {40000, 6, 2},
    };
    enum Place { kStart, kMiddle, kEnd };
    const char *place_names[] = {"start", "middle", "end"};
    for (const Run &run : runs) {
        for (int place = kStart; place <= kEnd; place++) {
            Random r(run.offset * 31 + run.length * 7 + (uint32_t)place);
            std::string o = r.bytes(size), n = r.bytes(size);
            size_t p = place == kStart ? 0 : place == kMiddle ? size / 2 + 1000 : size - run.length;
            n.replace(p, run.length, o, run.offset, run.length);
            // Keep the run exactly as long as planted.
            if (p > 0 && run.offset > 0 && n[p - 1] == o[run.offset - 1]) n[p - 1] ^= 1;
            if (p + run.length < size && run.offset + run.length < size &&
                n[p + run.length] == o[run.offset + run.length])
                n[p + run.length] ^= 1;
            // The prefix rule: no other accidental common start.
            if (place != kStart && n[0] == o[0]) n[0] ^= 1;

            const bool accepted = check_pair(o, n, 256);
            const int start = place == kStart ? 0 : 1;  // the bound where the run begins
            const int low = start - run.gain;           // the bound where it ends
            const bool expected = low > -2 && (place != kEnd || low >= 0);
            printf("run of %u bytes from old offset %u at the %s of new: %s\n", run.length, run.offset,
                   place_names[place], accepted ? "proof holds" : "searched");
            EXPECT_EQ(accepted, expected) << run.length << " bytes from " << run.offset << " at the "
                                          << place_names[place];
        }
    }
}

// Under allocation failure the proof gives up (the driver then searches);
// it never claims more than it showed.
TEST(UnrelatedValues, AllocationFailureGivesUp) {
    Random r(3);
    const std::string o = r.bytes(100000), n = r.bytes(120000);
    ASSERT_TRUE(unrelated(o, n));
    long needed = sweep_allocation_failures([&](long fail_after) {
        FailAfter fail(fail_after);
        return unrelated(o, n);
    });
    EXPECT_GE(needed, 5);
}

}  // namespace

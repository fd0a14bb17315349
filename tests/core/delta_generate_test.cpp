#include "delta_generate.h"

#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/time.h>

#include <set>
#include <string>

#include "activity_history.h"
#include "delta_apply.h"
#include "delta_cases.h"
#include "edit_script.h"
#include "fault_injection.h"
#include "myers.h"

namespace {

// Takes ownership of a result buffer; "null" stands for a NULL result.
std::string take(buf *b) {
    if (!b) return "null";
    std::string s = hex(contents(b));
    buf_free(b);
    return s;
}

std::string generate(const std::string &o, const std::string &n, uint32_t storage_limit = 2147483647u,
                     int32_t search_limit = 10000) {
    buf ob = view(o), nb = view(n);
    return take(diff_generate_binary_ex(&ob, &nb, storage_limit, search_limit));
}

std::string replacement(const std::string &n) {
    buf nb = view(n);
    return take(_write_replacement_delta(&nb));
}

// What a receiver does with a delta: f6 keeps the old value, anything else
// is applied to it.
std::string receive(const std::string &o, const std::string &delta_hex) {
    if (delta_hex == "f6") return o;
    std::string delta;
    for (size_t i = 0; i + 1 < delta_hex.size(); i += 2) delta += (char)std::stoi(delta_hex.substr(i, 2), nullptr, 16);
    buf ob = view(o), db = view(delta);
    buf *rebuilt = diff_apply_binary(&ob, &db);
    if (!rebuilt) return "malformed";
    std::string s = contents(rebuilt);
    buf_free(rebuilt);
    return s;
}

TEST(DeltaGenerate, KnownDeltas) {
    struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", "00034258590305"},
        {"ab", "ab", "f6"},
        {"abcdefgh", "abcdefgh", "f6"},
        {"a", "a", "4161"},  // identical, but f6 would not be shorter
        {"", "", "40"},
        {"abc", "xyz", "4378797a"},
        {"abc", "", "40"},
        {"", "abc", "43616263"},
        {"abcdef", "abc", "0003"},
        // The ordinary delta (one 4-byte string) would not be shorter.
        {"abcd", "abXd", "4461625864"},
        {"abcdefghij", "abcdXYZhij", "00044358595a0703"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(generate(c.old_value, c.new_value), c.delta_hex) << c.old_value << " -> " << c.new_value;
        buf o = view(c.old_value), n = view(c.new_value);
        EXPECT_EQ(take(diff_generate_binary(&o, &n)), c.delta_hex);
        EXPECT_EQ(take(diff_generate_binary_with_activity_history(nullptr, &o, &n)), c.delta_hex);
    }
}

TEST(DeltaGenerate, ReplacementDelta) {
    struct {
        std::string value, head_hex;
    } cases[] = {
        {"", "40"},
        {"a", "41"},
        {std::string(23, 'x'), "57"},
        {std::string(24, 'x'), "5818"},
        {std::string(255, 'x'), "58ff"},
        {std::string(256, 'x'), "590100"},
        {std::string(65536, 'x'), "5a00010000"},
    };
    for (auto &c : cases) EXPECT_EQ(replacement(c.value), c.head_hex + hex(c.value)) << c.value.size();
    EXPECT_EQ(take(_write_replacement_delta(nullptr)), "null");
}

TEST(DeltaGenerate, ResultCapacityIsPartOfTheResult) {
    // Callers may read capacity: an ordinary delta fills its block exactly,
    // a replacement delta has room for as much again.
    struct {
        std::string old_value, new_value;
        size_t capacity_per_byte;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", 1},
        {"abcdefghij", "abcdXYZhij", 1},
        {std::string(5000, 'a'), std::string(4000, 'a') + "XY" + std::string(1000, 'a'), 1},
        {"abc", "xyz", 2},
    };
    for (auto &c : cases) {
        buf o = view(c.old_value), n = view(c.new_value);
        buf *delta = diff_generate_binary(&o, &n);
        ASSERT_NE(delta, nullptr);
        EXPECT_EQ(delta->capacity, c.capacity_per_byte * delta->len) << c.new_value.size();
        buf_free(delta);
    }
}

TEST(DeltaGenerate, RefusesWhatItCannotDescribe) {
    std::string small = "abc";
    buf ok = view(small);
    // Longer than 32-bit positions can describe; the bytes are never read.
    buf huge = {const_cast<char *>(small.data()), (size_t)INT32_MAX + 1, (size_t)INT32_MAX + 1};
    struct {
        const buf *old_value, *new_value;
    } cases[] = {{nullptr, &ok}, {&ok, nullptr}, {nullptr, nullptr}, {&huge, &ok}, {&ok, &huge}};
    for (auto &c : cases) {
        EXPECT_EQ(take(diff_generate_binary(c.old_value, c.new_value)), "null");
        EXPECT_EQ(take(diff_generate_binary_ex(c.old_value, c.new_value, 100, 100)), "null");
    }
    EXPECT_EQ(take(_write_replacement_delta(&huge)), "null");
}

TEST(DeltaGenerate, SearchFailureGivesTheReplacementDelta) {
    // Storage for d <= 1 only: any search that needs a second step fails.
    std::string o = "abcdefghijklmnop", n = "abcdXYZWVUijklmnop";
    EXPECT_EQ(generate(o, n, 7, 10000), replacement(n));
    EXPECT_NE(generate(o, n), replacement(n));
}

// Books `busy` milliseconds into a bucket a few buckets before the current
// one, so that the driver's own start (whichever of the next buckets the
// clock is in by then) clears nothing that matters and reads exactly
// busy >> utilisation_shift.
activity_history *history_with_utilisation(int32_t utilisation) {
    activity_history *h = ostrel_activity_history_create(16, 65536);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t now = (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
    uint64_t bucket_start = ((now >> h->bucket_shift) - 4) << h->bucket_shift;
    for (int64_t left = (int64_t)utilisation << h->utilisation_shift; left > 0;) {
        int64_t chunk = std::min<int64_t>(left, h->bucket_ms - 2);
        _activity_history_start(h, bucket_start + 1);
        _activity_history_stop(h, bucket_start + 1 + (uint64_t)chunk);
        left -= chunk;
    }
    return h;
}

TEST(DeltaGenerate, QualityFollowsUtilisation) {
    // Keep 5 bytes of every 15: cheap to describe, but far apart in edit
    // distance, so that every quality stops the search at another point.
    std::string o = PairMaker(5).bytes(255, 256), n;
    for (size_t i = 0; i < o.size(); i += 15) n += o.substr(i, 5);
    buf ob = view(o), nb = view(n);

    // The delta each quality gives, straight from the search (these
    // deltas are all shorter than the new value).
    std::string by_quality[5];
    for (int32_t q = 0; q <= 4; q++) {
        edit_script *s = edit_script_create(&ob, &nb);
        int code = myers_binary_diff(&ob, 0, (int32_t)o.size(), &nb, 0, (int32_t)n.size(), s, 2147483647u, 10000, q);
        ASSERT_NE(code, MYERS_IDENTICAL);
        by_quality[q] = code == MYERS_ORDINARY ? hex(contents(s->output)) : replacement(n);
        edit_script_free(s);
    }
    ASSERT_EQ(std::set<std::string>(by_quality, by_quality + 5).size(), 5u) << "the pair must tell qualities apart";

    struct {
        int32_t utilisation, quality;
    } cases[] = {{0, 0},   {127, 0}, {128, 1}, {165, 1}, {166, 2}, {203, 2},
                 {204, 3}, {242, 3}, {243, 4}, {256, 4}, {300, 4}};
    for (auto &c : cases) {
        activity_history *h = history_with_utilisation(c.utilisation);
        ASSERT_NE(h, nullptr);
        ostrel_activity_history_start(h);
        ASSERT_EQ(ostrel_activity_history_utilisation(h), c.utilisation) << "history set-up";
        EXPECT_EQ(take(diff_generate_binary_with_activity_history(h, &ob, &nb)), by_quality[c.quality])
            << "utilisation " << c.utilisation;
        EXPECT_EQ(ostrel_activity_history_get_last_delta_quality(h), c.quality) << "utilisation " << c.utilisation;
        ostrel_activity_history_free(h);
    }
}

TEST(DeltaGenerate, TheDiffIsBookedAsActivity) {
    activity_history *h = history_with_utilisation(0);
    ASSERT_NE(h, nullptr);
    h->last_delta_quality = 3;
    std::string o(1 << 20, 'a'), n = o;
    n[1000] = 'b';
    buf ob = view(o), nb = view(n);
    int64_t before = h->busy_total;
    uint64_t started_before = h->started_at;
    EXPECT_EQ(take(diff_generate_binary_with_activity_history(h, &ob, &nb)), "001903e841621903e91a000ffc17");
    EXPECT_GT(h->started_at, started_before);
    EXPECT_GE(h->busy_total, before);
    EXPECT_EQ(h->last_delta_quality, 0);
    ostrel_activity_history_free(h);
}

TEST(DeltaGenerate, AllocationFailureGivesNullOrACorrectDelta) {
    PairMaker make(8);
    std::string text = make.bytes(400, 4);
    struct {
        std::string old_value, new_value;
        bool with_history;
    } cases[] = {
        {text, make.edited(text, 4, 8, 10), false},
        {text, make.edited(text, 4, 8, 10), true},
        {text, text, false},
        {text, make.bytes(300, 256), false},
        {"abc", "", false},
        {"a", "a", true},
    };
    for (auto &c : cases) {
        const std::string expected = generate(c.old_value, c.new_value);
        activity_history *h = c.with_history ? ostrel_activity_history_create(16, 1000) : nullptr;
        long needed = sweep_allocation_failures([&](long n) {
            buf o = view(c.old_value), nb = view(c.new_value);
            std::string got;
            {
                FailAfter fail(n);
                got = take(diff_generate_binary_with_activity_history(h, &o, &nb));
            }
            if (got != "null") {
                EXPECT_EQ(receive(c.old_value, got), c.new_value) << "allocation " << n;
            }
            return got == expected;
        });
        EXPECT_GT(needed, 0);
        ostrel_activity_history_free(h);
    }
}

TEST(DeltaGenerate, RoundTripsRandomPairs) {
    const uint32_t seed = test_seed(777);
    const long cases = env_long("OSTREL_DIFF_CASES", 4000);
    printf("seed %u (OSTREL_TEST_SEED), %ld cases (OSTREL_DIFF_CASES)\n", seed, cases);
    PairMaker make(seed);
    static const int32_t search_limits[] = {1, 5, 64, 10000};
    static const uint32_t storage_limits[] = {7, 63, 2147483647u, 2147483647u};
    for (long i = 0; i < cases && !HasFailure(); i++) {
        std::string o, n;
        make.pair(&o, &n);
        std::string delta = generate(o, n, storage_limits[make.below(4)], search_limits[make.below(4)]);
        ASSERT_NE(delta, "null");
        ASSERT_EQ(receive(o, delta), n) << "case " << i << ": " << hex(o) << " -> " << hex(n) << ": " << delta;
        if (delta == "f6") {
            EXPECT_TRUE(o == n && n.size() >= 2) << i;
        } else if (delta != replacement(n)) {
            EXPECT_LT(delta.size() / 2, n.size()) << i;
        }
    }
}

}  // namespace

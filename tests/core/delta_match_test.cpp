#include "delta_match.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <thread>
#include <vector>

#include "delta_apply.h"
#include "delta_cases.h"
#include "delta_generate.h"
#include "fault_injection.h"

namespace {

// The default level, then levels 1 to 5.
const int every_level[] = {DIFF_MATCH_DEFAULT_LEVEL, 1, 2, 3, 4, 5};

// The delta at a level as text, "null" for a NULL result.
std::string match_delta(const std::string &o, const std::string &n, int level) {
    buf ob = view(o), nb = view(n);
    buf *d = diff_match_binary(&ob, &nb, level);
    if (!d) return "null";
    std::string s = contents(d);
    buf_free(d);
    return s;
}

// The delta against a prebuilt index of o at a level, "null" for a NULL result.
std::string index_delta(const std::string &o, const std::string &n, int level) {
    buf ob = view(o), nb = view(n);
    diff_match_index *index = diff_match_index_build(&ob, level);
    if (!index) return "null";
    buf *d = diff_match_index_compute(index, &nb);
    diff_match_index_free(index);
    if (!d) return "null";
    std::string s = contents(d);
    buf_free(d);
    return s;
}

TEST(DeltaMatch, KnownDeltasAtEveryLevel) {
    const std::string a30 = "0123456789abcdefghijklmnopqrst", b30 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ!?#$";
    struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", "00034258590305"},
        {"ab", "ab", "f6"},
        {"a", "a", "4161"},  // f6 is kept for values of 2 bytes or more
        {"", "", "40"},
        {"abc", "xyz", "4378797a"},
        {"abc", "", "40"},
        {"", "abc", "43616263"},
        {"abcdef", "abc", "0003"},
        {"abcd", "abXd", "4461625864"},  // no ordinary delta is shorter
        {"abcdefghij", "abcdXYZhij", "00044358595a0703"},
        // Blocks swapped: two matches, out of order.
        {a30 + b30, b30 + a30, "181e181e00181e"},
        // Old a prefix of new, then new repeats it.
        {a30, a30 + a30 + "x", "00181e00181e4178"},
    };
    for (auto &c : cases)
        for (int level : every_level)
            EXPECT_EQ(hex(match_delta(c.old_value, c.new_value, level)), c.delta_hex)
                << c.old_value << " -> " << c.new_value << " at level " << level;
}

TEST(DeltaMatch, RefusesBadArguments) {
    std::string o = "abcdefgh";
    buf ob = view(o), nowhere = {nullptr, 5, 5};
    EXPECT_EQ(diff_match_binary(nullptr, &ob, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_binary(&ob, nullptr, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_binary(&ob, &nowhere, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_binary(&ob, &ob, -1), nullptr);
    EXPECT_EQ(diff_match_binary(&ob, &ob, DIFF_MATCH_MAX_LEVEL + 1), nullptr);
    buf too_long = {o.data(), (size_t)INT32_MAX + 1, (size_t)INT32_MAX + 1};
    EXPECT_EQ(diff_match_binary(&too_long, &ob, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_binary(&ob, &too_long, DIFF_MATCH_DEFAULT_LEVEL), nullptr);

    EXPECT_EQ(diff_match_index_build(nullptr, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_index_build(&nowhere, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_index_build(&too_long, DIFF_MATCH_DEFAULT_LEVEL), nullptr);
    EXPECT_EQ(diff_match_index_build(&ob, -1), nullptr);
    EXPECT_EQ(diff_match_index_build(&ob, DIFF_MATCH_MAX_LEVEL + 1), nullptr);
    diff_match_index *index = diff_match_index_build(&ob, DIFF_MATCH_DEFAULT_LEVEL);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(diff_match_index_compute(nullptr, &ob), nullptr);
    EXPECT_EQ(diff_match_index_compute(index, nullptr), nullptr);
    EXPECT_EQ(diff_match_index_compute(index, &nowhere), nullptr);
    EXPECT_EQ(diff_match_index_compute(index, &too_long), nullptr);
    EXPECT_GE(diff_match_index_size(index), 4096u);
    EXPECT_EQ(diff_match_index_size(nullptr), 0u);
    diff_match_index_free(index);
    diff_match_index_free(nullptr);
}

// Random pairs of every shape the search tests use, at every level: the
// delta rebuilds the new value, keeps to the three shapes, a second run and
// a prebuilt index give the same bytes, and no level's delta is larger than
// the level's below.
TEST(DeltaMatch, RoundTripsRandomPairs) {
    PairMaker maker(test_seed(20261208u));
    for (int i = 0; i < env_long("OSTREL_MATCH_PAIRS", 400); i++) {
        std::string o, n;
        maker.pair(&o, &n);
        buf ob = view(o), nb = view(n);
        buf *searched = diff_generate_binary(&ob, &nb);
        ASSERT_NE(searched, nullptr);
        size_t below = SIZE_MAX;
        for (int level : every_level) {
            std::string delta = match_delta(o, n, level);
            ASSERT_NE(delta, "null");
            if (level != DIFF_MATCH_DEFAULT_LEVEL) {
                EXPECT_LE(delta.size(), below) << "level " << level << " loses to the level below";
                below = delta.size();
            }
            check_delta(o, n, delta, level);
            ASSERT_EQ(delta, match_delta(o, n, level)) << "second run differs";
            ASSERT_EQ(delta, index_delta(o, n, level)) << "the prebuilt index differs";
            // Small values are never worse than the search's delta.
            if (n.size() <= 4096) {
                EXPECT_LE(delta.size(), searched->len);
            }
        }
        buf_free(searched);
    }
}

// The same bytes on every build (64-bit, 32-bit, sanitizers): a digest of
// the deltas of fixed pairs, large enough to fill the index's buckets and
// run every parser, at every level.
TEST(DeltaMatch, SameBytesOnEveryBuild) {
    PairMaker maker(99u);
    uint64_t digest = 14695981039346656037ull;  // FNV-1a
    auto add = [&](const std::string &s) {
        for (unsigned char c : s) digest = (digest ^ c) * 1099511628211ull;
    };
    for (int i = 0; i < 40; i++) {
        std::string o = i < 20 ? maker.bytes(20000 + maker.below(20000), 1 + i % 8 * 32) : maker.alternating(30000, 40);
        std::string n = maker.edited(o, 26, 50, 60);
        for (int level : every_level) add(match_delta(o, n, level));
    }
    EXPECT_EQ(digest, 0x72c8d640f42be5e3ull) << std::hex << digest;
}

// Larger structured pairs, including the shapes that make matchers slow
// or wrong: one repeated byte, short periods, a long run inside random
// bytes, old a prefix of new, moved and repeated blocks. The deltas of the
// related pairs must also be small.
TEST(DeltaMatch, RoundTripsStructuredPairs) {
    PairMaker maker(test_seed(7u));
    std::string text;
    while (text.size() < 200000) text += "line " + std::to_string(maker.below(100000)) + " of the text\n";
    std::string random = maker.bytes(100000, 256);
    std::string period3, zeros(150000, '\0');
    for (int i = 0; i < 90000; i++) period3 += "abc"[i % 3];
    struct {
        const char *name;
        std::string old_value, new_value;
        size_t most;  // bytes the delta may take
    } cases[] = {
        {"text edited", text, maker.edited(text, 26, 40, 30), 4000},
        {"zeros", zeros, zeros.substr(0, 100000) + "x" + zeros, 40},
        {"period 3 shifted", period3, "ab" + period3 + "abcab", 40},
        {"long run in random", random.substr(0, 50000) + zeros + random.substr(50000),
         random.substr(0, 50000) + zeros.substr(0, 120000) + random.substr(50000), 60},
        {"old prefix of new", random, random + random.substr(0, 70000) + "tail", 40},
        {"blocks moved", random, random.substr(60000) + random.substr(20000, 40000) + random.substr(0, 20000), 40},
        {"random against zeros", zeros, random, random.size() + 5},
    };
    for (auto &c : cases) {
        size_t below = SIZE_MAX;
        for (int level : every_level) {
            SCOPED_TRACE(c.name);
            std::string delta = match_delta(c.old_value, c.new_value, level);
            ASSERT_NE(delta, "null");
            check_delta(c.old_value, c.new_value, delta, level);
            EXPECT_LE(delta.size(), c.most) << c.name << " at level " << level;
            EXPECT_EQ(delta, match_delta(c.old_value, c.new_value, level));
            EXPECT_EQ(delta, index_delta(c.old_value, c.new_value, level));
            if (level != DIFF_MATCH_DEFAULT_LEVEL) {
                EXPECT_LE(delta.size(), below) << c.name << " at level " << level;
                below = delta.size();
            }
        }
    }
}

// Eight threads compute against one index at once, each its own new
// values, and get the bytes of single calls (the sanitizer build checks
// that they share it soundly).
TEST(DeltaMatchIndex, ThreadsShareOneIndex) {
    PairMaker maker(test_seed(20u));
    std::string o = maker.bytes(200000, 64);
    std::vector<std::string> news;
    for (int i = 0; i < 10; i++) news.push_back(i == 0 ? o : maker.edited(o, 64, 1 + 40 * i, 50));
    for (int level : every_level) {
        std::vector<std::string> expected;
        for (const std::string &n : news) expected.push_back(match_delta(o, n, level));
        buf ob = view(o);
        diff_match_index *index = diff_match_index_build(&ob, level);
        ASSERT_NE(index, nullptr);
        std::vector<int> mismatches(8, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++)
            threads.emplace_back([&, t] {
                for (size_t k = 0; k < 2 * news.size(); k++) {
                    size_t i = (k + (size_t)t) % news.size();
                    buf nb = view(news[i]);
                    buf *d = diff_match_index_compute(index, &nb);
                    mismatches[t] += !d || contents(d) != expected[i];
                    buf_free(d);
                }
            });
        for (std::thread &thread : threads) thread.join();
        diff_match_index_free(index);
        for (int t = 0; t < 8; t++) EXPECT_EQ(mismatches[t], 0) << "thread " << t << " at level " << level;
    }
}

// Every allocation in turn fails: the answer is NULL or the right delta,
// and nothing leaks (checked by the sanitizer build).
TEST(DeltaMatch, AllocationFailures) {
    PairMaker maker(3u);
    std::string o = maker.bytes(3000, 16);
    std::string n = maker.edited(o, 16, 10, 30);
    for (int level : every_level) {
        std::string expected = match_delta(o, n, level);
        sweep_allocation_failures([&](long count) {
            std::string got;
            {
                FailAfter fail(count);
                got = match_delta(o, n, level);
            }
            if (got == "null") return false;
            EXPECT_EQ(hex(got), hex(expected));
            return true;
        });
    }
}

}  // namespace

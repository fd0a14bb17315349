#include "delta_optimal.h"

#include <divsufsort.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cbor_head.h"
#include "delta_apply.h"
#include "delta_cases.h"
#include "delta_generate.h"
#include "delta_match.h"
#include "delta_optimal_internal.h"
#include "fault_injection.h"

namespace {

std::string optimal_delta(const std::string &o, const std::string &n, diff_optimal_progress progress = nullptr,
                          void *context = nullptr) {
    buf ob = view(o), nb = view(n);
    buf *d = diff_optimal_binary(&ob, &nb, progress, context);
    if (!d) return "null";
    std::string s = contents(d);
    buf_free(d);
    return s;
}

// The size of the smallest delta by trying every item at every position:
// each byte string, and each match with every offset of the old value at
// every length it holds for. No suffixes, classes or range minima.
size_t exhaustive_size(const std::string &o, const std::string &n) {
    const size_t m = n.size();
    if (m >= 2 && o == n) return 1;
    std::vector<size_t> best(m + 1, SIZE_MAX);
    best[m] = 0;
    for (size_t j = m; j-- > 0;) {
        for (size_t k = 1; j + k <= m; k++) best[j] = std::min(best[j], cbor_head_size(k) + k + best[j + k]);
        for (size_t offset = 0; offset < o.size(); offset++)
            for (size_t l = 1; j + l <= m && offset + l <= o.size() && o[offset + l - 1] == n[j + l - 1]; l++)
                best[j] = std::min(best[j], cbor_head_size(offset) + cbor_head_size(l) + best[j + l]);
    }
    return best[0] < m ? best[0] : cbor_head_size(m) + m;
}

// Thousands of small pairs, random and structured, against the exhaustive
// search: the same size, byte for byte, and a delta that rebuilds the new
// value, the same on a second run.
TEST(DeltaOptimal, AgreesWithExhaustiveSearch) {
    PairMaker maker(test_seed(2112u));
    long pairs = env_long("OSTREL_OPTIMAL_PAIRS", 4000);
    for (long i = 0; i < pairs; i++) {
        std::string o, n;
        unsigned alphabet = maker.alphabet();
        switch (i % 4) {
        case 0:  // unrelated short values over small alphabets
            o = maker.bytes(maker.below(40), alphabet);
            n = maker.bytes(maker.below(40), alphabet);
            break;
        case 1:  // edits
            o = maker.bytes(maker.below(60), alphabet);
            n = maker.edited(o, alphabet, 1 + maker.below(5), 8);
            break;
        case 2:  // runs of two symbols
            o = maker.alternating(maker.below(60), 1 + maker.below(6));
            n = maker.edited(o, 2, 1 + maker.below(4), 6);
            break;
        default:  // pieces of old repeated and moved, byte strings past 23 bytes
            o = maker.bytes(20 + maker.below(300), alphabet);
            for (size_t parts = 1 + maker.below(4); parts > 0; parts--) {
                size_t at = maker.below(o.size());
                n += maker.below(3) == 0 ? maker.bytes(maker.below(30), 256) : o.substr(at, maker.below(30));
            }
        }
        SCOPED_TRACE("pair " + std::to_string(i) + ": " + hex(o) + " -> " + hex(n));
        std::string delta = optimal_delta(o, n);
        ASSERT_NE(delta, "null");
        ASSERT_EQ(delta.size(), exhaustive_size(o, n));
        check_delta(o, n, delta, DIFF_MATCH_MAX_LEVEL);
        ASSERT_EQ(delta, optimal_delta(o, n));
    }
}

// Offsets and lengths on both sides of every head size: the same text
// planted at offsets 23 and 24, 255 and 256, 65535 and 65536 of a large
// old value, matched by new values that hold it once, twice, cut or
// edited; byte strings of up to 300 bytes between.
TEST(DeltaOptimal, PricesEveryHeadSize) {
    PairMaker maker(test_seed(65536u));
    std::string base = maker.bytes(70000, 256);
    for (int i = 0; i < 120; i++) {
        std::string o = base;
        std::string planted = maker.bytes(1 + maker.below(40), 4);
        static const size_t offsets[] = {0, 23, 24, 255, 256, 65535, 65536};
        for (size_t k = maker.below(3); k < 7; k += 1 + maker.below(3)) o.replace(offsets[k], planted.size(), planted);
        if (i % 3 == 0) o.resize(300);
        std::string n;
        for (size_t parts = 1 + maker.below(4); parts > 0; parts--) {
            switch (maker.below(3)) {
            case 0: n += planted.substr(maker.below(planted.size())); break;
            case 1: n += maker.bytes(maker.below(i % 2 ? 30 : 300), 256); break;
            default: n += maker.edited(planted, 4, 1, 3);
            }
        }
        SCOPED_TRACE("pair " + std::to_string(i) + ": new " + hex(n));
        std::string delta = optimal_delta(o, n);
        ASSERT_EQ(delta.size(), exhaustive_size(o, n));
        check_delta(o, n, delta, DIFF_MATCH_MAX_LEVEL);
    }
}

// The sort of small values gives divsufsort's order, on texts of every
// size up to the bound it serves: random over alphabets of 1 to 256
// symbols, periodic, and pairs of an old value and its edit, as the
// generator sorts them.
TEST(DeltaOptimal, SmallSortMatchesDivsufsort) {
    PairMaker maker(test_seed(8192u));
    for (int i = 0; i < 600; i++) {
        size_t size = i < 40 ? i : 1 + maker.below(DIFF_OPTIMAL_SMALL_TOTAL);
        std::string text;
        switch (i % 3) {
        case 0: text = maker.bytes(size, i % 5 == 0 ? 1 : maker.alphabet()); break;
        case 1: text = maker.alternating(size, 1 + maker.below(40)); break;
        default: {
            std::string o = maker.bytes(size / 2, maker.alphabet());
            text = (maker.edited(o, 4, 1 + maker.below(8), 30) + o).substr(0, size);
        }
        }
        std::vector<int32_t> small(text.size() + 1), reference(text.size() + 1);
        const uint8_t *bytes = (const uint8_t *)text.data();
        ASSERT_TRUE(diff_optimal_sort_small(bytes, small.data(), (uint32_t)text.size()));
        ASSERT_EQ(divsufsort(bytes, reference.data(), (saidx_t)text.size()), 0);
        ASSERT_EQ(small, reference) << "text " << i << " of " << text.size() << " bytes: " << hex(text);
    }
}

// Exact bytes where the choice is known, and the highest level of the
// matching generator is this one.
TEST(DeltaOptimal, KnownDeltas) {
    std::string filler(300, '.');
    struct {
        std::string old_value, new_value, delta_hex;
    } cases[] = {
        {"abcdefgh", "abcXYdefgh", "00034258590305"},
        {"ab", "ab", "f6"},
        {"a", "a", "4161"},
        {"", "", "40"},
        {"", "abc", "43616263"},
        {"abc", "", "40"},
        {"abcdef", "abc", "0003"},
        // The shorter match at a cheaper offset wins: "wxyzq" at 1 and a
        // byte string (5 bytes) against "wxyzqr" at 306 and one (6 bytes).
        {"-wxyzq" + filler + "wxyzqr", "wxyzqr!", "0105427221"},
    };
    for (auto &c : cases) {
        EXPECT_EQ(hex(optimal_delta(c.old_value, c.new_value)), c.delta_hex) << c.new_value;
        buf ob = view(c.old_value), nb = view(c.new_value);
        buf *d = diff_match_binary(&ob, &nb, DIFF_MATCH_MAX_LEVEL);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(hex(contents(d)), c.delta_hex);
        buf_free(d);
    }
}

// The same bytes on every build (64-bit, 32-bit, sanitizers): a digest of
// the deltas of fixed pairs with many parses of equal size.
TEST(DeltaOptimal, SameBytesOnEveryBuild) {
    PairMaker maker(99u);
    uint64_t digest = 14695981039346656037ull;  // FNV-1a
    for (int i = 0; i < 40; i++) {
        std::string o = i < 20 ? maker.bytes(20000 + maker.below(20000), 1 + i % 8 * 32) : maker.alternating(30000, 40);
        for (unsigned char c : optimal_delta(o, maker.edited(o, 26, 50, 60))) digest = (digest ^ c) * 1099511628211ull;
    }
    EXPECT_EQ(digest, 0x8be707ea7a365520ull) << std::hex << digest;
}

TEST(DeltaOptimal, RefusesBadArguments) {
    std::string o = "abcdefgh";
    buf ob = view(o), nowhere = {nullptr, 5, 5};
    EXPECT_EQ(diff_optimal_binary(nullptr, &ob, nullptr, nullptr), nullptr);
    EXPECT_EQ(diff_optimal_binary(&ob, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(diff_optimal_binary(&ob, &nowhere, nullptr, nullptr), nullptr);
    // Past the limit together, though each value alone is within it.
    buf half = {o.data(), DIFF_OPTIMAL_MAX_TOTAL / 2 + 1, DIFF_OPTIMAL_MAX_TOTAL / 2 + 1};
    EXPECT_EQ(diff_optimal_binary(&half, &half, nullptr, nullptr), nullptr);
    EXPECT_EQ(diff_match_binary(&half, &half, DIFF_MATCH_MAX_LEVEL), nullptr);
}

struct Progress {
    std::vector<std::vector<uint64_t>> calls;  // stage, done, total
    size_t stop_at = SIZE_MAX;

    static int record(void *context, int stage, uint64_t done, uint64_t total) {
        auto *self = static_cast<Progress *>(context);
        self->calls.push_back({(uint64_t)stage, done, total});
        return self->calls.size() >= self->stop_at;
    }
};

// Progress comes stage by stage, each from 0 to its total, rising; the
// delta is the one made without it. A stop asked at a call (the first, one
// in each stage, the last) gives NULL, with no call after it.
TEST(DeltaOptimal, ReportsProgressAndStops) {
    PairMaker maker(5u);
    std::string o = maker.bytes(700000, 16), n = maker.edited(o, 16, 20, 100);
    Progress progress;
    std::string delta = optimal_delta(o, n, Progress::record, &progress);
    EXPECT_EQ(delta, optimal_delta(o, n));
    ASSERT_GT(progress.calls.size(), 6u);
    EXPECT_EQ(progress.calls.front(), (std::vector<uint64_t>{DIFF_OPTIMAL_SORTING, 0, o.size() + n.size()}));
    EXPECT_EQ(progress.calls.back(), (std::vector<uint64_t>{DIFF_OPTIMAL_PARSING, n.size(), n.size()}));
    for (size_t i = 1; i < progress.calls.size(); i++) {
        auto &a = progress.calls[i - 1], &b = progress.calls[i];
        EXPECT_TRUE(a[0] < b[0] ? a[1] == a[2] && b[1] == 0 : a[0] == b[0] && a[1] < b[1] && a[2] == b[2])
            << "call " << i;
    }
    std::vector<size_t> stops = {1, progress.calls.size()};
    for (size_t i = 1; i < progress.calls.size(); i++)
        if (progress.calls[i][0] != progress.calls[i - 1][0]) stops.push_back(i + 2);
    for (size_t stop : stops) {
        Progress stopping;
        stopping.stop_at = stop;
        EXPECT_EQ(optimal_delta(o, n, Progress::record, &stopping), "null");
        EXPECT_EQ(stopping.calls.size(), stop);
    }
}

// Every allocation in turn fails: NULL or the right delta, nothing leaked
// (checked by the sanitizer build).
// Sorted by the small sort and by divsufsort.
TEST(DeltaOptimal, AllocationFailures) {
    PairMaker maker(3u);
    for (size_t size : {3000, 6000}) {
        std::string o = maker.bytes(size, 16);
        std::string n = maker.edited(o, 16, 10, 30);
        ASSERT_EQ(o.size() + n.size() > DIFF_OPTIMAL_SMALL_TOTAL, size == 6000);
        std::string expected = optimal_delta(o, n);
        long needed = sweep_allocation_failures([&](long count) {
            std::string got;
            {
                FailAfter fail(count);
                got = optimal_delta(o, n);
            }
            if (got == "null") return false;
            EXPECT_EQ(hex(got), hex(expected));
            return true;
        });
        EXPECT_GT(needed, 5);
    }
}

}  // namespace

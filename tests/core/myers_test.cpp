#include "myers.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "delta_apply.h"
#include "delta_cases.h"
#include "edit_script.h"
#include "fault_injection.h"

namespace {

// A second, deliberately naive formulation of the search: plain
// recursion, byte loops and diagonal arrays of its own, for small inputs. It reports to the real coalescing
// script, so any difference in the delta bytes comes from the search.
// It also counts the branches it takes, so tests can show that a case
// reaches the branch it was made for.
namespace literal {

enum Branch {
    kOverlapForward,
    kOverlapReverse,
    kProgressLowered,
    kBailAtProgressCheck,
    kBail,
    kBailGap,
    kSplitOld,
    kSplitNew,
    kSplitAtPoint,
    kBoundedFull,
    kBoundedHalves,
    kBoundedGiveUp,
    kStorageLimit,
    kBranchCount
};
const char *const kBranchNames[kBranchCount] = {
    "overlap in forward pass", "overlap in reverse pass", "progress check lowered the limit", "bail at a progress check", "bail",
    "bail with a gap",         "split the old range",     "split the new range",             "split at F or R",
    "bounded: full search",    "bounded: halves",         "bounded: give up",                "storage limit"};
long hits[kBranchCount];

// One V array: diagonal k at index 2k (k >= 0) or -2k - 1 (k < 0).
struct Diagonals {
    int32_t fill;
    std::vector<int32_t> cells;
    void reset() { cells.assign(64, fill); }
    int32_t &operator[](int32_t k) {
        size_t at = k >= 0 ? 2 * (size_t)k : 2 * (size_t)-k - 1;
        if (at >= cells.size()) cells.resize(2 * at + 2, fill);
        return cells[at];
    }
};

struct Search {
    const buf *old_value, *new_value;
    coallescing_script *c;
    int32_t search_limit;
    uint32_t max_d;
    Diagonals forward{-1, {}}, reverse{INT32_MAX, {}};

    int old_byte(int32_t i) const { return byte_of(old_value, i); }
    int new_byte(int32_t i) const { return byte_of(new_value, i); }
    static int byte_of(const buf *b, int32_t i) {
        if (i < 0 || (size_t)i >= b->len) {
            ADD_FAILURE() << "read outside a value at " << i;
            return -1;
        }
        return (unsigned char)b->data[i];
    }
};

struct Point {
    int32_t x, y;
};

bool middlesnake(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t limit);

int32_t corner(int32_t d, int32_t n) { return d <= n ? d : 2 * n - d; }

int32_t common_prefix(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M) {
    int32_t i = 0;
    while (i < std::min(N, M) && s.old_byte(x0 + i) == s.new_byte(y0 + i)) i++;
    return i;
}

int32_t suffix_cut(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t p) {
    int32_t lower = p + std::max(0, N - M);
    int32_t i = N;
    while (i > lower && s.old_byte(x0 + i - 1) == s.new_byte(y0 + i - 1 + (M - N))) i--;
    return i;
}

bool trim_suffix(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t p, int32_t limit) {
    int32_t i = suffix_cut(s, x0, N, y0, M, p);
    int32_t j = i + (M - N);
    bool ok;
    if (i == p)
        ok = coallescing_script_insert(s.c, y0 + p, M - N);
    else if (j == p)
        ok = coallescing_script_delete(s.c);
    else
        ok = middlesnake(s, x0 + p, i - p, y0 + p, j - p, limit);
    return ok && coallescing_script_match(s.c, x0 + i, N - i);
}

bool trim_prefix(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t limit) {
    int32_t i = common_prefix(s, x0, N, y0, M);
    if (!coallescing_script_match(s.c, x0, i)) return false;
    if (i == N) return coallescing_script_insert(s.c, y0 + N, M - N);
    if (i == M) return coallescing_script_delete(s.c);
    return middlesnake(s, x0 + i, N - i, y0 + i, M - i, limit);
}

bool diff(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M) {
    int32_t i = common_prefix(s, x0, N, y0, M);
    return coallescing_script_match(s.c, x0, i) && trim_suffix(s, x0, N, y0, M, i, s.search_limit);
}

bool trim_prefix_and_suffix(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M) {
    int32_t i = common_prefix(s, x0, N, y0, M);
    coallescing_script_match(s.c, x0, i);
    int32_t e = suffix_cut(s, x0, N, y0, M, i);
    int32_t j = e + (M - N);
    bool ok;
    if (e == i)
        ok = coallescing_script_insert(s.c, y0 + i, M - N);
    else if (j == i)
        ok = coallescing_script_delete(s.c);
    else
        ok = coallescing_script_insert(s.c, y0 + i, j - i) && coallescing_script_delete(s.c);
    return ok && coallescing_script_match(s.c, x0 + e, N - e);
}

void frontiers(Search &s, int32_t N, int32_t M, int32_t cN, int32_t cM, Point *F, Point *R) {
    int32_t delta = N - M;
    *F = {0, 0};
    for (int32_t k = -cN; k <= cM; k += 2) {
        int32_t x = std::min({s.forward[k], N, M - k});
        int32_t y = x + k;
        if ((uint32_t)(x + y) > (uint32_t)(F->x + F->y)) *F = {x, y};
    }
    *R = {N, M};
    for (int32_t r = -cM; r <= cN; r += 2) {
        int32_t x = std::max({s.reverse[r], 0, delta - r});
        int32_t y = x - (delta - r);
        if ((uint32_t)(x + y) < (uint32_t)(R->x + R->y)) *R = {x, y};
    }
    if (F->x < 0 || F->x > N || F->y < 0 || F->y > M || R->x < 0 || R->x > N || R->y < 0 || R->y > M)
        ADD_FAILURE() << "frontier outside the rectangle";
}

bool bounded_diff(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t A, int32_t b) {
    int32_t area = (int32_t)((uint32_t)N * (uint32_t)M);
    int32_t outer = (int32_t)((uint32_t)A * (uint32_t)A);
    if (std::min(N, M) > 7 && area < (outer >> 1) + 16777216) {
        hits[kBoundedFull]++;
        return middlesnake(s, x0, N, y0, M, std::max(b, 8));
    }
    if (b > 0) {
        hits[kBoundedHalves]++;
        int32_t hN = N / 2, hM = M / 2;
        return trim_suffix(s, x0, hN, y0, hM, 0, b >> 1) &&
               trim_prefix(s, x0 + hN, N - hN, y0 + hM, M - hM, b >> 1);
    }
    hits[kBoundedGiveUp]++;
    return coallescing_script_insert(s.c, y0, M / 4) && coallescing_script_delete(s.c) &&
           diff(s, x0 + N / 4, N / 2, y0 + M / 4, M / 2) &&
           coallescing_script_insert(s.c, y0 + M / 4 + M / 2, M - M / 4 - M / 2) && coallescing_script_delete(s.c);
}

bool bail(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t cN, int32_t cM, int32_t limit) {
    hits[kBail]++;
    Point F, R;
    frontiers(s, N, M, cN, cM, &F, &R);
    if (F.x < R.x && F.y < R.y) {
        hits[kBailGap]++;
        return trim_suffix(s, x0, F.x, y0, F.y, 0, s.search_limit) &&
               bounded_diff(s, x0 + F.x, R.x - F.x, y0 + F.y, R.y - F.y, N, limit) &&
               trim_prefix(s, x0 + R.x, N - R.x, y0 + R.y, M - R.y, s.search_limit);
    }
    Point P = (N + M - R.x - R.y) <= (F.x + F.y) ? F : R;
    if (N > M && (P.y == 0 || P.y == M) && N >= 8 * std::min(P.x, N - P.x)) {
        hits[kSplitOld]++;
        int32_t h = N / 2;
        return trim_suffix(s, x0, h, y0, P.y, 0, limit / 2) &&
               trim_prefix(s, x0 + h, N - h, y0 + P.y, M - P.y, limit / 2);
    }
    if (N <= M && (P.x == 0 || P.x == N) && M >= 8 * std::min(P.y, M - P.y)) {
        hits[kSplitNew]++;
        int32_t h = M / 2;
        return trim_suffix(s, x0, P.x, y0, h, 0, limit / 2) &&
               trim_prefix(s, x0 + P.x, N - P.x, y0 + h, M - h, limit / 2);
    }
    hits[kSplitAtPoint]++;
    return trim_suffix(s, x0, P.x, y0, P.y, 0, s.search_limit) &&
           trim_prefix(s, x0 + P.x, N - P.x, y0 + P.y, M - P.y, s.search_limit);
}

bool recurse(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t from, int32_t to, int32_t k) {
    if (from < 0 || from > to || to > N || from + k < 0 || to + k > M)
        ADD_FAILURE() << "snake outside the rectangle";
    return trim_suffix(s, x0, from, y0, from + k, 0, s.search_limit) &&
           coallescing_script_match(s.c, x0 + from, to - from) &&
           trim_prefix(s, x0 + to, N - to, y0 + to + k, M - to - k, s.search_limit);
}

bool middlesnake(Search &s, int32_t x0, int32_t N, int32_t y0, int32_t M, int32_t limit) {
    s.forward.reset();
    s.reverse.reset();
    s.forward[0] = 0;
    s.reverse[0] = N;
    int32_t delta = N - M;
    bool test_in_forward = (delta & 0xB1) == 0xB1;
    for (int32_t d = 1;; d++) {
        int32_t cN = corner(d, N), cM = corner(d, M);
        for (int32_t k = -cN; k <= cM; k += 2) {
            int32_t a = s.forward[k + 1], b = s.forward[k - 1];
            int32_t x = a >= b ? a + 1 : b;
            int32_t n = std::min(M - k - x, N - x);
            int32_t x_end = x;
            while (x_end - x < n && s.old_byte(x0 + x_end) == s.new_byte(y0 + x_end + k)) x_end++;
            if (test_in_forward) {
                int32_t r = delta + k;
                if (abs(r) < d && s.reverse[r] <= x_end) {
                    hits[kOverlapForward]++;
                    return recurse(s, x0, N, y0, M, x, x_end, k);
                }
            }
            s.forward[k] = x_end;
        }
        for (int32_t r = -cM; r <= cN; r += 2) {
            int32_t a = s.reverse[r + 1], b = s.reverse[r - 1];
            int32_t x = a >= b ? b - 1 : a;
            int32_t lower = std::max(0, delta - r);
            int32_t x_start = x;
            while (x_start > lower && s.old_byte(x0 + x_start - 1) == s.new_byte(y0 + x_start - 1 - (delta - r)))
                x_start--;
            if (!test_in_forward) {
                int32_t k = r - delta;
                if (abs(k) <= d && s.forward[k] >= x_start) {
                    hits[kOverlapReverse]++;
                    return recurse(s, x0, N, y0, M, x_start, x, k);
                }
            }
            s.reverse[r] = x_start;
        }
        if (d % 64 != 0) {
            if (d > limit) return bail(s, x0, N, y0, M, cN, cM, limit);
        } else {
            Point F, R;
            frontiers(s, N, M, cN, cM, &F, &R);
            int64_t G = (int64_t)(F.x + F.y) + (N + M - R.x - R.y);
            int64_t p = 1;
            int32_t t = d;
            do {
                t >>= 2;
                p *= 2;
            } while (t != 0);
            if (G < d * p) {
                hits[kProgressLowered]++;
                limit -= 48;
            } else if (d > limit) {
                hits[kBailAtProgressCheck]++;
                return bail(s, x0, N, y0, M, cN, cM, limit);
            }
        }
        if (s.max_d < (uint32_t)(d + 1)) {
            hits[kStorageLimit]++;
            return false;
        }
    }
}

int myers_binary_diff(const buf *old_value, int32_t x0, int32_t N, const buf *new_value, int32_t y0, int32_t M,
                      edit_script *script, uint32_t storage_limit, int32_t search_limit, int32_t quality) {
    coallescing_script c = {script, x0, y0, COALLESCING_NONE, 0, 0, true};
    int32_t m = std::min({search_limit, N, M});
    int32_t limit = -1;
    if (quality == 0) limit = search_limit;
    if (quality == 1) limit = m <= 255 ? 64 : m >> 2;
    if (quality == 2) limit = m <= 255 ? 16 : m >> 4;
    if (quality == 3) limit = 1;
    Search s{old_value, new_value, &c, limit, (storage_limit - 3) >> 2};
    bool ok = quality == 4 ? trim_prefix_and_suffix(s, x0, N, y0, M) : diff(s, x0, N, y0, M);
    return ok ? coallescing_script_close(&c, N, M) : MYERS_REPLACEMENT;
}

}  // namespace literal

// Everything the search leaves behind in the edit script.
struct Outcome {
    int code;
    std::string output;
    int32_t budget, insert_start, insert_length, match_offset, match_length;
    bool operator==(const Outcome &o) const {
        return code == o.code && output == o.output && budget == o.budget && insert_start == o.insert_start &&
               insert_length == o.insert_length && match_offset == o.match_offset && match_length == o.match_length;
    }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    return os << "code " << o.code << " output " << hex(o.output) << " budget " << o.budget;
}

Outcome outcome_of(const edit_script *s, int code) {
    return {code,           contents(s->output), s->budget,         s->insert_start,
            s->insert_length, s->match_offset,   s->match_length};
}

struct Call {
    std::string old_value, new_value;
    int32_t x0, n, y0, m;
    uint32_t storage_limit;
    int32_t search_limit, quality;
};

std::ostream &operator<<(std::ostream &os, const Call &c) {
    return os << "old " << hex(c.old_value) << " [" << c.x0 << ", +" << c.n << ") new " << hex(c.new_value) << " ["
              << c.y0 << ", +" << c.m << ") storage " << c.storage_limit << " search " << c.search_limit
              << " quality " << c.quality;
}

Call whole(const std::string &o, const std::string &n, int32_t quality = 0, int32_t search_limit = 10000,
           uint32_t storage_limit = 2147483647u) {
    return {o, n, 0, (int32_t)o.size(), 0, (int32_t)n.size(), storage_limit, search_limit, quality};
}

template <typename Diff>
Outcome run(const Call &c, Diff diff) {
    buf o = view(c.old_value), n = view(c.new_value);
    edit_script *s = edit_script_create(&o, &n);
    int code = diff(&o, c.x0, c.n, &n, c.y0, c.m, s, c.storage_limit, c.search_limit, c.quality);
    Outcome out = outcome_of(s, code);
    edit_script_free(s);
    return out;
}

Outcome engine(const Call &c) { return run(c, myers_binary_diff); }
Outcome reference(const Call &c) { return run(c, literal::myers_binary_diff); }

// Applies an ordinary delta to the old range and expects the new range.
void expect_round_trip(const Call &c, const Outcome &out) {
    if (out.code != MYERS_ORDINARY) return;
    buf old_range{const_cast<char *>(c.old_value.data()) + c.x0, (size_t)c.n, (size_t)c.n};
    buf delta = view(out.output);
    buf *rebuilt = diff_apply_binary(&old_range, &delta);
    ASSERT_NE(rebuilt, nullptr) << c;
    EXPECT_EQ(contents(rebuilt), c.new_value.substr(c.y0, c.m)) << c;
    // The budget is the whole new value's length, not the range's.
    EXPECT_TRUE(out.output.empty() || out.output.size() < c.new_value.size()) << c;
    buf_free(rebuilt);
}

TEST(MyersHelpers, Corner) {
    struct {
        int32_t d, n, expected;
    } cases[] = {{3, 5, 3}, {5, 5, 5}, {6, 5, 4}, {7, 5, 3}, {1, 0, -1}, {4, 1, -2}};
    for (auto &c : cases) EXPECT_EQ(myers_binary_diff_corner(c.d, c.n), c.expected) << c.d << " " << c.n;
}

TEST(MyersHelpers, BailoutLimit) {
    struct {
        int32_t factor, first, second, expected;
    } cases[] = {
        {100, 4, 4, 256},          // estimate 2: 200 < 25600
        {10000, 1000, 0, 800},     // estimate 8
        {3200, 512, 0, 256},       // estimate 8: 25600 is not below 25600
        {3199, 512, 0, 256},       // 25592 < 25600
        {25600, 1, 0, 256},        // estimate 1
        {25600, -1, 0, 536870912}, // -1 sign-extends: highest bit 64, estimate 2^21
        {-100000, 1000, 0, 256},   // negative products stay below the threshold
    };
    for (auto &c : cases)
        EXPECT_EQ(myers_binary_diff_bailout_limit(c.factor, c.first, c.second), c.expected)
            << c.factor << " " << c.first << " " << c.second;
}

TEST(MyersHelpers, CheckBounds) {
    std::string four = "abcd";
    buf b = view(four);
    struct {
        int32_t offset, length;
        bool ok;
    } cases[] = {{0, 4, true}, {4, 0, true}, {1, 3, true}, {0, 5, false}, {4, 1, false}, {-1, 1, false},
                 {0, -1, false}, {INT32_MAX, INT32_MAX, false}, {2, INT32_MAX, false}};
    for (auto &c : cases)
        EXPECT_EQ(myers_binary_diff_check_bounds(&b, c.offset, c.length), c.ok) << c.offset << " " << c.length;
    EXPECT_FALSE(myers_binary_diff_check_bounds(nullptr, 0, 0));
}

TEST(MyersBinaryDiff, RejectsBadRangesBeforeDoingAnything) {
    Call cases[] = {
        {"abc", "abc", -1, 1, 0, 3, 2147483647u, 10000, 0}, {"abc", "abc", 0, 4, 0, 3, 2147483647u, 10000, 0},
        {"abc", "abc", 0, 3, 1, 3, 2147483647u, 10000, 0},  {"abc", "abc", 0, 3, 0, -1, 2147483647u, 10000, 0},
        {"abc", "abc", 3, 1, 0, 0, 2147483647u, 10000, 4},
    };
    for (auto &c : cases) {
        Outcome out = engine(c);
        EXPECT_EQ(out.code, MYERS_INVALID_RANGE) << c;
        EXPECT_EQ(out.output, "") << c;
    }
    std::string s = "abc";
    buf b = view(s);
    EXPECT_EQ(myers_binary_diff(&b, 0, 3, &b, 0, 3, nullptr, 100, 100, 0), MYERS_INVALID_RANGE);
}

TEST(MyersBinaryDiff, KnownDeltas) {
    const std::string kPrefix = "0123456789", kSuffix = "ZYXWVUTSRQ", kCommon(30, '=');
    struct {
        Call call;
        int code;
        std::string delta_hex;
    } cases[] = {
        {whole("abcdefgh", "abcXYdefgh"), 0, "00034258590305"},
        {whole("abcdefghij", "abcdXYZhij", 4), 0, "00044358595a0703"},
        {whole("abcdefghij", "abcdXYZhij", 0), 0, "00044358595a0703"},
        {whole("abcdef", "abc"), 0, "0003"},
        {whole("abc", "abc"), 2, ""},
        {whole("", ""), 2, ""},
        {whole("", "abc"), 1, ""},
        {whole("abc", ""), 0, ""},
        {whole("abc", "xyz"), 1, ""},
        {whole("abc", "xyz", 4), 1, ""},
        // Quality 4 sends the whole middle; quality 0 finds the common run
        // inside it.
        {whole(kPrefix + "abcdefgh" + kCommon + "ijklmnop" + kSuffix,
               kPrefix + "ABCDEFGH" + kCommon + "IJKLMNOP" + kSuffix, 4),
         0, "000a582e" + hex("ABCDEFGH" + kCommon + "IJKLMNOP") + "18380a"},
        {whole(kPrefix + "abcdefgh" + kCommon + "ijklmnop" + kSuffix,
               kPrefix + "ABCDEFGH" + kCommon + "IJKLMNOP" + kSuffix, 0),
         0, "000a48" + hex("ABCDEFGH") + "12181e48" + hex("IJKLMNOP") + "18380a"},
        // Ranges that do not start at 0: offsets are relative to the old
        // range, inserted bytes come from the new range.
        {{"__abcdefgh__", "#abcXYdefgh", 2, 8, 1, 10, 2147483647u, 10000, 0}, 0, "00034258590305"},
        {{"ZZZabcdefghij", "--abcdXYZhij", 3, 10, 2, 10, 2147483647u, 10000, 4}, 0, "00044358595a0703"},
    };
    for (auto &c : cases) {
        Outcome out = engine(c.call);
        EXPECT_EQ(out.code, c.code) << c.call;
        if (c.code == 0) {
            EXPECT_EQ(hex(out.output), c.delta_hex) << c.call;
        }
        expect_round_trip(c.call, out);
    }
}

// Each case is made to take one branch of the search; the literal
// formulation confirms it does, and the engine must give the same bytes.
TEST(MyersBinaryDiff, CraftedBranches) {
    PairMaker make(7);
    std::string random_a = make.bytes(400, 256), random_b = make.bytes(400, 256);
    std::string binary_a = make.bytes(600, 2), binary_b = make.edited(binary_a, 2, 60, 8);
    std::string long_a(300, 'a');
    std::string binary_long_a = make.bytes(3000, 2), binary_long_b = make.edited(binary_long_a, 2, 150, 1);
    struct {
        const char *what;
        Call call;
        literal::Branch branch;
    } cases[] = {
        {"odd delta matching the mask", whole(std::string(177, 'a') + "b", "c"), literal::kOverlapForward},
        {"even delta", whole("abXcd", "abYcd"), literal::kOverlapReverse},
        {"odd delta outside the mask", whole("xaby", "zbw"), literal::kOverlapReverse},
        {"quality 3 bails at step 2", whole("axxxxb", "ayyyyb", 3), literal::kBail},
        {"gap between the frontiers", whole(random_a, random_b, 0, 5), literal::kBailGap},
        {"bounded diff searches a small gap", whole(random_a, random_b, 0, 5), literal::kBoundedFull},
        {"bounded diff halves a gap with a short side", whole(random_a, random_b.substr(0, 7), 0, 5),
         literal::kBoundedHalves},
        {"bounded diff gives up at limit 0", whole(random_a, random_b, 3), literal::kBoundedGiveUp},
        {"long old, nothing to meet", whole(long_a, "b" + long_a.substr(0, 10), 3), literal::kSplitOld},
        {"long new, nothing to meet", whole("b" + long_a.substr(0, 10), long_a, 3), literal::kSplitNew},
        {"split at the furthest point", whole(binary_a, binary_b, 3), literal::kSplitAtPoint},
        {"progress check", whole(random_a, random_b, 0, 300), literal::kProgressLowered},
        {"bail at a progress check", whole(binary_long_a, binary_long_b, 0, 63), literal::kBailAtProgressCheck},
        {"storage limit", whole("abXcd", "abYYYYcd", 0, 10000, 7), literal::kStorageLimit},
    };
    for (auto &c : cases) {
        std::fill(std::begin(literal::hits), std::end(literal::hits), 0);
        Outcome expected = reference(c.call);
        EXPECT_GT(literal::hits[c.branch], 0) << c.what << ": " << literal::kBranchNames[c.branch];
        Outcome out = engine(c.call);
        EXPECT_EQ(out, expected) << c.what;
        expect_round_trip(c.call, out);
    }
}

TEST(MyersBinaryDiff, BudgetExhaustionFailsTheSearch) {
    // Scattered one-byte changes cost more than sending the value.
    std::string old_value, new_value;
    for (int i = 0; i < 50; i++) {
        old_value += "ab";
        new_value += "ac";
    }
    for (int quality = 0; quality <= 4; quality++) {
        Call c = whole(old_value, new_value, quality);
        Outcome out = engine(c);
        EXPECT_EQ(out.code, MYERS_REPLACEMENT) << quality;
        EXPECT_LE(out.budget, 0) << quality;
        EXPECT_EQ(out, reference(c)) << quality;
    }
}

// The exported steps keep their own results when called directly.
TEST(MyersExecution, StepsCalledDirectly) {
    PairMaker make(11);
    const std::string a = make.bytes(120, 3), b = make.edited(a, 3, 12, 6);
    const int32_t N = (int32_t)a.size(), M = (int32_t)b.size();
    struct Step {
        const char *what;
        std::function<bool(execution *, int32_t)> engine;
        std::function<bool(literal::Search &, int32_t)> reference;
    } steps[] = {
        {"middlesnake", [=](execution *e, int32_t limit) { return execution_middlesnake(e, 0, N, 0, M, limit); },
         [=](literal::Search &s, int32_t limit) { return literal::middlesnake(s, 0, N, 0, M, limit); }},
        // 50000^2 wraps to a negative 32-bit value: no full search.
        {"bounded diff, wrapping outer area",
         [=](execution *e, int32_t limit) { return execution_bounded_diff(e, 0, N, 0, M, 50000, 0, limit); },
         [=](literal::Search &s, int32_t limit) { return literal::bounded_diff(s, 0, N, 0, M, 50000, limit); }},
        {"bounded diff", [=](execution *e, int32_t limit) { return execution_bounded_diff(e, 0, N, 0, M, N, 0, limit); },
         [=](literal::Search &s, int32_t limit) { return literal::bounded_diff(s, 0, N, 0, M, N, limit); }},
        {"recurse", [=](execution *e, int32_t) { return execution_recurse(e, 0, N, 0, M, 40, 45, 2); },
         [=](literal::Search &s, int32_t) { return literal::recurse(s, 0, N, 0, M, 40, 45, 2); }},
        {"diff", [=](execution *e, int32_t) { return execution_diff(e, 0, N, 0, M, 12345); },
         [=](literal::Search &s, int32_t) { return literal::diff(s, 0, N, 0, M); }},
        {"trim prefix and suffix", [=](execution *e, int32_t) { return execution_trim_prefix_and_suffix(e, 0, N, 0, M); },
         [=](literal::Search &s, int32_t) { return literal::trim_prefix_and_suffix(s, 0, N, 0, M); }},
        // Straight after creation only diagonal 0 is known: F = (0, 0),
        // R = (N, M), and the gap is the whole problem.
        {"bail",
         [=](execution *e, int32_t limit) {
             return storage_key_forward_set(e->storage, 0, 0) && storage_key_reverse_set(e->storage, 0, N) &&
                    execution_bail(e, 0, N, 0, M, 0, 0, limit);
         },
         [=](literal::Search &s, int32_t limit) {
             s.forward.reset();
             s.reverse.reset();
             s.forward[0] = 0;
             s.reverse[0] = N;
             return literal::bail(s, 0, N, 0, M, 0, 0, limit);
         }},
    };
    buf o = view(a), n = view(b);
    for (auto &step : steps) {
        for (int32_t limit : {0, 1, 4, 1000}) {
            edit_script *es = edit_script_create(&o, &n), *rs = edit_script_create(&o, &n);
            coallescing_script ec = {es, 0, 0, COALLESCING_NONE, 0, 0, true}, rc = ec;
            rc.script = rs;
            execution *e = execution_create(&o, &n, &ec, 2147483647u, 3);
            ASSERT_NE(e, nullptr);
            literal::Search s{&o, &n, &rc, 3, (2147483647u - 3) >> 2};
            bool engine_ok = step.engine(e, limit), reference_ok = step.reference(s, limit);
            EXPECT_EQ(engine_ok, reference_ok) << step.what << " limit " << limit;
            int ecode = engine_ok ? coallescing_script_close(&ec, N, M) : -9;
            int rcode = reference_ok ? coallescing_script_close(&rc, N, M) : -9;
            EXPECT_EQ(outcome_of(es, ecode), outcome_of(rs, rcode)) << step.what << " limit " << limit;
            execution_free(e);
            edit_script_free(es);
            edit_script_free(rs);
        }
    }
}

TEST(MyersBinaryDiff, AllocationFailureIsASearchFailure) {
    std::string a = PairMaker(3).bytes(300, 4), b = PairMaker(4).edited(a, 4, 10, 20);
    Call c = whole(a, b);
    Outcome expected = engine(c);
    ASSERT_EQ(expected.code, MYERS_ORDINARY);
    sweep_allocation_failures([&](long n) {
        buf o = view(a), nb = view(b);
        edit_script *s = edit_script_create(&o, &nb);
        if (!s) return false;
        int code;
        {
            FailAfter fail(n);
            code = myers_binary_diff(&o, 0, c.n, &nb, 0, c.m, s, c.storage_limit, c.search_limit, 0);
        }
        Outcome out = outcome_of(s, code);
        edit_script_free(s);
        EXPECT_TRUE(code == MYERS_REPLACEMENT || out == expected) << n;
        return out == expected;
    });
}

// The engine against the literal formulation on random pairs, at every
// quality, with small and default limits and with ranges inside larger
// values.
TEST(MyersBinaryDiff, MatchesTheLiteralFormulation) {
    const uint32_t seed = test_seed(20240611);
    const long cases = env_long("OSTREL_DIFF_CASES", 4000);
    printf("seed %u (OSTREL_TEST_SEED), %ld cases (OSTREL_DIFF_CASES)\n", seed, cases);
    PairMaker make(seed);
    static const int32_t search_limits[] = {1, 2, 5, 63, 64, 200, 10000};
    static const uint32_t storage_limits[] = {3, 7, 15, 63, 2147483647u, 2147483647u, 2147483647u};
    std::fill(std::begin(literal::hits), std::end(literal::hits), 0);
    long codes[3] = {0, 0, 0};
    for (long i = 0; i < cases && !HasFailure(); i++) {
        std::string old_value, new_value;
        make.pair(&old_value, &new_value);
        Call c = whole(old_value, new_value, (int32_t)make.below(7) - 1, search_limits[make.below(7)],
                       storage_limits[make.below(7)]);
        if (make.below(4) == 0) {  // the ranges inside larger values
            std::string front = make.bytes(make.below(5), 4), back = make.bytes(make.below(5), 4);
            c.x0 = (int32_t)front.size();
            c.old_value = front + old_value + back;
            front = make.bytes(make.below(5), 4);
            c.y0 = (int32_t)front.size();
            c.new_value = front + new_value + make.bytes(make.below(5), 4);
        }
        Outcome expected = reference(c), out = engine(c);
        ASSERT_EQ(out, expected) << "case " << i << ": " << c;
        expect_round_trip(c, out);
        if (out.code >= 0 && out.code <= 2) codes[out.code]++;
    }
    printf("codes: %ld ordinary, %ld replacement, %ld identical\n", codes[0], codes[1], codes[2]);
    for (int b = 0; b < literal::kBranchCount; b++) {
        printf("  %-34s %ld\n", literal::kBranchNames[b], literal::hits[b]);
        // A bail at a progress check needs a limit of 64j - 1 at that very
        // step: too rare for random cases; the crafted ones reach it.
        if (b != literal::kBailAtProgressCheck) {
            EXPECT_GT(literal::hits[b], 0) << literal::kBranchNames[b];
        }
    }
}

#ifdef __SANITIZE_ADDRESS__
const long kLargeMiB = 2;
#else
const long kLargeMiB = 16;
#endif

// Large values of adversarial shapes at every quality: nothing may
// overflow the native stack, and every ordinary delta must rebuild the new
// value. 16 MiB, 2 MiB under the sanitizers; OSTREL_LARGE_MIB overrides.
TEST(MyersBinaryDiff, LargeValues) {
    const size_t size = (size_t)env_long("OSTREL_LARGE_MIB", kLargeMiB) << 20;
    PairMaker make(99);
    struct Shape {
        const char *name;
        std::string old_value, new_value;
    };
    std::vector<Shape> shapes;
    {
        std::string random = make.bytes(size, 256);
        shapes.push_back({"random, few edits", random, make.edited(random, 256, 12, 64)});
        shapes.push_back({"identical", random, random});
    }
    {
        std::string runs = make.alternating(size, 8);
        shapes.push_back({"alternating runs", runs, make.edited(runs, 2, 40, 6)});
    }
    {
        std::string same(size, 'a');
        shapes.push_back({"repeated byte, few changes", same, make.edited(same, 2, 20, 3)});
    }
    {
        // Nothing in common: the budget only runs out near the end, after
        // the search has been through the whole value (seconds at 16 MiB).
        std::string a = make.alternating(size / 4, 3), b = make.alternating(size / 4, 3);
        shapes.push_back({"unrelated runs, quarter size", a, b});
    }
    for (const Shape &shape : shapes) {
        for (int32_t quality = 0; quality <= 4; quality++) {
            Call c = whole(shape.old_value, shape.new_value, quality);
            auto start = std::chrono::steady_clock::now();
            Outcome out = engine(c);
            double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            printf("  %-28s quality %d: code %d, delta %zu bytes, %.2f s\n", shape.name, quality, out.code,
                   out.output.size(), seconds);
            EXPECT_NE(out.code, MYERS_INVALID_RANGE);
            EXPECT_EQ(out.code == MYERS_IDENTICAL, shape.old_value == shape.new_value);
            expect_round_trip(c, out);
        }
    }
}

}  // namespace

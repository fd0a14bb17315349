#include "delta_optimal.h"

#include <divsufsort.h>
#include <algorithm>
#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "delta_generate.h"
#include "delta_optimal_internal.h"
#include "unrelated_values_internal.h"

namespace {

/* Offsets are grouped by the size of their head: class c holds every
 * offset below kClassBound[c], so the classes nest and a match found in
 * one is found in every later one, at a dearer head. */
const int kClasses = 4;
const uint32_t kClassBound[kClasses] = {24, 256, 65536, UINT32_MAX};

/* Lengths (of matches and byte strings) whose heads take 1, 2, 3 and 5 bytes. */
struct span {
    uint32_t low, high;
};
const span kLengthSpans[4] = {{1, 23}, {24, 255}, {256, 65535}, {65536, UINT32_MAX}};

const uint32_t kNone = UINT32_MAX;


/* Work between two calls of the progress function. */
const uint32_t kReportEvery = 1u << 20;

enum outcome { DONE, TOO_LONG, FAILED /* out of memory, or stopped by progress */ };

/* What is known at one position of the new value. First the longest match
 * of each class and an offset that gives it (length 0: none); once the
 * parse has passed the position, the item it chose there. */
union position {
    struct {
        uint32_t length[kClasses];
        uint32_t offset3;
        uint16_t offset2;
        uint8_t offset0, offset1;
    } longest;
    struct {
        uint32_t length;
        uint32_t offset; /* kNone: a byte string */
    } chosen;
};

uint32_t class_offset(const position &p, int c)
{
    return c == 0 ? p.longest.offset0 : c == 1 ? p.longest.offset1 : c == 2 ? p.longest.offset2 : p.longest.offset3;
}

void set_longest(position &p, int c, uint32_t length, uint32_t offset)
{
    p.longest.length[c] = length;
    if (c == 0)
        p.longest.offset0 = (uint8_t)offset;
    else if (c == 1)
        p.longest.offset1 = (uint8_t)offset;
    else if (c == 2)
        p.longest.offset2 = (uint16_t)offset;
    else
        p.longest.offset3 = offset;
}

/* count items of size bytes, or NULL when that does not fit in memory. */
void *allocate(uint64_t count, size_t size)
{
    if (count > SIZE_MAX / size)
        return NULL;
    return ostrel_malloc((size_t)(count * size));
}

class reporter {
public:
    reporter(diff_optimal_progress progress, void *context) : progress_(progress), context_(context) {}

    /* False once the progress function asked to stop. */
    bool report(int stage, uint64_t done, uint64_t total)
    {
        if (progress_ && !stopped_ && progress_(context_, stage, done, total) != 0)
            stopped_ = true;
        return !stopped_;
    }

    /* Reports every kReportEvery steps. */
    bool step(int stage, uint64_t done, uint64_t total)
    {
        return done == 0 || done % kReportEvery != 0 || report(stage, done, total);
    }

private:
    diff_optimal_progress progress_;
    void *context_;
    bool stopped_ = false;
};

/* The suffixes are visited in sorted order, their entries far apart in
 * memory: they are asked for this many suffixes ahead. */
const uint32_t kAhead = 16;

void ask_for(int32_t suffix, const int32_t *lcp, position *table, uint32_t m)
{
    __builtin_prefetch(&lcp[suffix]);
    if ((uint32_t)suffix < m)
        __builtin_prefetch(&table[suffix], 1);
}

}  // namespace

/* Doubles the depth to which the suffixes are sorted, from one byte on:
 * sorted to depth d, their order by the ranks of their suffixes d bytes
 * further on (those that end before come first) is stably sorted by their
 * own ranks, counting, which sorts them to depth 2d. */
bool diff_optimal_sort_small(const uint8_t *text, int32_t *sa, uint32_t total)
{
    if (total > DIFF_OPTIMAL_SMALL_TOTAL)
        return false;
    const uint32_t ranks = total > 256 ? total : 256;
    uint32_t *memory = (uint32_t *)allocate(2 * (uint64_t)total + ranks, sizeof(uint32_t));
    if (!memory)
        return false;
    uint32_t *rank = memory, *other = memory + total, *count = other + total;
    auto sort_by_rank = [&](const uint32_t *order) {
        memset(count, 0, ranks * sizeof(uint32_t));
        for (uint32_t i = 0; i < total; i++)
            count[rank[i]]++;
        for (uint32_t r = 0, sum = 0; r < ranks; r++) {
            const uint32_t c = count[r];
            count[r] = sum;
            sum += c;
        }
        for (uint32_t k = 0; k < total; k++)
            sa[count[rank[order[k]]]++] = (int32_t)order[k];
    };
    for (uint32_t i = 0; i < total; i++) {
        rank[i] = text[i];
        other[i] = i;
    }
    sort_by_rank(other);
    for (uint32_t half = 1, distinct = 0; distinct < total; half *= 2) {
        uint32_t j = 0;
        for (uint32_t i = total > half ? total - half : 0; i < total; i++)
            other[j++] = i;
        for (uint32_t k = 0; k < total; k++)
            if ((uint32_t)sa[k] >= half)
                other[j++] = (uint32_t)sa[k] - half;
        sort_by_rank(other);
        auto second = [&](uint32_t i) { return i + half < total ? rank[i + half] : kNone; };
        distinct = 0;
        for (uint32_t k = 0; k < total; k++) {
            const uint32_t i = (uint32_t)sa[k], before = k ? (uint32_t)sa[k - 1] : 0;
            const bool same = k > 0 && rank[i] == rank[before] && second(i) == second(before);
            other[i] = same ? other[before] : distinct++;
        }
        uint32_t *swap = rank;
        rank = other;
        other = swap;
    }
    ostrel_free(memory);
    return true;
}

namespace {

/* Sorts the suffixes of text into sa; false when out of memory. */
bool sort_suffixes(const uint8_t *text, int32_t *sa, uint32_t total)
{
    return total <= DIFF_OPTIMAL_SMALL_TOTAL ? diff_optimal_sort_small(text, sa, total) : divsufsort(text, sa, (saidx_t)total) == 0;
}

/* Fills a table of every position j of the new value with the longest
 * match of each class, and sets *found to it. The suffixes of new + old
 * are sorted; for a suffix of the new value the longest match among the
 * old suffixes of a class is with the nearest of them before or after it
 * in that order, and its length is the least common prefix of the
 * neighbours between, capped at the end of the new value. (An old suffix
 * ends where the text ends, so its common prefix with anything is never
 * longer than the old value holds.) Each array is allocated once the
 * larger ones before it are freed or no longer grow. */
outcome find_longest(const uint8_t *old, uint32_t n, const uint8_t *nw, uint32_t m, position **found, reporter &r)
{
    const uint32_t total = n + m;
    uint8_t *text = (uint8_t *)allocate(total, 1);
    int32_t *sa = (int32_t *)allocate(total, sizeof(int32_t));
    int32_t *lcp = NULL;
    position *table = NULL;
    outcome o = FAILED;
    if (!text || !sa || !r.report(DIFF_OPTIMAL_SORTING, 0, total))
        goto out;
    memcpy(text, nw, m);
    memcpy(text + m, old, n);
    if (!sort_suffixes(text, sa, total) || !r.report(DIFF_OPTIMAL_SORTING, total, total) ||
        !r.report(DIFF_OPTIMAL_MATCHING, 0, 3 * (uint64_t)total))
        goto out;
    lcp = (int32_t *)allocate(total, sizeof(int32_t));
    if (!lcp)
        goto out;

    /* lcp[s]: the common prefix of suffix s and the one sorted just before
     * it (0 for the first), by the permuted method: first the predecessor
     * of each suffix, then the prefixes, each at least one less than the
     * previous suffix's. */
    for (uint32_t i = 0; i < total; i++) {
        if (i + kAhead < total)
            __builtin_prefetch(&lcp[sa[i + kAhead]], 1);
        lcp[sa[i]] = i ? sa[i - 1] : -1;
    }
    for (uint32_t s = 0, l = 0; s < total; s++) {
        if (!r.step(DIFF_OPTIMAL_MATCHING, s, 3 * (uint64_t)total))
            goto out;
        if (s + kAhead < total && lcp[s + kAhead] >= 0)
            __builtin_prefetch(&text[lcp[s + kAhead]]);
        int32_t before = lcp[s];
        if (before < 0) {
            lcp[s] = 0;
            l = 0;
            continue;
        }
        while (s + l < total && (uint32_t)before + l < total && text[s + l] == text[before + l])
            l++;
        lcp[s] = (int32_t)l;
        l = l ? l - 1 : 0;
    }
    ostrel_free(text);
    text = NULL;
    table = (position *)allocate(m, sizeof(position));
    if (!table)
        goto out;

    {
        /* Forward: the nearest old suffix of each class sorted before. */
        uint32_t nearest[kClasses] = {kNone, kNone, kNone, kNone}, common[kClasses] = {0, 0, 0, 0};
        for (uint32_t i = 0; i < total; i++) {
            if (!r.step(DIFF_OPTIMAL_MATCHING, total + i, 3 * (uint64_t)total))
                goto out;
            if (i + kAhead < total)
                ask_for(sa[i + kAhead], lcp, table, m);
            const uint32_t s = (uint32_t)sa[i], l = (uint32_t)lcp[s];
            for (int c = 0; c < kClasses; c++)
                common[c] = common[c] < l ? common[c] : l;
            if (s >= m) {
                for (int c = 0; c < kClasses; c++)
                    if (s - m < kClassBound[c]) {
                        nearest[c] = s - m;
                        common[c] = kNone;
                    }
                continue;
            }
            for (int c = 0; c < kClasses; c++) {
                uint32_t length = nearest[c] == kNone ? 0 : common[c] < m - s ? common[c] : m - s;
                set_longest(table[s], c, length, length ? nearest[c] : 0);
            }
        }
        /* Backward: the nearest sorted after; the longer wins, then the smaller offset. */
        for (int c = 0; c < kClasses; c++) {
            nearest[c] = kNone;
            common[c] = 0;
        }
        for (uint32_t i = total; i-- > 0;) {
            if (!r.step(DIFF_OPTIMAL_MATCHING, 3 * (uint64_t)total - 1 - i, 3 * (uint64_t)total))
                goto out;
            if (i >= kAhead)
                ask_for(sa[i - kAhead], lcp, table, m);
            const uint32_t s = (uint32_t)sa[i], l = (uint32_t)lcp[s];
            if (s >= m) {
                for (int c = 0; c < kClasses; c++)
                    if (s - m < kClassBound[c]) {
                        nearest[c] = s - m;
                        common[c] = kNone;
                    }
            } else {
                for (int c = 0; c < kClasses; c++) {
                    uint32_t length = nearest[c] == kNone ? 0 : common[c] < m - s ? common[c] : m - s;
                    const uint32_t known = table[s].longest.length[c];
                    if (length > known || (length > 0 && length == known && nearest[c] < class_offset(table[s], c)))
                        set_longest(table[s], c, length, nearest[c]);
                }
            }
            for (int c = 0; c < kClasses; c++)
                common[c] = common[c] < l ? common[c] : l;
        }
    }
    o = r.report(DIFF_OPTIMAL_MATCHING, 3 * (uint64_t)total, 3 * (uint64_t)total) ? DONE : FAILED;
out:
    ostrel_free(text);
    ostrel_free(sa);
    ostrel_free(lcp);
    if (o == DONE)
        *found = table;
    else
        ostrel_free(table);
    return o;
}

/* Minima over ranges of the cheapest costs, set from right to left. The
 * costs come in blocks of kBlock. suffix_ holds the least cost from each
 * position to the end of its block, set with the cost; once a block is
 * complete (its first cost set), prefix_ holds the least from its start to
 * each position, and runs_ at level k the least cost of the 2^k blocks
 * from it on. A range within one block is read cost by cost; a longer one
 * as the suffix of its first block, the prefix of its last and two runs of
 * whole blocks that cover the rest. */
class range_min {
public:
    ~range_min()
    {
        ostrel_free(cost_);
        ostrel_free(runs_);
    }

    bool create(uint32_t size)
    {
        size_ = size;
        blocks_ = (size - 1) / kBlock + 1;
        while (((uint32_t)1 << levels_) <= blocks_)
            levels_++;
        cost_ = (uint32_t *)allocate(size, 3 * sizeof(uint32_t));
        runs_ = (uint32_t *)allocate((uint64_t)levels_ * blocks_, sizeof(uint32_t));
        suffix_ = cost_ + size;
        prefix_ = suffix_ + size;
        return cost_ && runs_;
    }

    uint32_t at(uint32_t i) const { return cost_[i]; }

    void set(uint32_t i, uint32_t value)
    {
        cost_[i] = value;
        suffix_[i] = (i + 1) % kBlock != 0 && i + 1 < size_ && suffix_[i + 1] < value ? suffix_[i + 1] : value;
        if (i % kBlock != 0)
            return;
        const uint32_t b = i / kBlock, end = i + kBlock < size_ ? i + kBlock : size_;
        for (uint32_t k = i, least = kNone; k < end; k++)
            prefix_[k] = least = cost_[k] < least ? cost_[k] : least;
        runs_[b] = suffix_[i];
        for (uint32_t k = 1, half = 1; k < levels_; k++, half *= 2) {
            const uint32_t *below = runs_ + (size_t)(k - 1) * blocks_;
            runs_[(size_t)k * blocks_ + b] = b + half < blocks_ && below[b + half] < below[b] ? below[b + half] : below[b];
        }
    }

    /* The least cost in [a, b], which are set. */
    uint32_t least(uint32_t a, uint32_t b) const
    {
        const uint32_t first = a / kBlock, last = b / kBlock;
        if (first == last) {
            uint32_t result = kNone;
            for (uint32_t i = a; i <= b; i++)
                result = cost_[i] < result ? cost_[i] : result;
            return result;
        }
        uint32_t result = suffix_[a] < prefix_[b] ? suffix_[a] : prefix_[b];
        if (last - first > 1) {
            const uint32_t runs = whole(first + 1, last - 1);
            result = runs < result ? runs : result;
        }
        return result;
    }

    /* The last position in [a, b] that holds value, the range's least. */
    uint32_t last(uint32_t a, uint32_t b, uint32_t value) const
    {
        const uint32_t first = a / kBlock, final = b / kBlock;
        if (final != first && prefix_[b] != value) {
            uint32_t low = first + 1, high = final - 1;
            if (low <= high && whole(low, high) == value) {
                /* The last whole block that holds it, by halving. */
                while (low < high) {
                    uint32_t middle = low + (high - low + 1) / 2;
                    if (whole(middle, high) == value)
                        low = middle;
                    else
                        high = middle - 1;
                }
                b = low * kBlock + kBlock - 1;
            } else {
                b = first * kBlock + kBlock - 1;
            }
        }
        while (cost_[b] != value)
            b--;
        return b;
    }

private:
    static const uint32_t kBlock = 32;

    /* The least cost of the whole blocks first .. last. */
    uint32_t whole(uint32_t first, uint32_t last) const
    {
        const uint32_t k = 31 - (uint32_t)__builtin_clz(last - first + 1);
        const uint32_t *level = runs_ + (size_t)k * blocks_;
        const uint32_t x = level[first], y = level[last + 1 - ((uint32_t)1 << k)];
        return x < y ? x : y;
    }

    uint32_t *cost_ = nullptr, *suffix_ = nullptr, *prefix_ = nullptr; /* one allocation */
    uint32_t *runs_ = nullptr;
    uint32_t size_ = 0, blocks_ = 0, levels_ = 1;
};

/* The least of cost[i] + i over the positions i in [j + low, j + high] as
 * j moves left, the last such position on ties (the longest byte string):
 * positions in a ring, their values rising from the front. */
class window_min {
public:
    ~window_min() { ostrel_free(ring_); }

    /* For ends in [0, m]: the window never holds more than m + 1 positions. */
    bool create(span lengths, uint32_t m)
    {
        lengths_ = lengths;
        while (mask_ < lengths.high - lengths.low && mask_ < m)
            mask_ = 2 * mask_ + 1;
        ring_ = (uint32_t *)allocate(mask_ + 1, sizeof(uint32_t));
        return ring_ != NULL;
    }

    /* Moves the window to j: position j + low enters, j + high + 1 leaves. */
    void move(uint32_t j, uint32_t m, const range_min &cost)
    {
        if (count_ > 0 && ring_[front_] > j + lengths_.high) {
            front_ = (front_ + 1) & mask_;
            count_--;
        }
        if (j + lengths_.low > m)
            return;
        const uint32_t entering = j + lengths_.low, value = cost.at(entering) + entering;
        while (count_ > 0) {
            uint32_t back = ring_[(front_ + count_ - 1) & mask_];
            if (cost.at(back) + back <= value)
                break;
            count_--;
        }
        ring_[(front_ + count_) & mask_] = entering;
        count_++;
    }

    /* The best position, or kNone when the window is empty. */
    uint32_t best() const { return count_ ? ring_[front_] : kNone; }

private:
    span lengths_ = {0, 0};
    uint32_t *ring_ = nullptr;
    uint32_t mask_ = 0, front_ = 0, count_ = 0; /* the ring holds mask_ + 1 positions */
};

/* The cheapest parse of the new value, right to left: cost[j], the least
 * a delta for new[j, m) takes, is the least over every item that can start
 * at j of its price plus cost[j + its length]. A match of class c can be
 * of any length up to the class's longest; lengths that a cheaper class
 * reaches are left to it, and the rest are split where the length's head
 * grows, so each piece is one range minimum. Byte strings of each head
 * size end in a window that slides with j. Each position's choice replaces
 * its longest matches in table. Ties go to the first item tried (matches
 * by class, then byte strings from the longest), and within a range to
 * the longest item. Sets *size to cost[0]. */
outcome parse(uint32_t m, position *table, reporter &r, uint32_t *size)
{
    range_min cost;
    window_min windows[3];
    if (!cost.create(m + 1) || !windows[0].create(kLengthSpans[0], m) || !windows[1].create(kLengthSpans[1], m) ||
        !windows[2].create(kLengthSpans[2], m) || !r.report(DIFF_OPTIMAL_PARSING, 0, m))
        return FAILED;
    cost.set(m, 0);
    /* Byte strings of 65536 bytes or more: the best end so far, which never leaves. */
    uint32_t far = kNone;
    for (uint32_t j = m; j-- > 0;) {
        if (!r.step(DIFF_OPTIMAL_PARSING, m - 1 - j, m))
            return FAILED;
        uint32_t best = kNone, from = 0, to = 0, offset = kNone;
        const position &here = table[j];
        uint32_t reached = 0;
        for (int c = 0; c < kClasses; c++) {
            const uint32_t longest = here.longest.length[c];
            if (longest <= reached)
                continue;
            const uint32_t head = (uint32_t)cbor_head_size(class_offset(here, c));
            for (const span &s : kLengthSpans) {
                uint32_t low = reached + 1 > s.low ? reached + 1 : s.low, high = longest < s.high ? longest : s.high;
                if (low > high)
                    continue;
                uint32_t price = head + (uint32_t)cbor_head_size(s.low) + cost.least(j + low, j + high);
                if (price < best) {
                    best = price;
                    from = j + low;
                    to = j + high;
                    offset = class_offset(here, c);
                }
            }
            reached = longest;
        }
        uint32_t end = 0;
        if (j + kLengthSpans[3].low <= m) {
            const uint32_t entering = j + kLengthSpans[3].low;
            if (far == kNone || cost.at(entering) + entering < cost.at(far) + far)
                far = entering;
        }
        uint32_t ends[4] = {kNone, kNone, kNone, far};
        for (int w = 0; w < 3; w++) {
            windows[w].move(j, m, cost);
            ends[w] = windows[w].best();
        }
        for (int w = 3; w >= 0; w--) {
            if (ends[w] == kNone)
                continue;
            uint32_t price = (uint32_t)cbor_head_size(kLengthSpans[w].low) + cost.at(ends[w]) + ends[w] - j;
            if (price < best) {
                best = price;
                end = ends[w];
                offset = kNone;
            }
        }
        if (offset != kNone)
            end = cost.last(from, to, best - (uint32_t)cbor_head_size(offset) - (uint32_t)cbor_head_size(from - j));
        table[j].chosen.length = end - j;
        table[j].chosen.offset = offset;
        cost.set(j, best);
    }
    *size = cost.at(0);
    return r.report(DIFF_OPTIMAL_PARSING, m, m) ? DONE : FAILED;
}

/* Writes the chosen items from position 0 on into out, which has room for size bytes. */
void write_parse(const uint8_t *nw, uint32_t m, const position *table, uint8_t *out)
{
    for (uint32_t j = 0; j < m; j += table[j].chosen.length) {
        const uint32_t length = table[j].chosen.length, offset = table[j].chosen.offset;
        if (offset == kNone) {
            out += cbor_head_encode(2, length, out);
            memcpy(out, nw + j, length);
            out += length;
        } else {
            out += cbor_head_encode(0, offset, out);
            out += cbor_head_encode(0, length, out);
        }
    }
}

/* The ordinary delta when it is shorter than the new value (DONE), TOO_LONG when not. */
outcome optimal_delta(const uint8_t *old, uint32_t n, const uint8_t *nw, uint32_t m, reporter &r, buf *out)
{
    position *table = NULL;
    uint32_t size = 0;
    outcome o = find_longest(old, n, nw, m, &table, r);
    if (o == DONE)
        o = parse(m, table, r, &size);
    if (o == DONE && size >= m)
        o = TOO_LONG;
    if (o == DONE) {
        out->data = (char *)ostrel_malloc(size);
        if (out->data) {
            out->len = out->capacity = size;
            write_parse(nw, m, table, (uint8_t *)out->data);
        } else {
            o = FAILED;
        }
    }
    ostrel_free(table);
    return o;
}

}  // namespace

buf *diff_optimal_binary(const buf *old_value, const buf *new_value, diff_optimal_progress progress, void *context)
{
    if (!old_value || !new_value || (!old_value->data && old_value->len > 0) ||
        (!new_value->data && new_value->len > 0) || old_value->len > DIFF_OPTIMAL_MAX_TOTAL ||
        new_value->len > DIFF_OPTIMAL_MAX_TOTAL - old_value->len)
        return NULL;
    const uint32_t n = (uint32_t)old_value->len, m = (uint32_t)new_value->len;
    if (m >= 2 && n == m && memcmp(old_value->data, new_value->data, m) == 0) {
        buf *result = buf_create();
        if (result)
            buf_write_byte(result, 0xF6);
        if (result && result->len != 1) {
            buf_free(result);
            result = NULL;
        }
        return result;
    }
    /* Without an old value only byte strings are left, and values shown to
     * be unrelated have no ordinary delta shorter than the new value: the
     * replacement delta either way. */
    if (m == 0 || n == 0 || diff_values_unrelated(old_value, new_value))
        return _write_replacement_delta(new_value);
    buf *out = buf_create();
    if (!out)
        return NULL;
    reporter r(progress, context);
    outcome o = optimal_delta((const uint8_t *)old_value->data, n, (const uint8_t *)new_value->data, m, r, out);
    if (o == TOO_LONG) {
        buf_free(out);
        return _write_replacement_delta(new_value);
    }
    if (o == FAILED) {
        buf_free(out);
        return NULL;
    }
    return out;
}

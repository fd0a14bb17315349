#include "myers.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>

#include "alloc.h"
#include "bits.h"
#include "storage_internal.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

/* The search runs as a loop over an explicit stack of pending steps, not
 * as native recursion: the nesting grows with the input (a bail-out may
 * shave only a few bytes off the problem before the next search), and no
 * input may exhaust the native stack. A step that must run A, then B, then
 * C pushes C, B, A, so that everything A reports precedes B's output, as in
 * the recursive order. Any false aborts the whole search, so a failure
 * just drops whatever is still pending.
 *
 * middlesnake, recurse and bail are only reached as the last step of their
 * caller (diff or trim -> middlesnake -> recurse or bail), and recurse,
 * bail and bounded_diff push all their sub-steps: native calls never nest
 * deeper than that short chain. */

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the word-at-a-time comparisons below locate the first differing byte by bit order");

namespace {

/* A 32-bit result computed modulo 2^32, as the engine's 32-bit arithmetic gives it. */
int32_t wrap32(uint32_t v)
{
    return (int32_t)v;
}

#ifdef __SSE2__
__m128i load16(const unsigned char *p)
{
    return _mm_loadu_si128((const __m128i *)p);
}
#endif

/* Length of the common prefix of a[0, n) and b[0, n): 64 bytes per
 * round with SSE2, then eight bytes at a time, then bytes. */
size_t common_prefix(const unsigned char *a, const unsigned char *b, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; n - i >= 64; i += 64) {
        __m128i e0 = _mm_cmpeq_epi8(load16(a + i), load16(b + i));
        __m128i e1 = _mm_cmpeq_epi8(load16(a + i + 16), load16(b + i + 16));
        __m128i e2 = _mm_cmpeq_epi8(load16(a + i + 32), load16(b + i + 32));
        __m128i e3 = _mm_cmpeq_epi8(load16(a + i + 48), load16(b + i + 48));
        if (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3))) != 0xFFFF)
            break;
    }
    for (; n - i >= 16; i += 16) {
        unsigned equal = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(load16(a + i), load16(b + i)));
        if (equal != 0xFFFF)
            return i + (size_t)__builtin_ctz(~equal);
    }
#endif
    for (; n - i >= 8; i += 8) {
        uint64_t wa, wb;
        memcpy(&wa, a + i, 8);
        memcpy(&wb, b + i, 8);
        if (wa != wb)
            return i + (size_t)(__builtin_ctzll(wa ^ wb) >> 3);
    }
    while (i < n && a[i] == b[i])
        i++;
    return i;
}

/* Length of the common suffix of the n bytes ending at a_end and b_end. */
size_t common_suffix(const unsigned char *a_end, const unsigned char *b_end, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; n - i >= 64; i += 64) {
        const unsigned char *a = a_end - i - 64, *b = b_end - i - 64;
        __m128i e0 = _mm_cmpeq_epi8(load16(a), load16(b));
        __m128i e1 = _mm_cmpeq_epi8(load16(a + 16), load16(b + 16));
        __m128i e2 = _mm_cmpeq_epi8(load16(a + 32), load16(b + 32));
        __m128i e3 = _mm_cmpeq_epi8(load16(a + 48), load16(b + 48));
        if (_mm_movemask_epi8(_mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3))) != 0xFFFF)
            break;
    }
    for (; n - i >= 16; i += 16) {
        unsigned equal =
            (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(load16(a_end - i - 16), load16(b_end - i - 16)));
        /* Bit 15 is the last byte of the block: count equal bytes down from it. */
        if (equal != 0xFFFF)
            return i + (size_t)(__builtin_clz(~equal << 16));
    }
#endif
    for (; n - i >= 8; i += 8) {
        uint64_t wa, wb;
        memcpy(&wa, a_end - i - 8, 8);
        memcpy(&wb, b_end - i - 8, 8);
        if (wa != wb)
            return i + (size_t)(__builtin_clzll(wa ^ wb) >> 3);
    }
    while (i < n && a_end[-1 - (ptrdiff_t)i] == b_end[-1 - (ptrdiff_t)i])
        i++;
    return i;
}

/* A sub-problem: old [x0, x0 + n) against new [y0, y0 + m), absolute. */
struct range {
    int32_t x0, n, y0, m;
};

struct point {
    int32_t x, y;
};

enum class step : int32_t { match, insert, remove, diff, trim_suffix, trim_prefix, bounded_diff };

/* arg holds (position, length) for match and insert, (prefix length,
 * limit) for trim_suffix, (limit, -) for trim_prefix and (outer old length,
 * limit) for bounded_diff; diff takes its limit from the execution. */
struct task {
    step kind;
    range r;
    int32_t arg[2];
};

task match_task(int32_t position, int32_t length) { return {step::match, {}, {position, length}}; }
task insert_task(int32_t position, int32_t length) { return {step::insert, {}, {position, length}}; }
task remove_task() { return {step::remove, {}, {0, 0}}; }
task diff_task(range r) { return {step::diff, r, {0, 0}}; }
task trim_suffix_task(range r, int32_t prefix, int32_t limit) { return {step::trim_suffix, r, {prefix, limit}}; }
task trim_prefix_task(range r, int32_t limit) { return {step::trim_prefix, r, {limit, 0}}; }
task bounded_diff_task(range r, int32_t outer_n, int32_t limit) { return {step::bounded_diff, r, {outer_n, limit}}; }

class search {
public:
    explicit search(execution *e) : e_(e) {}
    ~search() { ostrel_free(tasks_); }
    search(const search &) = delete;
    search &operator=(const search &) = delete;

    /* Runs the pending steps in order; false as soon as one fails. */
    bool drain();

    bool diff(range r);
    bool trim_suffix(range r, int32_t p, int32_t limit);
    bool trim_prefix(range r, int32_t limit);
    bool middlesnake(range r, int32_t limit);
    bool recurse(range r, int32_t s, int32_t e, int32_t k);
    bool bail(range r, int32_t cn, int32_t cm, int32_t limit);
    bool bounded_diff(range r, int32_t outer_n, int32_t limit);

private:
    /* Schedules the steps to run in the order given. */
    bool then(std::initializer_list<task> steps);
    bool run(const task &t);

    int32_t prefix_length(range r) const;
    int32_t suffix_start(range r, int32_t p) const;
    void frontiers(range r, int32_t cn, int32_t cm, point *f, point *rp) const;

    execution *e_;
    task *tasks_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

bool search::then(std::initializer_list<task> steps)
{
    if (capacity_ - count_ < steps.size()) {
        if (capacity_ > SIZE_MAX / 2 / sizeof(task))
            return false;
        size_t capacity = capacity_ ? 2 * capacity_ : 64;
        task *grown = (task *)ostrel_realloc(tasks_, capacity * sizeof(task));
        if (!grown)
            return false;
        tasks_ = grown;
        capacity_ = capacity;
    }
    for (auto it = steps.end(); it != steps.begin();)
        tasks_[count_++] = *--it;
    return true;
}

bool search::drain()
{
    while (count_ > 0) {
        task t = tasks_[--count_];
        if (!run(t)) {
            count_ = 0;
            return false;
        }
    }
    return true;
}

bool search::run(const task &t)
{
    coallescing_script *c = e_->script;
    switch (t.kind) {
    case step::match:
        return coallescing_script_match(c, t.arg[0], t.arg[1]);
    case step::insert:
        return coallescing_script_insert(c, t.arg[0], t.arg[1]);
    case step::remove:
        return coallescing_script_delete(c);
    case step::diff:
        return diff(t.r);
    case step::trim_suffix:
        return trim_suffix(t.r, t.arg[0], t.arg[1]);
    case step::trim_prefix:
        return trim_prefix(t.r, t.arg[0]);
    case step::bounded_diff:
        return bounded_diff(t.r, t.arg[0], t.arg[1]);
    }
    return false;
}

/* The two values' bytes, read out of the execution once per search. */
struct values {
    const unsigned char *old_data, *new_data;
    uint64_t old_len, new_len;
};

values values_of(const execution *e)
{
    return {(const unsigned char *)e->old_buf->data, (const unsigned char *)e->new_buf->data, e->old_buf->len,
            e->new_buf->len};
}

/* Number of equal bytes from old[old_pos] and new[new_pos] on, at most
 * limit. Positions outside a value (negative ones included, compared
 * unsigned) compare as unequal, so no read leaves the buffers whatever a
 * direct caller of the steps passes. Inlined into the middle-snake loops,
 * where most snakes end at their first byte. */
inline __attribute__((always_inline)) int32_t count_forward(const values &v, int64_t old_pos, int64_t new_pos,
                                                            int64_t limit)
{
    if (limit <= 0 || (uint64_t)old_pos >= v.old_len || (uint64_t)new_pos >= v.new_len)
        return 0;
    const unsigned char *a = v.old_data + old_pos, *b = v.new_data + new_pos;
    if (*a != *b)
        return 0;
    limit = std::min({limit, (int64_t)(v.old_len - (uint64_t)old_pos), (int64_t)(v.new_len - (uint64_t)new_pos)});
    return (int32_t)common_prefix(a, b, (size_t)limit);
}

/* Equal bytes going backwards from old[old_end - 1] and new[new_end - 1]. */
inline __attribute__((always_inline)) int32_t count_backward(const values &v, int64_t old_end, int64_t new_end,
                                                             int64_t limit)
{
    if (limit <= 0 || (uint64_t)old_end - 1 >= v.old_len || (uint64_t)new_end - 1 >= v.new_len)
        return 0;
    const unsigned char *a_end = v.old_data + old_end, *b_end = v.new_data + new_end;
    if (a_end[-1] != b_end[-1])
        return 0;
    limit = std::min({limit, old_end, new_end});
    return (int32_t)common_suffix(a_end, b_end, (size_t)limit);
}

int32_t search::prefix_length(range r) const
{
    return count_forward(values_of(e_), r.x0, r.y0, std::min(r.n, r.m));
}

/* Old end of the middle once the common suffix is cut: the suffix may not
 * reach into the p bytes already matched at the front. */
int32_t search::suffix_start(range r, int32_t p) const
{
    int64_t lower = (int64_t)p + std::max(0, r.n - r.m);
    return r.n - count_backward(values_of(e_), (int64_t)r.x0 + r.n, (int64_t)r.y0 + r.m, r.n - lower);
}

/* A step over a range of negative length can only come from a direct
 * caller of the exported steps (the search never makes one): it is refused,
 * since searching it would never end. */
bool negative(range r)
{
    return r.n < 0 || r.m < 0;
}

bool search::diff(range r)
{
    if (negative(r))
        return false;
    int32_t i = prefix_length(r);
    if (!coallescing_script_match(e_->script, r.x0, i))
        return false;
    return trim_suffix(r, i, e_->search_limit);
}

bool search::trim_suffix(range r, int32_t p, int32_t limit)
{
    if (negative(r) || p < 0 || p > std::min(r.n, r.m))
        return false;
    int32_t i = suffix_start(r, p);
    int32_t j = i + (r.m - r.n);
    if (!then({match_task(r.x0 + i, r.n - i)}))
        return false;
    if (i == p)
        return coallescing_script_insert(e_->script, r.y0 + p, r.m - r.n);
    if (j == p)
        return coallescing_script_delete(e_->script);
    return middlesnake({r.x0 + p, i - p, r.y0 + p, j - p}, limit);
}

bool search::trim_prefix(range r, int32_t limit)
{
    if (negative(r))
        return false;
    int32_t i = prefix_length(r);
    if (!coallescing_script_match(e_->script, r.x0, i))
        return false;
    if (i == r.n)
        return coallescing_script_insert(e_->script, r.y0 + r.n, r.m - r.n);
    if (i == r.m)
        return coallescing_script_delete(e_->script);
    return middlesnake({r.x0 + i, r.n - i, r.y0 + i, r.m - i}, limit);
}

/* Furthest points of both searches after the step whose corners are cn
 * and cm. F maximises x + y over the forward diagonals, R minimises it over
 * the reverse ones; both keep the first diagonal on a tie, and the sums are
 * compared as unsigned 32-bit values. */
void search::frontiers(range r, int32_t cn, int32_t cm, point *f, point *rp) const
{
    const storage *s = e_->storage;
    const int32_t delta = r.n - r.m;

    *f = {0, 0};
    uint32_t best = 0;
    for (int32_t k = -cn; k <= cm; k += 2) {
        int64_t x = std::min({(int64_t)storage_key_forward_get(s, k), (int64_t)r.n, (int64_t)r.m - k});
        uint32_t sum = (uint32_t)x + (uint32_t)(x + k);
        if (sum > best) {
            best = sum;
            *f = {(int32_t)x, (int32_t)(x + k)};
        }
    }

    *rp = {r.n, r.m};
    best = (uint32_t)r.n + (uint32_t)r.m;
    for (int32_t rr = -cm; rr <= cn; rr += 2) {
        int64_t x = std::max({(int64_t)storage_key_reverse_get(s, rr), (int64_t)0, (int64_t)delta - rr});
        int64_t y = x - ((int64_t)delta - rr);
        uint32_t sum = (uint32_t)x + (uint32_t)y;
        if (sum < best) {
            best = sum;
            *rp = {(int32_t)x, (int32_t)y};
        }
    }
}

/* One bounded middle-snake search. Forward diagonal k = y - x, reverse
 * diagonal r = (N - x) - (M - y) = k + delta. */
bool search::middlesnake(range r, int32_t limit)
{
    if (negative(r))
        return false;
    storage *s = e_->storage;
    const values v = values_of(e_);
    const int32_t delta = r.n - r.m;
    /* Which pass tests for the overlap. A mask rather than the parity of
     * delta: both choices find a middle snake, and this one fixes which. */
    const bool overlap_in_forward = ((uint32_t)delta & 0xB1u) == 0xB1u;

    if (!storage_initialise(s, 1) || !storage_key_forward_set(s, 0, 0) || !storage_key_reverse_set(s, 0, r.n))
        return false;

    /* When the range lies inside both values (always, from
     * myers_binary_diff), a snake that starts inside the rectangle is
     * compared straight from the range's bytes: count_forward and
     * count_backward would check nothing there that can fail, and take
     * the rectangle's edge as the limit. Everything else goes through them. */
    const bool inside = r.x0 >= 0 && r.n >= 0 && (uint64_t)r.x0 + (uint64_t)r.n <= v.old_len && r.y0 >= 0 &&
                        r.m >= 0 && (uint64_t)r.y0 + (uint64_t)r.m <= v.new_len;
    const unsigned char *old_r = inside ? v.old_data + r.x0 : nullptr;
    const unsigned char *new_r = inside ? v.new_data + r.y0 : nullptr;

    for (int32_t d = 1;; d++) {
        const int32_t cn = myers_binary_diff_corner(d, r.n);
        const int32_t cm = myers_binary_diff_corner(d, r.m);
        /* Step d touches the diagonals -(d + 1) .. d + 1, whose cells end
         * at 4d + 6: storage_initialise (d = 1) and storage_extend(d) made
         * room for 4d + 11, so the cells are read directly. */
        if (s->cell_capacity < 4 * (uint64_t)d + 7)
            return false;
        int32_t *cells = s->cells;

        /* storage_key_forward_get_next: max(V[k + 1] + 1, V[k - 1]). The
         * pass writes only V[k], so V[k + 1] serves again as the next
         * diagonal's V[k - 1]. */
        int32_t below = cells[storage_cell_forward(-cn - 1)];
        for (int32_t k = -cn; k <= cm; k += 2) {
            int32_t above = cells[storage_cell_forward(k + 1)];
            int32_t x = above >= below ? (int32_t)((uint32_t)above + 1) : below;
            below = above;
            const int64_t y = (int64_t)x + k;
            int32_t x_end = x;
            if (inside && (uint32_t)x < (uint32_t)r.n && (uint64_t)y < (uint64_t)r.m) {
                if (old_r[x] == new_r[y])
                    x_end += (int32_t)common_prefix(old_r + x, new_r + y, (size_t)std::min((int64_t)r.n - x, r.m - y));
            } else {
                int64_t room = std::min((int64_t)r.m - y, (int64_t)r.n - x);
                x_end += count_forward(v, (int64_t)r.x0 + x, (int64_t)r.y0 + y, room);
            }
            if (overlap_in_forward) {
                int32_t rr = delta + k;
                if (abs(rr) < d && cells[storage_cell_reverse(rr)] <= x_end)
                    return recurse(r, x, x_end, k);
            }
            cells[storage_cell_forward(k)] = x_end;
        }

        /* storage_key_reverse_get_next: min(V[r + 1], V[r - 1] - 1). */
        below = cells[storage_cell_reverse(-cm - 1)];
        for (int32_t rr = -cm; rr <= cn; rr += 2) {
            int32_t above = cells[storage_cell_reverse(rr + 1)];
            int32_t x = above >= below ? (int32_t)((uint32_t)below - 1) : above;
            below = above;
            const int64_t y = (int64_t)x - ((int64_t)delta - rr);
            int32_t x_start = x;
            if (inside && (uint32_t)x - 1 < (uint32_t)r.n && (uint64_t)y - 1 < (uint64_t)r.m) {
                if (old_r[x - 1] == new_r[y - 1])
                    x_start -= (int32_t)common_suffix(old_r + x, new_r + y, (size_t)std::min((int64_t)x, y));
            } else {
                int64_t lower = std::max((int64_t)0, (int64_t)delta - rr);
                x_start -= count_backward(v, (int64_t)r.x0 + x, (int64_t)r.y0 + y, x - lower);
            }
            if (!overlap_in_forward) {
                int32_t k = rr - delta;
                if (abs(k) <= d && cells[storage_cell_forward(k)] >= x_start)
                    return recurse(r, x_start, x, k);
            }
            cells[storage_cell_reverse(rr)] = x_start;
        }

        if (d % 64 != 0) {
            if (d > limit)
                return bail(r, cn, cm, limit);
        } else {
            /* Progress check: if both searches together have advanced less
             * than d * p, with p about the square root of d, tighten the
             * allowance instead of bailing at this step. */
            point f, rp;
            frontiers(r, cn, cm, &f, &rp);
            int64_t covered = ((int64_t)f.x + f.y) + ((int64_t)r.n + r.m - rp.x - rp.y);
            int64_t p = 1;
            for (int32_t t = d; t != 0; t >>= 2)
                p <<= 1;
            if (covered < (int64_t)d * p)
                limit -= 48;
            else if (d > limit)
                return bail(r, cn, cm, limit);
        }

        if (!storage_extend(s, d + 1))
            return false;
    }
}

/* The snake runs from (s, s + k) to (e, e + k). */
bool search::recurse(range r, int32_t s, int32_t e, int32_t k)
{
    if (negative(r))
        return false;
    const int32_t limit = e_->search_limit;
    return then({trim_suffix_task({r.x0, s, r.y0, s + k}, 0, limit), match_task(r.x0 + s, e - s),
                 trim_prefix_task({r.x0 + e, r.n - e, r.y0 + e + k, r.m - e - k}, limit)});
}

bool search::bail(range r, int32_t cn, int32_t cm, int32_t limit)
{
    if (negative(r))
        return false;
    const int32_t full = e_->search_limit;
    point f, rp;
    frontiers(r, cn, cm, &f, &rp);
    /* A search always leaves its frontiers inside the rectangle; a direct
     * caller's execution whose cells were never searched may not. */
    if (f.x < 0 || f.y < 0 || f.x > r.n || f.y > r.m || rp.x < 0 || rp.y < 0 || rp.x > r.n || rp.y > r.m)
        return false;

    if (f.x < rp.x && f.y < rp.y)
        return then({trim_suffix_task({r.x0, f.x, r.y0, f.y}, 0, full),
                     bounded_diff_task({r.x0 + f.x, rp.x - f.x, r.y0 + f.y, rp.y - f.y}, r.n, limit),
                     trim_prefix_task({r.x0 + rp.x, r.n - rp.x, r.y0 + rp.y, r.m - rp.y}, full)});

    /* The split rules use 32-bit sums and products that wrap for values
     * near 2^31: which rule they pick shapes the delta. */
    const bool at_f = wrap32((uint32_t)r.n + (uint32_t)r.m - (uint32_t)rp.x - (uint32_t)rp.y) <=
                      wrap32((uint32_t)f.x + (uint32_t)f.y);
    const point p = at_f ? f : rp;

    /* A split on an edge of a long thin rectangle would leave one side
     * nearly whole: cut the long side in half instead. */
    if (r.n > r.m && (p.y == 0 || p.y == r.m) && r.n >= wrap32(8u * (uint32_t)std::min(p.x, r.n - p.x))) {
        int32_t h = r.n / 2;
        return then({trim_suffix_task({r.x0, h, r.y0, p.y}, 0, limit / 2),
                     trim_prefix_task({r.x0 + h, r.n - h, r.y0 + p.y, r.m - p.y}, limit / 2)});
    }
    if (r.n <= r.m && (p.x == 0 || p.x == r.n) && r.m >= wrap32(8u * (uint32_t)std::min(p.y, r.m - p.y))) {
        int32_t h = r.m / 2;
        return then({trim_suffix_task({r.x0, p.x, r.y0, h}, 0, limit / 2),
                     trim_prefix_task({r.x0 + p.x, r.n - p.x, r.y0 + h, r.m - h}, limit / 2)});
    }
    return then({trim_suffix_task({r.x0, p.x, r.y0, p.y}, 0, full),
                 trim_prefix_task({r.x0 + p.x, r.n - p.x, r.y0 + p.y, r.m - p.y}, full)});
}

bool search::bounded_diff(range r, int32_t outer_n, int32_t limit)
{
    if (negative(r))
        return false;
    /* 32-bit products that wrap: which branch they pick shapes the delta. */
    const int32_t area = wrap32((uint32_t)r.n * (uint32_t)r.m);
    const int32_t outer_area = wrap32((uint32_t)outer_n * (uint32_t)outer_n);
    if (std::min(r.n, r.m) > 7 && area < (outer_area >> 1) + 16777216)
        return middlesnake(r, std::max(limit, 8));

    if (limit > 0) {
        int32_t hn = r.n / 2, hm = r.m / 2;
        return then({trim_suffix_task({r.x0, hn, r.y0, hm}, 0, limit >> 1),
                     trim_prefix_task({r.x0 + hn, r.n - hn, r.y0 + hm, r.m - hm}, limit >> 1)});
    }

    /* Out of effort: send the outer quarters of the new range literally,
     * drop those of the old range and compare the middle halves. */
    const int32_t qn = r.n / 4, qm = r.m / 4;
    return then({insert_task(r.y0, qm), remove_task(), diff_task({r.x0 + qn, r.n / 2, r.y0 + qm, r.m / 2}),
                 insert_task(r.y0 + qm + r.m / 2, r.m - qm - r.m / 2), remove_task()});
}

}  // namespace

bool myers_binary_diff_check_bounds(const buf *b, int32_t offset, int32_t length)
{
    return b && offset >= 0 && length >= 0 && (uint64_t)offset + (uint64_t)length <= b->len;
}

int32_t myers_binary_diff_corner(int32_t d, int32_t n)
{
    return d <= n ? d : (int32_t)(2 * (int64_t)n - d);
}

int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t first_length, int32_t second_length)
{
    int64_t sum = (int32_t)((uint32_t)first_length + (uint32_t)second_length);
    int64_t scaled = (int64_t)factor * (int64_t)approx_cube_root((uint64_t)sum);
    return scaled < 25600 ? 256 : (int32_t)(scaled / 100);
}

execution *execution_create(const buf *old_value, const buf *new_value, coallescing_script *script,
                            uint32_t storage_limit, int32_t search_limit)
{
    execution *e = (execution *)ostrel_calloc(1, sizeof(execution));
    if (!e)
        return NULL;
    e->storage = storage_create(storage_limit);
    if (!e->storage) {
        ostrel_free(e);
        return NULL;
    }
    e->old_buf = old_value;
    e->new_buf = new_value;
    e->script = script;
    e->search_limit = search_limit;
    return e;
}

void execution_free(execution *e)
{
    if (!e)
        return;
    storage_free(e->storage);
    ostrel_free(e);
}

bool execution_diff(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t unused)
{
    (void)unused;
    search s(e);
    return s.diff({x0, n, y0, m}) && s.drain();
}

bool execution_trim_prefix_and_suffix(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m)
{
    if (n < 0 || m < 0)
        return false;
    coallescing_script *c = e->script;
    int32_t i = count_forward(values_of(e), x0, y0, std::min(n, m));
    if (!coallescing_script_match(c, x0, i))
        return false;
    int64_t lower = (int64_t)i + std::max(0, n - m);
    int32_t end = n - count_backward(values_of(e), (int64_t)x0 + n, (int64_t)y0 + m, n - lower);
    int32_t j = end + (m - n);

    bool ok;
    if (end == i)
        ok = coallescing_script_insert(c, y0 + i, m - n);
    else if (j == i)
        ok = coallescing_script_delete(c);
    else
        ok = coallescing_script_insert(c, y0 + i, j - i) && coallescing_script_delete(c);
    return ok && coallescing_script_match(c, x0 + end, n - end);
}

bool execution_middlesnake(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t limit)
{
    search s(e);
    return s.middlesnake({x0, n, y0, m}, limit) && s.drain();
}

bool execution_recurse(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t snake_start,
                       int32_t snake_end, int32_t k)
{
    search s(e);
    return s.recurse({x0, n, y0, m}, snake_start, snake_end, k) && s.drain();
}

bool execution_bail(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t corner_n, int32_t corner_m,
                    int32_t limit)
{
    search s(e);
    return s.bail({x0, n, y0, m}, corner_n, corner_m, limit) && s.drain();
}

bool execution_bounded_diff(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t outer_n,
                            int32_t outer_m, int32_t limit)
{
    (void)outer_m;
    search s(e);
    return s.bounded_diff({x0, n, y0, m}, outer_n, limit) && s.drain();
}

int myers_binary_diff(const buf *old_value, int32_t x0, int32_t n, const buf *new_value, int32_t y0, int32_t m,
                      edit_script *script, uint32_t storage_limit, int32_t search_limit, int32_t quality)
{
    if (!script || !myers_binary_diff_check_bounds(old_value, x0, n) ||
        !myers_binary_diff_check_bounds(new_value, y0, m))
        return MYERS_INVALID_RANGE;

    coallescing_script c = {script, x0, y0, COALLESCING_NONE, 0, 0, true};

    const int32_t least = std::min({search_limit, n, m});
    int32_t limit;
    switch ((uint32_t)quality) {
    case 0:
        limit = search_limit;
        break;
    case 1:
        limit = least <= 255 ? 64 : least >> 2;
        break;
    case 2:
        limit = least <= 255 ? 16 : least >> 4;
        break;
    case 3:
        limit = 1;
        break;
    default:
        limit = -1;
        break;
    }

    execution *e = execution_create(old_value, new_value, &c, storage_limit, limit);
    if (!e)
        return MYERS_REPLACEMENT;
    bool ok = quality == 4 ? execution_trim_prefix_and_suffix(e, x0, n, y0, m) : execution_diff(e, x0, n, y0, m, 0);
    execution_free(e);
    return ok ? coallescing_script_close(&c, n, m) : MYERS_REPLACEMENT;
}

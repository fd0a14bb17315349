#include "delta_match.h"

#include <stdint.h>
#include <string.h>

#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "alloc.h"
#include "cbor_head.h"
#include "delta_generate.h"
#include "delta_optimal.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "grams and runs are read as little-endian words: their low bytes come first in memory");

namespace {

/* What a level spends. Levels differ only here. */
struct level_params {
    uint32_t step;       /* one old position in `step` is indexed */
    uint32_t bucket_log; /* positions kept per hash: 1 << bucket_log */
    uint32_t lazy;       /* later starts tried against a found match */
    uint32_t nice;       /* a match this long is taken without looking further */
    uint32_t skip_log;   /* after 2^skip_log bytes without a match, look every other position, and so on */
    bool optimal;        /* choose by the cheapest path over every position instead of lazily */
    bool short_grams;    /* also read an index of kShortLoad-byte grams (same density) */
};

/* Level 6 is diff_optimal_binary: it reads no index. */
const level_params kLevels[DIFF_MATCH_MAX_LEVEL - 1] = {
    {8, 0, 0, 64, 7, false, false},   /* 1 */
    {4, 2, 1, 64, 7, false, false},   /* 2 */
    {2, 4, 2, 64, 7, false, false},   /* 3 */
    {2, 4, 0, 128, 8, true, false},   /* 4 */
    {1, 5, 0, 128, 31, true, true},   /* 5 */
};

/* Grams are 8 bytes: long enough to tell apart the many places where short
 * ones recur in text, and no match shorter than 7 bytes pays for a 5-byte
 * offset anyway. */
const uint32_t kLoad = 8;

/* Where offsets are cheap a match of 4 to 7 bytes pays too, and where
 * the candidates found reach less than kShortReach bytes the highest level
 * also looks them up, by their first 4 bytes. */
const uint32_t kShortLoad = 4;
const uint32_t kShortReach = 16;

/* Buckets are asked for this many positions before they are read. */
const uint32_t kAhead = 16;

/* A match this long anchors what follows it: where the new value is a
 * revision of the old one, the next matches most often lie on its diagonal
 * or a few bytes beside it (a field or a line edited to another length),
 * among old bytes that repeat too often elsewhere for the index to keep
 * them. Where the candidates found first reach less than this, the old
 * bytes within kNear of the anchor's diagonal are searched too. */
const uint32_t kAnchor = 32;
const uint32_t kNear = 32;

uint64_t load64(const uint8_t *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

uint32_t load32(const uint8_t *p)
{
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
}

/* Length of the common run of a and b, at most limit bytes. */
uint32_t common_forward(const uint8_t *a, const uint8_t *b, uint32_t limit)
{
    uint32_t n = 0;
    while (limit - n >= 8) {
        uint64_t x = load64(a + n) ^ load64(b + n);
        if (x)
            return n + (uint32_t)(__builtin_ctzll(x) >> 3);
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        n++;
    return n;
}

/* Length of the common run ending just before a and b, at most limit bytes. */
uint32_t common_backward(const uint8_t *a, const uint8_t *b, uint32_t limit)
{
    uint32_t n = 0;
    while (n < limit && a[-1 - (int64_t)n] == b[-1 - (int64_t)n])
        n++;
    return n;
}

/* Bytes a match costs: its two heads. */
int32_t match_cost(uint32_t offset, uint32_t length)
{
    return (int32_t)(cbor_head_size(offset) + cbor_head_size(length));
}

/* Old positions by the hash of the gram that starts there: buckets of
 * 1 << bucket_log slots. A slot holds position + 1 (0: empty) in its low
 * bits and, in the bits the old value's length leaves free, a tag of more
 * hash bits, which turns most other grams of the bucket away without
 * reading the old value. The slots are the largest power of two not above
 * the indexed positions, and at least 1024, so the index takes at most 4
 * bytes per indexed position, or 4 KiB. A bucket keeps the first positions
 * of its grams in its first half (the start of a run or of a repeated text,
 * from which a match extends furthest, and cheap offsets) and, once full,
 * the latest in its second half, so later parts of the old value keep some
 * of their positions. */
class old_index {
public:
    old_index() = default;
    ~old_index() { ostrel_free(slots_); }
    old_index(const old_index &) = delete;
    old_index &operator=(const old_index &) = delete;

    /* Indexes old's grams of `gram` bytes (kLoad or kShortLoad) at lp's
     * density, in place of what it held. */
    bool build(const uint8_t *old, uint32_t n, const level_params &lp, uint32_t gram)
    {
        ostrel_free(slots_);
        slots_ = nullptr;
        bytes_ = 0;
        bucket_log_ = lp.bucket_log;
        gram_ = gram;
        if (n < gram)
            return true;
        uint32_t indexed = (n - gram) / lp.step + 1;
        unsigned slot_bits = 10;
        while (slot_bits < 31 && ((uint32_t)1 << (slot_bits + 1)) <= indexed)
            slot_bits++;
        bucket_bits_ = slot_bits - bucket_log_;
        position_bits_ = 1;
        while (((uint64_t)1 << position_bits_) <= n) /* n < 2^31: at most 31 */
            position_bits_++;
        slots_ = (uint32_t *)ostrel_calloc((size_t)1 << slot_bits, sizeof(uint32_t));
        if (!slots_)
            return false;
        bytes_ = ((size_t)1 << slot_bits) * sizeof(uint32_t);
        const uint32_t size = (uint32_t)1 << bucket_log_;
        const uint32_t rotating = size > 1 ? size / 2 : 1;
        /* Buckets are asked for kAhead positions early; their places and
         * tags wait in a ring until then. */
        uint32_t *ring[kAhead];
        uint32_t tags[kAhead];
        for (uint32_t i = 0; i < kAhead && i < indexed; i++) {
            ring[i] = bucket(old + i * lp.step, &tags[i]);
            __builtin_prefetch(ring[i]);
        }
        for (uint32_t i = 0, pos = 0; i < indexed; i++, pos += lp.step) {
            uint32_t *b = ring[i % kAhead];
            uint32_t tag = tags[i % kAhead];
            if (i + kAhead < indexed) {
                ring[i % kAhead] = bucket(old + pos + kAhead * lp.step, &tags[i % kAhead]);
                __builtin_prefetch(ring[i % kAhead]);
            }
            /* The taken slots are a prefix of the bucket: the first free
             * one is found by halving. */
            uint32_t s = size;
            if (b[size - 1] == 0) {
                uint32_t low = 0, high = size - 1;
                while (low < high) {
                    uint32_t middle = (low + high) / 2;
                    if (b[middle] != 0)
                        low = middle + 1;
                    else
                        high = middle;
                }
                s = low;
            }
            b[s < size ? s : size - rotating + (i & (rotating - 1))] = tag | (pos + 1);
        }
        return true;
    }

    size_t bytes() const { return bytes_; }

    /* Calls f(position) for each indexed position whose gram may be the
     * one at p, which has a gram's bytes readable. */
    template <typename F>
    void each(const uint8_t *p, F f) const
    {
        if (!slots_)
            return;
        uint32_t tag;
        const uint32_t *b = bucket(p, &tag);
        const uint32_t low = ((uint32_t)1 << position_bits_) - 1;
        for (uint32_t found = tagged(b, tag, ~low); found != 0; found &= found - 1) {
            if (!f((b[__builtin_ctz(found)] & low) - 1))
                return;
        }
    }

    /* Asks for the bucket of the gram at p: its candidates are read some
     * positions later. */
    void prefetch(const uint8_t *p) const
    {
        uint32_t tag;
        if (slots_)
            __builtin_prefetch(bucket(p, &tag));
    }

    /* Asks for the old bytes of the candidates of the gram at p, whose
     * bucket was asked for earlier. */
    void prefetch_candidates(const uint8_t *p, const uint8_t *old) const
    {
        if (!slots_)
            return;
        uint32_t tag;
        const uint32_t *b = bucket(p, &tag);
        const uint32_t low = ((uint32_t)1 << position_bits_) - 1;
        for (uint32_t found = tagged(b, tag, ~low); found != 0; found &= found - 1)
            __builtin_prefetch(old + (b[__builtin_ctz(found)] & low) - 1);
    }

private:
    /* Bit s set for each taken slot s of bucket b whose tag is `tag`. */
    uint32_t tagged(const uint32_t *b, uint32_t tag, uint32_t tag_mask) const
    {
        const uint32_t size = (uint32_t)1 << bucket_log_;
        uint32_t found = 0;
        uint32_t s = 0;
#ifdef __SSE2__
        const __m128i mask = _mm_set1_epi32((int)tag_mask), want = _mm_set1_epi32((int)tag), zero = _mm_setzero_si128();
        for (; s + 4 <= size; s += 4) {
            __m128i v = _mm_loadu_si128((const __m128i *)(b + s));
            __m128i hit = _mm_andnot_si128(_mm_cmpeq_epi32(v, zero), _mm_cmpeq_epi32(_mm_and_si128(v, mask), want));
            found |= (uint32_t)_mm_movemask_ps(_mm_castsi128_ps(hit)) << s;
        }
#endif
        for (; s < size; s++)
            found |= (uint32_t)(b[s] != 0 && (b[s] & tag_mask) == tag) << s;
        return found;
    }

    uint32_t *bucket(const uint8_t *p, uint32_t *tag) const
    {
        uint64_t h = (gram_ == kLoad ? load64(p) : load32(p)) * 0x9E3779B97F4A7C15ull;
        /* The tag comes from the bits just below those that choose the
         * bucket: bits that the bucket's grams all share would tell none of
         * them apart (and on a large old value turn no candidate away). */
        *tag = (uint32_t)(h >> (32 - bucket_bits_)) & ~(((uint32_t)1 << position_bits_) - 1);
        return slots_ + ((size_t)(h >> (64 - bucket_bits_)) << bucket_log_);
    }

    uint32_t *slots_ = nullptr;
    size_t bytes_ = 0;
    unsigned bucket_log_ = 0, bucket_bits_ = 1, position_bits_ = 1;
    uint32_t gram_ = kLoad;
};

/* A match: old[offset, offset + length) = new[start, start + length). */
struct match {
    uint32_t start, offset, length;
    int32_t gain; /* literal bytes saved less the match's cost */
};

enum outcome { DONE, TOO_LONG, NO_MEMORY };

/* One left-to-right pass over the new value. At each position the
 * candidates are the old positions that continue and that repeat the last
 * match, the diagonals of the last two matches and the index's bucket; each is
 * extended both ways (backwards only over bytes not yet covered) and
 * priced by its real heads. A match is taken when it saves bytes, after
 * `lazy` later starts were tried for a better one. Every candidate
 * extension stops at `nice` bytes, and a match that long is taken at once
 * (then extended fully), so each byte of the new value is read a bounded
 * number of times per candidate. */
class matcher {
public:
    /* shorts: the index of short grams, for a level that reads one. */
    matcher(const uint8_t *old, uint32_t n, const old_index &index, const old_index *shorts, const uint8_t *nw,
            uint32_t m, const level_params &lp, buf *out)
        : old_(old), new_(nw), n_(n), m_(m), lp_(lp), out_(out), index_(index), shorts_(shorts)
    {
    }

    ~matcher() { ostrel_free(nodes_); }
    matcher(const matcher &) = delete;
    matcher &operator=(const matcher &) = delete;

    outcome run() { return lp_.optimal ? run_optimal() : run_lazy(); }

    /* New bytes written as literals so far. */
    uint32_t unmatched() const { return unmatched_; }

private:
    outcome run_lazy()
    {
        uint32_t p = 0;
        while (p < m_) {
            if (p + kAhead + kLoad <= m_)
                index_.prefetch(new_ + p + kAhead);
            if (p + kAhead / 2 + kLoad <= m_)
                index_.prefetch_candidates(new_ + p + kAhead / 2, old_);
            match best = best_at(p);
            if (!worth(best)) {
                /* Far from the last match, look less often: a match found
                 * later extends backwards over what was skipped. */
                p += 1 + ((p - floor_) >> lp_.skip_log);
                continue;
            }
            for (uint32_t k = 1; k <= lp_.lazy && best.length < lp_.nice && p + k < m_; k++) {
                match later = best_at(p + k);
                if (later.gain > best.gain + 1)
                    best = later;
            }
            outcome o = emit(best);
            if (o != DONE)
                return o;
            p = floor_;
        }
        return emit_literal(m_);
    }

    /* The cheapest path, by real item costs, through a window of the new
     * value: node i holds the cheapest way found to write the window's
     * first i bytes, reached by a literal byte or by a match. Literal runs
     * are charged a byte each plus their head as it grows (1 byte at the
     * start, one more at 24 and at 256 bytes, two more at 65536). At each
     * position the candidates are grouped by the size of their offset's
     * head, and each group's longest reach is tried at every length not
     * already reached by a cheaper group, so a position costs at most
     * `nice` steps. A match of `nice` bytes or more closes the window and
     * is taken whole; so does the window's end. */
    outcome run_optimal()
    {
        nodes_ = (node *)ostrel_malloc((kWindow + lp_.nice + 1) * sizeof(node) + kWindow * sizeof(match));
        if (!nodes_)
            return NO_MEMORY;
        reached_ = kWindow + lp_.nice;
        path_ = (match *)(nodes_ + kWindow + lp_.nice + 1);
        uint32_t start = 0;
        open_window(start);
        for (uint32_t p = 0;; p++) {
            if (p == m_ || p - start == kWindow) {
                outcome o = close_window(start, p);
                if (o != DONE || p == m_)
                    return o == DONE ? emit_literal(m_) : o;
                open_window(start = p);
            }
            if (p + kAhead + kLoad <= m_)
                index_.prefetch(new_ + p + kAhead);
            if (p + kAhead / 2 + kLoad <= m_)
                index_.prefetch_candidates(new_ + p + kAhead / 2, old_);
            const node here = nodes_[p - start];
            group groups[4] = {};
            match long_match = {0, 0, 0, 0};
            gather(p, here, groups, &long_match);
            if (long_match.length > 0) {
                outcome o = close_window(start, p);
                /* Then back over what the window left pending. */
                uint32_t back_limit = p - floor_ < long_match.offset ? p - floor_ : long_match.offset;
                uint32_t backward = common_backward(old_ + long_match.offset, new_ + p, back_limit);
                long_match.start -= backward;
                long_match.offset -= backward;
                long_match.length += backward;
                if (o == DONE)
                    o = emit(long_match);
                if (o != DONE)
                    return o;
                if (floor_ == m_)
                    return DONE;
                open_window(start = floor_);
                p = floor_ - 1;
                continue;
            }
            relax(start, p, here, groups);
            /* Deep in a literal run, look less often (as the lazy parser does). */
            if (groups[0].length == 0 && groups[1].length == 0 && groups[2].length == 0 && groups[3].length == 0) {
                const group none[4] = {};
                for (uint32_t skip = here.literal >> lp_.skip_log; skip > 0 && p + 1 < m_ && p + 1 - start < kWindow;
                     skip--) {
                    p++;
                    relax(start, p, nodes_[p - start], none);
                }
            }
        }
    }

    struct node {
        int32_t cost;
        uint32_t literal;  /* literal bytes just before, on this path */
        uint32_t length;   /* of the match that reaches it; 0: a literal byte */
        uint32_t offset;   /* of that match */
        uint32_t last_end; /* old position after the path's last match */
        int64_t diagonal;  /* offset - start of the path's last match */
        int64_t anchor;    /* that of its last match of kAnchor bytes or more */
    };

    /* The longest candidate found among offsets of one head size. */
    struct group {
        uint32_t offset, length;
    };

    static const uint32_t kWindow = 4096;

    void open_window(uint32_t start)
    {
        for (uint32_t i = 0; i <= reached_; i++)
            nodes_[i].cost = INT32_MAX;
        reached_ = 0;
        nodes_[0] = {0, start - floor_, 0, 0, last_end_, diagonal_[0], anchor_};
    }

    /* Writes the cheapest path to position end of the window that starts
     * at start; what follows its last match stays pending. */
    outcome close_window(uint32_t start, uint32_t end)
    {
        uint32_t count = 0;
        for (uint32_t i = end - start; i > 0;) {
            const node &n = nodes_[i];
            if (n.length == 0) {
                i--;
                continue;
            }
            path_[count++] = {start + i - n.length, n.offset, n.length, 0};
            i -= n.length;
        }
        while (count > 0) {
            outcome o = emit(path_[--count]);
            if (o != DONE)
                return o;
        }
        return DONE;
    }

    void gather(uint32_t p, const node &here, group groups[4], match *long_match)
    {
        uint32_t tried[5];
        uint32_t count = 0;
        auto consider = [&](uint32_t o) {
            if (!starts_alike(p, o))
                return true;
            for (uint32_t i = 0; i < count; i++)
                if (tried[i] == o)
                    return true;
            if (count < 5)
                tried[count++] = o;
            uint32_t limit = n_ - o < m_ - p ? n_ - o : m_ - p;
            uint32_t length = common_forward(old_ + o, new_ + p, limit < lp_.nice ? limit : lp_.nice);
            if (length >= lp_.nice) {
                /* The longest of the long ones (runs of one byte, text
                 * repeated in the old value, reach `nice` at many places
                 * and go on from few), at the cheaper offset on a tie. */
                length += common_forward(old_ + o + length, new_ + p + length, limit - length);
                if (length > long_match->length ||
                    (length == long_match->length && cbor_head_size(o) < cbor_head_size(long_match->offset)))
                    *long_match = {p, o, length, 0};
                return true;
            }
            size_t h = cbor_head_size(o);
            group &g = groups[h == 1 ? 0 : h == 2 ? 1 : h == 3 ? 2 : 3];
            if (length > g.length)
                g = {o, length};
            return true;
        };
        if (!consider(here.last_end) || !consider((uint32_t)(p + here.diagonal)) ||
            !consider((uint32_t)(p + diagonal_[0])) || !consider((uint32_t)(p + diagonal_[1])))
            return;
        auto known = [&] {
            uint32_t longest = 0;
            for (int k = 0; k < 4; k++)
                longest = groups[k].length > longest ? groups[k].length : longest;
            return longest;
        };
        if (known() < kAnchor && !near(p, here.anchor, consider))
            return;
        /* The index is read only where the last matches do not already go
         * on for a good while: its buckets are far apart in memory. */
        if (p + kLoad <= m_ && known() < lp_.nice / 2)
            index_.each(new_ + p, consider);
        if (shorts_ && p + kShortLoad <= m_ && known() < kShortReach)
            shorts_->each(new_ + p, consider);
    }

    void relax(uint32_t start, uint32_t p, const node &here, const group groups[4])
    {
        const uint32_t i = p - start;
        node &next = nodes_[i + 1];
        int32_t literal_cost = here.cost + 1 + (int32_t)(cbor_head_size(here.literal + 1) -
                                                        (here.literal ? cbor_head_size(here.literal) : 0));
        if (literal_cost < next.cost)
            next = {literal_cost, here.literal + 1, 0, 0, here.last_end, here.diagonal, here.anchor};
        uint32_t reached = 0;
        for (int k = 0; k < 4; k++)
            reached = groups[k].length > reached ? groups[k].length : reached;
        reached_ = i + 1 + reached > reached_ ? i + 1 + reached : reached_;
        reached = 0;
        for (int k = 0; k < 4; k++) {
            const group &g = groups[k];
            if (g.length <= reached)
                continue;
            int32_t head = (int32_t)cbor_head_size(g.offset);
            const int64_t diagonal = (int64_t)g.offset - p;
            for (uint32_t l = reached + 1 > (uint32_t)head + 1 ? reached + 1 : (uint32_t)head + 1; l <= g.length; l++) {
                int32_t cost = here.cost + head + (int32_t)cbor_head_size(l);
                node &to = nodes_[i + l];
                if (cost < to.cost)
                    to = {cost, 0, l, g.offset, g.offset + l, diagonal, l >= kAnchor ? diagonal : here.anchor};
            }
            reached = g.length;
        }
    }

    /* Calls f(o) for each old position o within kNear bytes of the
     * diagonal `anchor` at p whose first 4 bytes are new[p, p + 4), while
     * f returns true; returns false when f stopped it. */
    template <typename F>
    bool near(uint32_t p, int64_t anchor, F f) const
    {
        if (m_ - p < 4 || n_ < 4)
            return true;
        const uint32_t word = load32(new_ + p);
        const int64_t around = (int64_t)p + anchor;
        const int64_t low = around > (int64_t)kNear ? around - kNear : 0;
        const int64_t high = around + kNear < (int64_t)n_ - 4 ? around + kNear : (int64_t)n_ - 4;
        int64_t o = low;
#ifdef __SSE2__
        /* 16 positions at a time, while their 19 bytes are in old. */
        const __m128i b0 = _mm_set1_epi8((char)new_[p]), b1 = _mm_set1_epi8((char)new_[p + 1]),
                      b2 = _mm_set1_epi8((char)new_[p + 2]), b3 = _mm_set1_epi8((char)new_[p + 3]);
        for (; o <= high && o + 19 <= (int64_t)n_; o += 16) {
            const uint8_t *at = old_ + o;
            __m128i same = _mm_and_si128(
                _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)at), b0),
                              _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(at + 1)), b1)),
                _mm_and_si128(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(at + 2)), b2),
                              _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(at + 3)), b3)));
            uint32_t found = (uint32_t)_mm_movemask_epi8(same);
            if (high - o < 15)
                found &= ((uint32_t)1 << (high - o + 1)) - 1;
            for (; found != 0; found &= found - 1)
                if (!f((uint32_t)(o + __builtin_ctz(found))))
                    return false;
        }
#endif
        for (; o <= high; o++)
            if (load32(old_ + o) == word && !f((uint32_t)o))
                return false;
        return true;
    }

    bool worth(const match &c) const
    {
        if (c.length == 0)
            return false;
        /* A match inside a literal run splits it and pays a second head. */
        bool splits = c.start > floor_ && c.start + c.length < m_;
        return c.gain >= (splits ? 2 : 1);
    }

    match best_at(uint32_t p)
    {
        match best = {p, 0, 0, 0};
        uint32_t tried[4];
        uint32_t count = 0;
        auto consider_once = [&](uint32_t o) {
            for (uint32_t i = 0; i < count; i++)
                if (tried[i] == o)
                    return;
            tried[count++] = o;
            consider(best, p, o);
        };
        consider_once(last_end_);
        consider_once(last_offset_);
        consider_once((uint32_t)(p + diagonal_[0]));
        consider_once((uint32_t)(p + diagonal_[1]));
        if (best.length < kAnchor)
            near(p, anchor_, [&](uint32_t o) {
                consider(best, p, o);
                return best.length < lp_.nice;
            });
        if (best.length >= lp_.nice || p + kLoad > m_)
            return best;
        index_.each(new_ + p, [&](uint32_t o) {
            consider(best, p, o);
            return best.length < lp_.nice;
        });
        return best;
    }

    /* Extends the candidate old[o..] against new[p..] and keeps it in best
     * when it saves more. */
    /* Whether old[o..] and new[p..] begin alike: in their first 4 bytes, or
     * in all that is left when less is. Shorter common runs pay only near
     * the old value's start, and reading a word turns most candidates away
     * at once. */
    bool starts_alike(uint32_t p, uint32_t o) const
    {
        if (o >= n_)
            return false;
        if (n_ - o >= 4 && m_ - p >= 4) {
            uint32_t a, b;
            memcpy(&a, old_ + o, 4);
            memcpy(&b, new_ + p, 4);
            return a == b;
        }
        return old_[o] == new_[p];
    }

    void consider(match &best, uint32_t p, uint32_t o)
    {
        if (!starts_alike(p, o))
            return;
        uint32_t limit = n_ - o < m_ - p ? n_ - o : m_ - p;
        uint32_t nice = lp_.nice;
        uint32_t forward = common_forward(old_ + o, new_ + p, limit < nice ? limit : nice);
        uint32_t back_limit = p - floor_ < o ? p - floor_ : o;
        uint32_t backward = common_backward(old_ + o, new_ + p, back_limit < nice ? back_limit : nice);
        if (forward + backward >= nice) {
            forward += common_forward(old_ + o + forward, new_ + p + forward, limit - forward);
            backward += common_backward(old_ + o - backward, new_ + p - backward, back_limit - backward);
        }
        uint32_t length = forward + backward;
        int32_t gain = (int32_t)length - match_cost(o - backward, length);
        if (gain > best.gain || (best.length == 0 && gain == best.gain)) {
            best.start = p - backward;
            best.offset = o - backward;
            best.length = length;
            best.gain = gain;
        }
    }

    bool put(const void *bytes, size_t count)
    {
        size_t before = out_->len;
        buf_write_bytes(out_, bytes, count);
        return out_->len == before + count;
    }

    bool put_head(uint8_t major, uint32_t argument)
    {
        uint8_t head[CBOR_HEAD_MAX];
        return put(head, cbor_head_encode(major, argument, head));
    }

    /* Writes new[floor_, end) as one byte string. */
    outcome emit_literal(uint32_t end)
    {
        if (end > floor_) {
            uint32_t length = end - floor_;
            if ((uint64_t)out_->len + cbor_head_size(length) + length >= m_)
                return TOO_LONG;
            if (!put_head(2, length) || !put(new_ + floor_, length))
                return NO_MEMORY;
            unmatched_ += length;
        }
        floor_ = end;
        return DONE;
    }

    outcome emit(const match &c)
    {
        outcome o = emit_literal(c.start);
        if (o != DONE)
            return o;
        if ((uint64_t)out_->len + (uint64_t)match_cost(c.offset, c.length) >= m_)
            return TOO_LONG;
        if (!put_head(0, c.offset) || !put_head(0, c.length))
            return NO_MEMORY;
        floor_ = c.start + c.length;
        last_offset_ = c.offset;
        last_end_ = c.offset + c.length;
        int64_t diagonal = (int64_t)c.offset - c.start;
        if (diagonal != diagonal_[0]) {
            diagonal_[1] = diagonal_[0];
            diagonal_[0] = diagonal;
        }
        if (c.length >= kAnchor)
            anchor_ = diagonal;
        return DONE;
    }

    const uint8_t *old_, *new_;
    const uint32_t n_, m_;
    const level_params &lp_;
    buf *out_;
    const old_index &index_;
    const old_index *shorts_;
    node *nodes_ = nullptr;    /* the optimal parser's window, then its path */
    uint32_t reached_ = 0;     /* last node of the window that may be set */
    match *path_ = nullptr;
    uint32_t floor_ = 0;       /* new bytes before it are written */
    uint32_t unmatched_ = 0;   /* new bytes written as literals */
    uint32_t last_offset_ = 0; /* old position of the last match */
    uint32_t last_end_ = 0;    /* old position after the last match */
    int64_t diagonal_[2] = {0, 0}; /* offset - start of the last two distinct matches */
    int64_t anchor_ = 0;           /* that of the last match of kAnchor bytes or more */
};

/* New values up to this length are also diffed by the bounded search. */
const uint32_t kSearchedLength = 4096;

buf *single_byte(uint8_t byte)
{
    buf *result = buf_create();
    if (!result)
        return NULL;
    buf_write_byte(result, byte);
    if (result->len != 1) {
        buf_free(result);
        return NULL;
    }
    return result;
}

/* Whether the delta needs no index: an empty new value, or one equal to
 * the old value. */
bool needs_no_index(const buf *old_value, const buf *new_value)
{
    const size_t m = new_value->len;
    return m == 0 || (m >= 2 && old_value->len == m && memcmp(old_value->data, new_value->data, m) == 0);
}

bool acceptable(const buf *value)
{
    return value && value->len <= INT32_MAX && (value->data || value->len == 0);
}

bool known_level(int level)
{
    return level == DIFF_MATCH_DEFAULT_LEVEL || (level >= DIFF_MATCH_MIN_LEVEL && level <= DIFF_MATCH_MAX_LEVEL);
}

/* The levels whose deltas a level gives the smallest of, in order: itself
 * and every level below it, so that a higher level never gives a larger
 * delta (the lazy parser's choices, and the cheapest-path parser's window,
 * do not promise that by themselves). The default runs level 1, then level
 * 4 unless level 1 left more than a quarter of a new value unmatched
 * against an old value of over 1 MiB: there (most often machine code or
 * compressed data) level 4 finds a few percent more in several times level
 * 1's time, waiting on memory for candidates scattered over a large index,
 * while on smaller values and on revised text it pays. Level 6, the
 * smallest delta there is, needs none of them: its chain is empty and
 * diff_optimal_binary gives its delta. */
struct chain {
    int count;
    int levels[DIFF_MATCH_MAX_LEVEL];
};

chain chain_of(int level)
{
    if (level == DIFF_MATCH_MAX_LEVEL)
        return {0, {}};
    if (level == DIFF_MATCH_DEFAULT_LEVEL)
        return {2, {1, 4}};
    chain c = {level, {}};
    for (int i = 0; i < level; i++)
        c.levels[i] = i + 1;
    return c;
}

bool default_stops_after_level_1(uint32_t unmatched, uint32_t new_length, uint32_t old_length)
{
    return (uint64_t)unmatched * 4 > new_length && old_length > ((uint32_t)1 << 20);
}

const level_params &params(int level)
{
    return kLevels[level - DIFF_MATCH_MIN_LEVEL];
}

/* The lowest level whose index is the same as this level's. */
int index_owner(int level)
{
    while (level > DIFF_MATCH_MIN_LEVEL && params(level).step == params(level - 1).step &&
           params(level).bucket_log == params(level - 1).bucket_log)
        level--;
    return level;
}

/* One level's delta against its index: NULL on memory exhaustion; the new
 * bytes it leaves unmatched in *unmatched. */
buf *parse(const buf *old_value, const old_index &table, const old_index *shorts, int level, const buf *new_value,
           uint32_t *unmatched)
{
    const uint32_t n = (uint32_t)old_value->len, m = (uint32_t)new_value->len;
    buf *out = buf_create();
    if (!out)
        return NULL;
    matcher run((const uint8_t *)old_value->data, n, table, shorts, (const uint8_t *)new_value->data, m, params(level),
                out);
    outcome o = run.run();
    *unmatched = run.unmatched();
    if (o == NO_MEMORY) {
        buf_free(out);
        return NULL;
    }
    if (o == TOO_LONG || out->len >= m) {
        buf_free(out);
        *unmatched = m;
        return _write_replacement_delta(new_value);
    }
    return out;
}

/* The delta at a level: the smallest of its chain's, each level's found
 * against table(level, false) and, at a level that reads short grams,
 * table(level, true) (NULL: memory exhausted). */
template <typename Tables>
buf *delta_at(const buf *old_value, int level, const buf *new_value, Tables table)
{
    if (level == DIFF_MATCH_MAX_LEVEL)
        return diff_optimal_binary(old_value, new_value, NULL, NULL);
    const uint32_t m = (uint32_t)new_value->len;
    if (m == 0)
        return _write_replacement_delta(new_value);
    if (needs_no_index(old_value, new_value))
        return single_byte(0xF6);

    buf *out = NULL;
    const chain c = chain_of(level);
    for (int i = 0; i < c.count; i++) {
        const int at = c.levels[i];
        const old_index *t = table(at, false);
        const old_index *shorts = t && params(at).short_grams ? table(at, true) : nullptr;
        uint32_t unmatched = 0;
        buf *d = t && (shorts || !params(at).short_grams) ? parse(old_value, *t, shorts, at, new_value, &unmatched)
                                                          : NULL;
        if (!d) {
            buf_free(out);
            return NULL;
        }
        if (!out || d->len < out->len) {
            buf *larger = out;
            out = d;
            d = larger;
        }
        buf_free(d);
        if (level == DIFF_MATCH_DEFAULT_LEVEL && c.levels[i] == 1 &&
            default_stops_after_level_1(unmatched, m, (uint32_t)old_value->len))
            break;
    }
    /* Hand back a block of the delta's own size. */
    char *fitted = out->len < out->capacity ? (char *)ostrel_realloc(out->data, out->len) : NULL;
    if (fitted) {
        out->data = fitted;
        out->capacity = out->len;
    }
    /* Small values: the search also finds the short common runs that grams
     * miss, at little cost here; the smaller delta is kept. */
    if (m <= kSearchedLength) {
        buf *searched = diff_generate_binary(old_value, new_value);
        if (!searched || searched->len < out->len) {
            buf_free(out);
            out = searched;
        } else {
            buf_free(searched);
        }
    }
    return out;
}

}  // namespace

/* A view of the old value, its level and the indexes its chain reads. */
struct diff_match_index {
    buf old_value;
    int level;
    old_index tables[DIFF_MATCH_MAX_LEVEL]; /* by level; a level reads its index_owner's */
    old_index shorts;                       /* short grams, for the levels that read them */
};

buf *diff_match_binary(const buf *old_value, const buf *new_value, int level)
{
    if (!acceptable(old_value) || !acceptable(new_value) || !known_level(level))
        return NULL;
    /* Each index is built when its level's turn comes, in place of the
     * last; the short grams' when a level first reads them. */
    const uint8_t *old = (const uint8_t *)old_value->data;
    const uint32_t n = (uint32_t)old_value->len;
    old_index current, shorts;
    int built = 0;
    bool shorts_built = false;
    return delta_at(old_value, level, new_value, [&](int at, bool short_grams) -> const old_index * {
        if (short_grams) {
            shorts_built = shorts_built || shorts.build(old, n, params(at), kShortLoad);
            return shorts_built ? &shorts : nullptr;
        }
        if (built == index_owner(at))
            return &current;
        built = index_owner(at);
        return current.build(old, n, params(at), kLoad) ? &current : nullptr;
    });
}

diff_match_index *diff_match_index_build(const buf *old_value, int level)
{
    if (!acceptable(old_value) || !known_level(level))
        return NULL;
    void *memory = ostrel_malloc(sizeof(diff_match_index));
    if (!memory)
        return NULL;
    diff_match_index *index = new (memory) diff_match_index{*old_value, level, {}, {}};
    const chain c = chain_of(level);
    const uint8_t *old = (const uint8_t *)old_value->data;
    const uint32_t n = (uint32_t)old_value->len;
    for (int i = 0; i < c.count; i++) {
        const int at = c.levels[i];
        old_index &table = index->tables[index_owner(at) - DIFF_MATCH_MIN_LEVEL];
        if ((table.bytes() == 0 && !table.build(old, n, params(at), kLoad)) ||
            (params(at).short_grams && !index->shorts.build(old, n, params(at), kShortLoad))) {
            diff_match_index_free(index);
            return NULL;
        }
    }
    return index;
}

buf *diff_match_index_compute(const diff_match_index *index, const buf *new_value)
{
    if (!index || !acceptable(new_value))
        return NULL;
    return delta_at(&index->old_value, index->level, new_value, [&](int at, bool short_grams) {
        return short_grams ? &index->shorts : &index->tables[index_owner(at) - DIFF_MATCH_MIN_LEVEL];
    });
}

size_t diff_match_index_size(const diff_match_index *index)
{
    if (!index)
        return 0;
    size_t total = sizeof(diff_match_index);
    for (const old_index &t : index->tables)
        total += t.bytes();
    total += index->shorts.bytes();
    return total;
}

void diff_match_index_free(diff_match_index *index)
{
    if (!index)
        return;
    index->~diff_match_index();
    ostrel_free(index);
}

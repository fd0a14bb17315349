#include "delta_match.h"

#include <stdint.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "delta_generate.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "grams are read as little-endian integers: their low bytes come first in memory");

namespace {

/* What a level spends. Levels differ only here. */
struct level_params {
    uint32_t step;       /* one old position in `step` is indexed */
    uint32_t gram;       /* bytes hashed per position, 4 to 8 */
    uint32_t bucket_log; /* positions kept per hash: 1 << bucket_log */
    uint32_t lazy;       /* later starts tried against a found match */
    uint32_t nice;       /* a match this long is taken without looking further */
};

const level_params kLevels[DIFF_MATCH_MAX_LEVEL] = {
    {8, 8, 0, 0, 64},    /* 1 */
    {4, 6, 1, 1, 128},   /* 2 */
    {2, 6, 2, 1, 256},   /* 3 */
    {1, 5, 3, 2, 1024},  /* 4 */
    {1, 4, 4, 2, 4096},  /* 5 */
};

/* Every indexed position reads 8 bytes. */
const uint32_t kLoad = 8;

uint64_t load64(const uint8_t *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
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
 * 1 << bucket_log slots, each slot a position + 1 (0: empty). The slots
 * are the largest power of two not above the indexed positions, and at
 * least 1024, so the index takes at most 4 bytes per indexed position, or
 * 4 KiB.
 * A bucket keeps the first positions of its grams: the start of a run or
 * of a repeated text, from which a match extends furthest. */
class old_index {
public:
    ~old_index() { ostrel_free(slots_); }

    bool build(const uint8_t *old, uint32_t n, const level_params &lp)
    {
        bucket_log_ = lp.bucket_log;
        mask_ = lp.gram >= 8 ? ~(uint64_t)0 : ((uint64_t)1 << (8 * lp.gram)) - 1;
        if (n < kLoad)
            return true;
        uint32_t indexed = (n - kLoad) / lp.step + 1;
        unsigned slot_bits = 10;
        while (slot_bits < 31 && ((uint32_t)1 << (slot_bits + 1)) <= indexed)
            slot_bits++;
        bucket_bits_ = slot_bits - bucket_log_;
        slots_ = (uint32_t *)ostrel_calloc((size_t)1 << slot_bits, sizeof(uint32_t));
        if (!slots_)
            return false;
        const uint32_t size = (uint32_t)1 << bucket_log_;
        for (uint32_t i = 0, pos = 0; i < indexed; i++, pos += lp.step) {
            uint32_t *b = bucket(old + pos);
            uint32_t s = 0;
            while (s < size && b[s] != 0)
                s++;
            if (s < size)
                b[s] = pos + 1;
        }
        return true;
    }

    /* The bucket of the gram at p, which has kLoad bytes readable; NULL
     * when nothing is indexed. */
    uint32_t *bucket(const uint8_t *p) const
    {
        if (!slots_)
            return nullptr;
        uint32_t h = (uint32_t)(((load64(p) & mask_) * 0x9E3779B97F4A7C15ull) >> (64 - bucket_bits_));
        return slots_ + ((size_t)h << bucket_log_);
    }

    uint32_t bucket_size() const { return (uint32_t)1 << bucket_log_; }

private:
    uint32_t *slots_ = nullptr;
    uint64_t mask_ = 0;
    unsigned bucket_log_ = 0, bucket_bits_ = 1;
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
    matcher(const uint8_t *old, uint32_t n, const uint8_t *nw, uint32_t m, const level_params &lp, buf *out)
        : old_(old), new_(nw), n_(n), m_(m), lp_(lp), out_(out)
    {
    }

    outcome run()
    {
        if (!index_.build(old_, n_, lp_))
            return NO_MEMORY;
        uint32_t p = 0;
        while (p < m_) {
            match best = best_at(p);
            if (!worth(best)) {
                p++;
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

private:
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
        if (best.length >= lp_.nice || p + kLoad > m_)
            return best;
        const uint32_t *b = index_.bucket(new_ + p);
        if (!b)
            return best;
        for (uint32_t s = 0; s < index_.bucket_size() && b[s] != 0; s++) {
            consider(best, p, b[s] - 1);
            if (best.length >= lp_.nice)
                break;
        }
        return best;
    }

    /* Extends the candidate old[o..] against new[p..] and keeps it in best
     * when it saves more. */
    void consider(match &best, uint32_t p, uint32_t o)
    {
        if (o >= n_ || old_[o] != new_[p])
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
        return DONE;
    }

    const uint8_t *old_, *new_;
    const uint32_t n_, m_;
    const level_params &lp_;
    buf *out_;
    old_index index_;
    uint32_t floor_ = 0;       /* new bytes before it are written */
    uint32_t last_offset_ = 0; /* old position of the last match */
    uint32_t last_end_ = 0;    /* old position after the last match */
    int64_t diagonal_[2] = {0, 0}; /* offset - start of the last two distinct matches */
};

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

}  // namespace

buf *diff_match_binary(const buf *old_value, const buf *new_value, int level)
{
    if (!old_value || !new_value || level < DIFF_MATCH_MIN_LEVEL || level > DIFF_MATCH_MAX_LEVEL ||
        old_value->len > INT32_MAX || new_value->len > INT32_MAX || (!old_value->data && old_value->len > 0) ||
        (!new_value->data && new_value->len > 0))
        return NULL;
    const uint32_t n = (uint32_t)old_value->len, m = (uint32_t)new_value->len;
    if (m >= 2 && n == m && memcmp(old_value->data, new_value->data, m) == 0)
        return single_byte(0xF6);
    if (m == 0)
        return _write_replacement_delta(new_value);

    buf *out = buf_create();
    if (!out)
        return NULL;
    outcome o = DONE;
    {
        matcher run((const uint8_t *)old_value->data, n, (const uint8_t *)new_value->data, m,
                    kLevels[level - DIFF_MATCH_MIN_LEVEL], out);
        o = run.run();
    }
    if (o == NO_MEMORY) {
        buf_free(out);
        return NULL;
    }
    if (o == TOO_LONG || out->len >= m) {
        buf_free(out);
        return _write_replacement_delta(new_value);
    }
    /* Hand back a block of the delta's own size. */
    char *fitted = (char *)ostrel_realloc(out->data, out->len);
    if (fitted) {
        out->data = fitted;
        out->capacity = out->len;
    }
    return out;
}

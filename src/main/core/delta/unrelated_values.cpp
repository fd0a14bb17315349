#include "unrelated_values_internal.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

#include "alloc.h"
#include "cbor_head.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "grams are read as little-endian integers: their low bytes come first in memory");

namespace {

/* Every ordinary delta splits new[0, M) in order into inserts (byte strings
 * of L >= 1 bytes, costing L + h(L)) and matches (o, l) with
 * old[o, o + l) = new[p, p + l) (costing h(o) + h(l)), where h is the CBOR
 * head size: 1, 2, 3 or 5 bytes for values up to 23, 255, 65535 and
 * beyond. So len(D) - M is the sum of h(L) over the inserts plus the sum of
 * h(o) + h(l) - l over the matches, and it is bounded below by best[M]:
 *
 *   best[0] = 0
 *   best[p] = min( min over q < p of best[q] + 1,      (an insert ending
 *                                                       at p, its head
 *                                                       counted as 1)
 *                  min over matches (o, l) ending at p of
 *                      best[p - l] + h(o) + h(l) - l )
 *
 * If best[M] >= 0, no ordinary delta is shorter than new, and the driver,
 * which sends the replacement delta instead of any delta that is not
 * shorter, answers with the replacement delta whatever the search finds
 * (code 2, identical values, cannot arise: a match (0, M) gives best[M] < 0
 * for M >= 3). So the search can be skipped.
 *
 * Only matches with h(o) + h(l) - l <= 0 can lower best (any other is
 * beaten by an insert over the same span): l >= 2 for o < 24, l >= 3 for
 * o < 256, l >= 4 for o < 65536 and l >= 6 beyond. Each starts with a
 * seed: an occurrence in new of a bigram of old[0, 25), a trigram of
 * old[24, 258), a 4-gram of old[256, 65539) or a 6-gram of old[65536, N),
 * the gram starting at o; every prefix of the common run from a seed, at
 * least a gram long, is a candidate match.
 *
 * best[p] <= 1 everywhere, so a run of h(o) + 4 bytes from a seed brings
 * some best[q] down to -2, and best[M] <= best[q] + 1 for every q: the
 * proof is abandoned (and the search run) as soon as any best[q] <= -2 is
 * certain. Until then best lies in {-1, 0, 1} and each seed's run is at
 * most h(o) + 3 bytes long, so its candidates end at most 8 bytes later. */

/* The proof is tried on values of at least this size only: below it the
 * search costs less than the proof's tables. */
const size_t kMinProofLength = 1024;

/* Above this old length the 4-gram filter, kept to 4 MiB, would let too
 * many positions through to pay off. */
const size_t kMaxProofOldLength = 4u << 20;

/* The (up to) eight bytes at p as a little-endian integer, zero past end. */
uint64_t load8(const uint8_t *p, const uint8_t *end)
{
    uint64_t w = 0;
    if (end - p >= 8) {
        memcpy(&w, p, 8);
        return w;
    }
    for (int i = 0; p + i < end; i++)
        w |= (uint64_t)p[i] << (8 * i);
    return w;
}

uint64_t gram_mask(int32_t t)
{
    return ((uint64_t)1 << (8 * t)) - 1;
}

uint32_t hash_bits(uint64_t gram, uint64_t multiplier, unsigned bits)
{
    return (uint32_t)((gram * multiplier) >> (64 - bits));
}

const uint64_t kHashA = 0x9E3779B97F4A7C15ull;
const uint64_t kHashB = 0xC2B2AE3D27D4EB4Full;

unsigned log2_at_least(uint64_t n, unsigned low, unsigned high)
{
    unsigned bits = low;
    while (bits < high && ((uint64_t)1 << bits) < n)
        bits++;
    return bits;
}

/* Positions of grams, chained by hash, behind a bit filter (16 bits per
 * entry, one hash) that turns most absent grams away without touching the
 * chains. */
class gram_table {
public:
    ~gram_table()
    {
        ostrel_free(heads_);
        ostrel_free(entries_);
        ostrel_free(filter_);
    }

    bool init(uint32_t capacity)
    {
        bits_ = log2_at_least(2 * (uint64_t)capacity, 10, 30);
        heads_ = (uint32_t *)ostrel_calloc((size_t)1 << bits_, sizeof(uint32_t));
        filter_ = (uint64_t *)ostrel_calloc((size_t)1 << (bits_ + 3 - 6), sizeof(uint64_t));
        entries_ = (entry *)ostrel_malloc((size_t)std::max(capacity, 1u) * sizeof(entry));
        capacity_ = capacity;
        return heads_ && filter_ && entries_;
    }

    /* False when the table is full. */
    bool add(uint64_t gram, uint32_t position)
    {
        if (count_ == capacity_)
            return false;
        uint32_t f = hash_bits(gram, kHashB, bits_ + 3);
        filter_[f >> 6] |= (uint64_t)1 << (f & 63);
        uint32_t &head = heads_[hash_bits(gram, kHashA, bits_)];
        entries_[count_] = {gram, position, head};
        head = ++count_;
        return true;
    }

    /* Calls f(position) for every entry of the gram, until f returns false;
     * false then. */
    template <typename F>
    bool each(uint64_t gram, F f) const
    {
        uint32_t bit = hash_bits(gram, kHashB, bits_ + 3);
        if (!((filter_[bit >> 6] >> (bit & 63)) & 1))
            return true;
        for (uint32_t i = heads_[hash_bits(gram, kHashA, bits_)]; i != 0; i = entries_[i - 1].next) {
            if (entries_[i - 1].gram == gram && !f(entries_[i - 1].position))
                return false;
        }
        return true;
    }

private:
    struct entry {
        uint64_t gram;
        uint32_t position;
        uint32_t next; /* entry number + 1 of the next in the chain, 0 at its end */
    };
    uint32_t *heads_ = nullptr;
    entry *entries_ = nullptr;
    uint64_t *filter_ = nullptr;
    uint32_t capacity_ = 0, count_ = 0;
    unsigned bits_ = 0;
};

/* Bit filter of a large set of grams, 16 bits per gram, with two bits per
 * gram in one 64-bit word, so that each test reads one word. */
class gram_filter {
public:
    ~gram_filter() { ostrel_free(words_); }

    bool init(uint64_t count)
    {
        log_ = log2_at_least(count / 4, 10, 19) + 6;
        words_ = (uint64_t *)ostrel_calloc((size_t)1 << (log_ - 6), sizeof(uint64_t));
        return words_ != nullptr;
    }

    void add(uint64_t gram) { words_[word(gram)] |= mask(gram); }

    /* The filter is far larger than the caches and read at random: the
     * scans ask for a gram's word some positions ahead of its test. */
    void prefetch(uint64_t gram) const { __builtin_prefetch(&words_[word(gram)]); }

    bool may_contain(uint64_t gram) const
    {
        uint64_t m = mask(gram);
        return (words_[word(gram)] & m) == m;
    }

private:
    uint32_t word(uint64_t gram) const { return hash_bits(gram, kHashA, log_ - 6); }
    static uint64_t mask(uint64_t gram)
    {
        uint64_t h = gram * kHashB;
        return ((uint64_t)1 << (h >> 58)) | ((uint64_t)1 << ((h >> 52) & 63));
    }

    uint64_t *words_ = nullptr;
    unsigned log_ = 0;
};

/* A candidate run: old[o, o + length) = new[p, p + length). */
struct seed {
    uint32_t p, o, length;
};

class unrelated_proof {
public:
    unrelated_proof(const buf *old_value, const buf *new_value)
        : old_((const uint8_t *)old_value->data), new_((const uint8_t *)new_value->data),
          n_((uint32_t)old_value->len), m_((uint32_t)new_value->len)
    {
    }
    ~unrelated_proof() { ostrel_free(seeds_); }
    unrelated_proof(const unrelated_proof &) = delete;
    unrelated_proof &operator=(const unrelated_proof &) = delete;

    bool holds();

private:
    bool looks_related() const;
    bool collect();
    bool add_seed(uint32_t o, uint32_t p, int32_t t);
    bool lower_bound_holds();

    const uint8_t *old_, *new_;
    const uint32_t n_, m_;
    seed *seeds_ = nullptr;
    uint32_t seed_count_ = 0, seed_capacity_ = 0;
};

/* A dozen 8-byte samples of new's middle half, each looked for in old
 * within 32 KiB of the proportional place: values that are related in the
 * usual ways share some of them, unrelated ones none. */
bool unrelated_proof::looks_related() const
{
    const uint64_t window = 32768, samples = 12;
    for (uint64_t i = 0; i < samples; i++) {
        uint64_t p = m_ / 4 + (uint64_t)(m_ / 2) * i / samples;
        uint64_t c = p * n_ / m_;
        uint64_t from = c > window ? c - window : 0;
        uint64_t to = std::min((uint64_t)n_, c + window + 8);
        if (to - from >= 8 && memmem(old_ + from, (size_t)(to - from), new_ + p, 8))
            return true;
    }
    return false;
}

/* Records the run from a seed whose first t bytes are known equal; false
 * when it reaches h(o) + 4 bytes (the bound fails) or the seeds overflow. */
bool unrelated_proof::add_seed(uint32_t o, uint32_t p, int32_t t)
{
    const uint32_t stop = (uint32_t)cbor_head_size(o) + 4;
    uint32_t length = (uint32_t)t;
    while (length < stop && o + length < n_ && p + length < m_ && old_[o + length] == new_[p + length])
        length++;
    if (length == stop)
        return false;
    if (seed_count_ == seed_capacity_) {
        uint32_t capacity = seed_capacity_ ? 2 * seed_capacity_ : 1024;
        if (capacity > m_ / 8 + 1024)
            return false;
        seed *grown = (seed *)ostrel_realloc(seeds_, capacity * sizeof(seed));
        if (!grown)
            return false;
        seeds_ = grown;
        seed_capacity_ = capacity;
    }
    seeds_[seed_count_++] = {p, o, length};
    return true;
}

/* Finds every seed. The bigrams and trigrams of old[0, 256) sit in exact
 * tables, looked up at each position of new. For o >= 256 a 4-gram of old
 * starts every seed (a 6-gram seed starts with one too): a filter of those
 * 4-grams flags the positions of new that may hold one, and a scan of old
 * then checks the flagged positions exactly, against 4 bytes below 65536
 * and 6 beyond. */
bool unrelated_proof::collect()
{
    struct gram_class {
        uint32_t first, last; /* offsets o of the class */
        int32_t t;            /* gram length */
    };
    const gram_class near[2] = {{0, 24, 2}, {24, 256, 3}};
    gram_table tables[2];
    for (int c = 0; c < 2; c++) {
        const gram_class &k = near[c];
        if (!tables[c].init(k.last - k.first))
            return false;
        for (uint32_t o = k.first; o < k.last; o++)
            tables[c].add(load8(old_ + o, old_ + n_) & gram_mask(k.t), o);
    }

    const uint32_t far_first = 256, far_last = n_ - 3; /* 4-grams at o in [far_first, far_last) */
    const uint32_t ahead = 16;
    gram_filter far_grams;
    if (!far_grams.init(far_last - far_first))
        return false;
    for (uint32_t o = far_first; o < far_last; o++) {
        if (o + ahead < far_last)
            far_grams.prefetch(load8(old_ + o + ahead, old_ + n_) & gram_mask(4));
        far_grams.add(load8(old_ + o, old_ + n_) & gram_mask(4));
    }

    /* Positions of new whose 4-gram passes the filter, at most 1 in 32. */
    const uint32_t flag_limit = m_ / 32 + 1024;
    uint32_t *flags = (uint32_t *)ostrel_malloc(flag_limit * sizeof(uint32_t));
    if (!flags)
        return false;
    uint32_t flag_count = 0;
    bool ok = true;
    const uint8_t *end = new_ + m_;
    for (uint32_t p = 0; ok && p + 2 <= m_; p++) {
        uint64_t w = load8(new_ + p, end);
        if (p + ahead + 4 <= m_)
            far_grams.prefetch(load8(new_ + p + ahead, end) & gram_mask(4));
        ok = tables[0].each(w & gram_mask(2), [&](uint32_t o) { return add_seed(o, p, 2); });
        if (ok && p + 3 <= m_)
            ok = tables[1].each(w & gram_mask(3), [&](uint32_t o) { return add_seed(o, p, 3); });
        if (ok && p + 4 <= m_ && far_grams.may_contain(w & gram_mask(4))) {
            ok = flag_count < flag_limit;
            if (ok)
                flags[flag_count++] = p;
        }
    }

    gram_table flagged;
    ok = ok && flagged.init(flag_count);
    for (uint32_t i = 0; ok && i < flag_count; i++)
        flagged.add(load8(new_ + flags[i], end) & gram_mask(4), flags[i]);
    ostrel_free(flags);
    for (uint32_t o = far_first; ok && o < far_last; o++) {
        ok = flagged.each(load8(old_ + o, old_ + n_) & gram_mask(4), [&](uint32_t p) {
            if (o < 65536)
                return add_seed(o, p, 4);
            bool six = o + 6 <= n_ && p + 6 <= m_ && old_[o + 4] == new_[p + 4] && old_[o + 5] == new_[p + 5];
            return !six || add_seed(o, p, 6);
        });
    }
    return ok;
}

/* The recurrence over new's positions, with the candidates of each seed
 * kept in a ring of the next 16 positions. */
bool unrelated_proof::lower_bound_holds()
{
    std::sort(seeds_, seeds_ + seed_count_, [](const seed &a, const seed &b) { return a.p < b.p; });
    int32_t pending[16];
    std::fill(pending, pending + 16, 2); /* above any best: no candidate */
    int32_t low = 0;                     /* min of best[0 .. p - 1] */
    uint32_t reach = 0;                  /* last position with a candidate */
    uint32_t next = 0;
    for (uint32_t p = 0;;) {
        int32_t here = 0;
        if (p > 0) {
            here = std::min(low + 1, pending[p % 16]);
            pending[p % 16] = 2;
            if (here <= -2)
                return false;
        }
        for (; next < seed_count_ && seeds_[next].p == p; next++) {
            const seed &s = seeds_[next];
            const int32_t ho = (int32_t)cbor_head_size(s.o);
            for (uint32_t l = (uint32_t)ho + 1; l <= s.length; l++) {
                int32_t &slot = pending[(p + l) % 16];
                slot = std::min(slot, here + ho + 1 - (int32_t)l); /* h(l) = 1: l <= 8 */
            }
            reach = std::max(reach, p + s.length);
        }
        if (p == m_)
            return here >= 0;
        low = std::min(low, here);
        if (p < reach)
            p++;
        else /* no candidate ahead: best stays low + 1 up to the next seed */
            p = next < seed_count_ ? seeds_[next].p : m_;
    }
}

bool unrelated_proof::holds()
{
    if (n_ < kMinProofLength || m_ < kMinProofLength || n_ > kMaxProofOldLength || !old_ || !new_)
        return false;
    /* A common prefix of 5 bytes or suffix of 9 already defeats the bound. */
    if (memcmp(old_, new_, 5) == 0 || memcmp(old_ + n_ - 9, new_ + m_ - 9, 9) == 0)
        return false;
    return !looks_related() && collect() && lower_bound_holds();
}

}  // namespace

bool diff_values_unrelated(const buf *old_value, const buf *new_value)
{
    if (!old_value || !new_value || old_value->len > INT32_MAX || new_value->len > INT32_MAX)
        return false;
    unrelated_proof proof(old_value, new_value);
    return proof.holds();
}

/* Matching delta generator: the delta between two values in the same
 * format and the same three shapes as the generation driver (ordinary,
 * replacement, no-change f6), found by matching against an index of the
 * old value instead of the bounded search. Matches may come from any part
 * of the old value, in any order, so moved and repeated text costs little.
 *
 * The level trades time for size: every level reads each byte a bounded
 * number of times, so time grows linearly with the sizes at every level,
 * whatever the values hold. The same values and level give the same bytes
 * on every build. Levels 1 to 3 choose matches lazily (a match is weighed
 * against those starting a few bytes later), levels 4 and 5 by the
 * cheapest path over every position, with ever denser indexes of the old
 * value (one position in 8, 4, 2, 2 and 1 at levels 1 to 5); level 5 also
 * looks up short matches, which pay where offsets are cheap, by their first
 * 4 bytes. Every level also looks for each match beside the diagonal of the
 * last long one, where a revision's next match most often lies. A level's
 * delta is the smallest of its own and those of every level below it, so a
 * higher level never gives a larger delta; its time is the sum of theirs.
 * The default
 * level DIFF_MATCH_DEFAULT_LEVEL (0) adapts to the values: level 1's delta,
 * or the smaller of levels 1 and 4 unless level 1 left more than a quarter
 * of the new value unmatched against an old value of over 1 MiB (machine
 * code, compressed data), where level 4 gains little for its time. New
 * values of up to 4 KiB are also diffed by the bounded search
 * (diff_generate_binary), and the smaller delta is kept.
 *
 * Memory beside the values and the delta (which grows by doubling): the
 * index of one level at a time, at most 4 bytes per indexed position of the
 * old value, or 4 KiB for small values (at level 5 two such indexes), and
 * at levels 4 and 5 a window of about 200 KiB.
 *
 * All of this is said of levels 1 to 5. Level 6 is the smallest delta the
 * format can express, diff_optimal_binary (delta_optimal.h states its
 * time, memory and size limit); its index holds nothing.
 *
 * The result is a new buffer that the caller frees with buf_free, or NULL
 * for a NULL argument, a level neither DIFF_MATCH_DEFAULT_LEVEL nor within
 * [DIFF_MATCH_MIN_LEVEL, DIFF_MATCH_MAX_LEVEL], a value longer than INT32_MAX bytes, or memory
 * exhaustion (at level 6 also old and new longer than DIFF_OPTIMAL_MAX_TOTAL
 * together). Arguments are only read.
 *
 * Many deltas against one old value share its index: diff_match_index_build
 * builds it once for a level, and each diff_match_index_compute gives
 * exactly the bytes of diff_match_binary with that old value and level,
 * without building it again; it holds the index of every level the
 * level's deltas are chosen from (at most 11.5 bytes per old byte, at
 * level 5; 2.5 for the default). The index keeps a pointer to the old value's
 * bytes, not a copy: they must stay in place and unchanged until it is
 * freed. Any number of threads may compute against one index at once;
 * building and freeing it may not overlap them. */
#ifndef OSTREL_DELTA_MATCH_H
#define OSTREL_DELTA_MATCH_H

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

#define DIFF_MATCH_MIN_LEVEL 1
#define DIFF_MATCH_MAX_LEVEL 6 /* the smallest delta: diff_optimal_binary */
#define DIFF_MATCH_DEFAULT_LEVEL 0 /* adapts to the values (see above) */

OSTREL_API buf *diff_match_binary(const buf *old_value, const buf *new_value, int level);

typedef struct diff_match_index diff_match_index;

/* New index of old_value at level, caller frees with diff_match_index_free;
 * NULL for the arguments diff_match_binary refuses, or memory exhaustion. */
OSTREL_API diff_match_index *diff_match_index_build(const buf *old_value, int level);
/* New delta from the index's old value to new_value, caller frees with
 * buf_free; NULL for a NULL or refused argument, or memory exhaustion. */
OSTREL_API buf *diff_match_index_compute(const diff_match_index *index, const buf *new_value);
/* Bytes the index holds beside the old value; 0 for NULL. */
OSTREL_API size_t diff_match_index_size(const diff_match_index *index);
/* Releases the index (not the old value); NULL accepted. */
OSTREL_API void diff_match_index_free(diff_match_index *index);

OSTREL_END_DECLS

#endif

/* Optimal delta generator: the smallest delta the format can express for
 * two values, in the same three shapes as the other generators (ordinary;
 * replacement when no ordinary delta is shorter than the new value;
 * no-change f6 for identical values of at least 2 bytes). It is the
 * matching generator's highest level (diff_match_binary at
 * DIFF_MATCH_MAX_LEVEL).
 *
 * The ordinary delta is the cheapest parse of the new value into items,
 * each priced by its shortest heads: a match costs head(offset) +
 * head(length), a byte string head(length) + length. A suffix array over
 * both values (libdivsufsort) gives, at each position of the new value and
 * for each size of offset head (offsets below 24, 256, 65536, 2^31: 1, 2,
 * 3, 5 bytes), the longest match; a right-to-left dynamic program with
 * range minima then prices every item that can start there. Among parses
 * of equal cost the choice is fixed, so the same values give the same
 * bytes on every build.
 *
 * Time grows as N log N in N = old + new bytes. Memory beside the values
 * and the delta: 5 bytes per byte of old and new while the suffixes are
 * sorted, and divsufsort's table of 256 KiB (values of at most 8 KiB
 * together are sorted without it, with 12 bytes more per byte), 9 while
 * their common prefixes are found, then 8 per byte of old and new plus 24
 * per byte of new while the longest matches are found, then at most 40
 * per byte of new for the parse: at most 40 bytes per byte of old and new
 * in all (when the old value is small against the new one; about 20 when
 * they are alike in size). Values of more than DIFF_OPTIMAL_MAX_TOTAL
 * bytes together are refused: a machine with 24 GiB of memory can serve
 * that size.
 *
 * progress, when not NULL, is called now and then from the calling thread
 * with a stage and the work done of a total (done 0 when a stage begins,
 * done == total when it ends); its answer 0 goes on, any other answer
 * stops the work and the result is NULL.
 *
 * The result is a new buffer that the caller frees with buf_free, or NULL
 * for a NULL argument, values longer than DIFF_OPTIMAL_MAX_TOTAL bytes
 * together, memory exhaustion or a stop asked by progress. Arguments are
 * only read. */
#ifndef OSTREL_DELTA_OPTIMAL_H
#define OSTREL_DELTA_OPTIMAL_H

#include <stdint.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

#define DIFF_OPTIMAL_MAX_TOTAL 536870912u /* 512 MiB of old and new together */

/* Stages, in order. */
enum { DIFF_OPTIMAL_SORTING = 0, DIFF_OPTIMAL_MATCHING = 1, DIFF_OPTIMAL_PARSING = 2 };

typedef int (*diff_optimal_progress)(void *context, int stage, uint64_t done, uint64_t total);

OSTREL_API buf *diff_optimal_binary(const buf *old_value, const buf *new_value, diff_optimal_progress progress,
                                    void *context);

OSTREL_END_DECLS

#endif

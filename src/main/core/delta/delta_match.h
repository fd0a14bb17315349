/* Matching delta generator: the delta between two values in the same
 * format and the same three shapes as the generation driver (ordinary,
 * replacement, no-change f6), found by matching against an index of the
 * old value instead of the bounded search. Matches may come from any part
 * of the old value, in any order, so moved and repeated text costs little.
 *
 * The level trades time for size: every level reads each byte a bounded
 * number of times, so time grows linearly with the sizes at every level,
 * whatever the values hold. The same values and level give the same bytes
 * on every build. Memory beside the values and the delta (which grows by
 * doubling): an index of at most 4 bytes per indexed position of the old
 * value (one position in 8, 4, 2, 1 and 1 at levels 1 to 5), or 4 KiB for
 * small values, and at the highest level a window of about 200 KiB.
 * Levels 1 to 4 choose matches lazily (a match is weighed against those
 * starting a few bytes later), level 5 by the cheapest path over every
 * position. New values of up to 4 KiB are also diffed by the bounded search
 * (diff_generate_binary), and the smaller delta is kept.
 *
 * The result is a new buffer that the caller frees with buf_free, or NULL
 * for a NULL argument, a level outside [DIFF_MATCH_MIN_LEVEL,
 * DIFF_MATCH_MAX_LEVEL], a value longer than INT32_MAX bytes, or memory
 * exhaustion. Arguments are only read. */
#ifndef OSTREL_DELTA_MATCH_H
#define OSTREL_DELTA_MATCH_H

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

#define DIFF_MATCH_MIN_LEVEL 1
#define DIFF_MATCH_MAX_LEVEL 5
#define DIFF_MATCH_DEFAULT_LEVEL 3 /* the benchmark's balance of size and time */

OSTREL_API buf *diff_match_binary(const buf *old_value, const buf *new_value, int level);

OSTREL_END_DECLS

#endif

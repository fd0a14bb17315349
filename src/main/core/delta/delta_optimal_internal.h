/* The suffix sort that the optimal delta generator uses for small values,
 * where divsufsort's fixed bucket table of 256 KiB would be most of the
 * memory. Linked into the core but not exported from the shared library. */
#ifndef OSTREL_DELTA_OPTIMAL_INTERNAL_H
#define OSTREL_DELTA_OPTIMAL_INTERNAL_H

#include <stdbool.h>
#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* Values of old and new together up to this size are sorted by diff_optimal_sort_small. */
#define DIFF_OPTIMAL_SMALL_TOTAL 8192u

/* Writes to sa[0 .. total) the start of every suffix of text[0 .. total)
 * in sorted order, the order divsufsort gives (a suffix sorts before the
 * longer ones it begins), in at most 14 rounds of a few passes over
 * them. Allocates 12 bytes per byte of text (1 KiB at least) while it
 * runs. False when out of memory or total > DIFF_OPTIMAL_SMALL_TOTAL. */
bool diff_optimal_sort_small(const uint8_t *text, int32_t *sa, uint32_t total);

OSTREL_END_DECLS

#endif

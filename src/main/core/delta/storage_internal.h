/* Cell numbers of the diagonal storage, shared with the search's inner
 * loop, which reads and writes the cells directly instead of going through
 * the bounds-checked accessors of storage.h. Linked into the core, not
 * exported and not installed. */
#ifndef OSTREL_STORAGE_INTERNAL_H
#define OSTREL_STORAGE_INTERNAL_H

#include <stdint.h>

/* 4k for k >= 0 and 4|k| - 1 = ~(4k) for k < 0, wrapping in unsigned
 * 32-bit arithmetic. */
static inline uint32_t storage_cell_forward(int32_t k)
{
    uint32_t four_k = 4u * (uint32_t)k;
    return k < 0 ? ~four_k : four_k;
}

static inline uint32_t storage_cell_reverse(int32_t k)
{
    return storage_cell_forward(k) + 2u;
}

#endif

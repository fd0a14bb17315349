/* Diagonal storage: the forward and reverse V arrays of the Myers search
 * in one growable array of 32-bit cells.
 *
 *   forward key(k) = 4k for k >= 0, 4|k| - 1 for k < 0
 *   reverse key(k) = forward key(k) + 2
 *
 * Untouched forward cells hold -1 and reverse cells INT32_MAX, so a search
 * never prefers an untouched neighbour. The size limit caps the distance d;
 * storage_extend refusing is how the search learns it must stop. An
 * allocation failure also makes storage_ensure and storage_extend refuse. */
#ifndef OSTREL_STORAGE_H
#define OSTREL_STORAGE_H

#include <stdbool.h>
#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef struct storage {
    int32_t *cells;         /* owned */
    uint32_t cell_capacity; /* cells allocated */
    uint32_t size_limit;
    uint32_t max_d;         /* (size_limit - 3) >> 2: the largest d storage_extend accepts */
    uint32_t cell_count;    /* cells in use for the current d: 4d + 7 */
} storage;

OSTREL_API storage *storage_create(uint32_t size_limit);   /* initialised for d = 1, caller frees; NULL on OOM */
OSTREL_API void storage_free(storage *s);                  /* NULL accepted */
OSTREL_API bool storage_ensure(storage *s, int32_t d);
OSTREL_API void storage_fill(storage *s, uint32_t first_cell);
OSTREL_API bool storage_initialise(storage *s, int32_t d);
OSTREL_API bool storage_extend(storage *s, int32_t d);
OSTREL_API int32_t storage_key_forward(int32_t k);
OSTREL_API int32_t storage_key_reverse(int32_t k);
OSTREL_API int32_t storage_key_forward_get(const storage *s, int32_t k);   /* INT32_MIN when out of range */
OSTREL_API int32_t storage_key_reverse_get(const storage *s, int32_t k);   /* INT32_MIN when out of range or k = INT32_MIN */
OSTREL_API bool storage_key_forward_set(storage *s, int32_t k, int32_t value);
OSTREL_API bool storage_key_reverse_set(storage *s, int32_t k, int32_t value);
OSTREL_API int32_t storage_key_forward_get_next(const storage *s, int32_t k);  /* max(V[k+1] + 1, V[k-1]) */
OSTREL_API int32_t storage_key_reverse_get_next(const storage *s, int32_t k);  /* min(V[k+1], V[k-1] - 1) */

OSTREL_END_DECLS

#endif

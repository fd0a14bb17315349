#include "storage.h"

#include <string.h>

#include "alloc.h"
#include "storage_internal.h"

/* Cells, by number:
 *   0: forward 0   1: unused   2: reverse 0
 *   then for j = 1, 2, ...: 4j-1 forward -j, 4j forward +j,
 *                           4j+1 reverse -j, 4j+2 reverse +j */

static const int32_t fill_pattern[4] = {-1, -1, INT32_MAX, INT32_MAX};

bool storage_ensure(storage *s, int32_t d)
{
    /* d is taken as unsigned, so a negative d asks for a huge size. */
    uint64_t needed = 4 * (uint64_t)(uint32_t)d + 7;
    if (s->cell_capacity >= needed + 4) {
        s->cell_count = (uint32_t)needed;
        return true;
    }
    uint64_t cells = 2 * needed;
    if (cells > UINT32_MAX || cells > SIZE_MAX / sizeof(int32_t))
        return false;
    int32_t *grown = (int32_t *)ostrel_realloc(s->cells, (size_t)cells * sizeof(int32_t));
    if (!grown)
        return false;
    memset(grown + s->cell_capacity, 0, ((size_t)cells - s->cell_capacity) * sizeof(int32_t));
    s->cells = grown;
    s->cell_capacity = (uint32_t)cells;
    s->cell_count = (uint32_t)needed;
    return true;
}

void storage_fill(storage *s, uint32_t first_cell)
{
    /* Groups start at first_cell, first_cell + 4, ... while below
     * cell_count + 4; a cell past the capacity (only reachable with a first
     * cell that is not 3 modulo 4) is left alone. */
    for (uint64_t group = first_cell; group < (uint64_t)s->cell_count + 4; group += 4) {
        for (uint32_t i = 0; i < 4; i++) {
            if (group + i < s->cell_capacity)
                s->cells[group + i] = fill_pattern[i];
        }
    }
}

bool storage_initialise(storage *s, int32_t d)
{
    if (d <= 0 || !storage_ensure(s, d))
        return false;
    storage_fill(s, 3);
    return true;
}

storage *storage_create(uint32_t size_limit)
{
    storage *s = (storage *)ostrel_calloc(1, sizeof(storage));
    if (!s)
        return NULL;
    s->size_limit = size_limit;
    s->max_d = (size_limit - 3) >> 2;
    if (!storage_initialise(s, 1)) {
        storage_free(s);
        return NULL;
    }
    return s;
}

void storage_free(storage *s)
{
    if (!s)
        return;
    ostrel_free(s->cells);
    ostrel_free(s);
}

bool storage_extend(storage *s, int32_t d)
{
    if (s->max_d < (uint32_t)d)
        return false;
    uint32_t old_count = s->cell_count;
    if (!storage_ensure(s, d))
        return false;
    storage_fill(s, old_count);
    return true;
}

/* The mapping wraps in unsigned 32-bit arithmetic, so every k has a key. */
int32_t storage_key_forward(int32_t k)
{
    return (int32_t)storage_cell_forward(k);
}

int32_t storage_key_reverse(int32_t k)
{
    return (int32_t)storage_cell_reverse(k);
}

int32_t storage_key_forward_get(const storage *s, int32_t k)
{
    uint32_t key = (uint32_t)storage_key_forward(k);
    if (!s || key >= s->cell_capacity)
        return INT32_MIN;
    return s->cells[key];
}

/* k = INT32_MIN wraps onto the unused cell 1: it is refused instead. */
int32_t storage_key_reverse_get(const storage *s, int32_t k)
{
    uint32_t key = (uint32_t)storage_key_reverse(k);
    if (!s || k == INT32_MIN || key >= s->cell_capacity)
        return INT32_MIN;
    return s->cells[key];
}

bool storage_key_forward_set(storage *s, int32_t k, int32_t value)
{
    uint32_t key = (uint32_t)storage_key_forward(k);
    if (!s || key >= s->cell_capacity)
        return false;
    s->cells[key] = value;
    return true;
}

bool storage_key_reverse_set(storage *s, int32_t k, int32_t value)
{
    uint32_t key = (uint32_t)storage_key_reverse(k);
    if (!s || k == INT32_MIN || key >= s->cell_capacity)
        return false;
    s->cells[key] = value;
    return true;
}

/* Neighbours and the +1/-1 steps wrap instead of overflowing: an
 * out-of-range neighbour reads as INT32_MIN. */
int32_t storage_key_forward_get_next(const storage *s, int32_t k)
{
    int32_t above = storage_key_forward_get(s, (int32_t)((uint32_t)k + 1));
    int32_t below = storage_key_forward_get(s, (int32_t)((uint32_t)k - 1));
    return above >= below ? (int32_t)((uint32_t)above + 1) : below;
}

int32_t storage_key_reverse_get_next(const storage *s, int32_t k)
{
    int32_t above = storage_key_reverse_get(s, (int32_t)((uint32_t)k + 1));
    int32_t below = storage_key_reverse_get(s, (int32_t)((uint32_t)k - 1));
    return above >= below ? (int32_t)((uint32_t)below - 1) : above;
}

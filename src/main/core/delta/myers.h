/* Bounded linear-space Myers search.
 *
 * Finds the edits that turn old[x0, x0+N) into new[y0, y0+M) and reports
 * them, in new-value order, to a coalescing script in front of an edit
 * script. A step limit, a progress check every 64 steps and a bail-out
 * that splits the problem at the furthest points reached bound the effort
 * while always yielding a delta. Quality 0 to 4 chooses the effort; 4
 * keeps only the common prefix and suffix.
 *
 * Every boolean step returns false only when the edit script's budget or
 * the storage refused, or memory ran out; false is passed straight up and
 * myers_binary_diff then answers MYERS_REPLACEMENT. x0 and y0 are always
 * absolute positions in the old and new values. The steps run on an
 * explicit stack, so no input nests native calls deeply. */
#ifndef OSTREL_MYERS_H
#define OSTREL_MYERS_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "edit_script.h"
#include "ostrel_api.h"
#include "storage.h"

OSTREL_BEGIN_DECLS

typedef struct execution {
    const buf *old_buf;          /* borrowed */
    const buf *new_buf;          /* borrowed */
    coallescing_script *script;  /* borrowed */
    int32_t search_limit;        /* step limit each middle-snake search starts with */
    struct storage *storage;     /* owned */
} execution;

/* Result codes of myers_binary_diff. */
enum {
    MYERS_INVALID_RANGE = -1, /* a range outside its buffer, or no script */
    MYERS_ORDINARY = 0,       /* the delta stands complete in script->output */
    MYERS_REPLACEMENT = 1,    /* search failed or nothing in common */
    MYERS_IDENTICAL = 2
};

OSTREL_API int myers_binary_diff(const buf *old_value, int32_t x0, int32_t n,
                                 const buf *new_value, int32_t y0, int32_t m,
                                 edit_script *script, uint32_t storage_limit,
                                 int32_t search_limit, int32_t quality);
OSTREL_API bool myers_binary_diff_check_bounds(const buf *b, int32_t offset, int32_t length);
OSTREL_API int32_t myers_binary_diff_corner(int32_t d, int32_t n);
OSTREL_API int32_t myers_binary_diff_bailout_limit(int32_t factor, int32_t first_length, int32_t second_length);

/* New execution with its own storage, caller frees; NULL on OOM. */
OSTREL_API execution *execution_create(const buf *old_value, const buf *new_value,
                                       coallescing_script *script, uint32_t storage_limit,
                                       int32_t search_limit);
OSTREL_API void execution_free(execution *e);   /* NULL accepted */
OSTREL_API bool execution_diff(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t unused);
OSTREL_API bool execution_trim_prefix_and_suffix(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m);
OSTREL_API bool execution_middlesnake(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m, int32_t limit);
OSTREL_API bool execution_recurse(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m,
                                  int32_t snake_start, int32_t snake_end, int32_t k);
OSTREL_API bool execution_bail(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m,
                               int32_t corner_n, int32_t corner_m, int32_t limit);
OSTREL_API bool execution_bounded_diff(execution *e, int32_t x0, int32_t n, int32_t y0, int32_t m,
                                       int32_t outer_n, int32_t outer_m, int32_t limit);

OSTREL_END_DECLS

#endif

/* Edit script and coalescing script: turn the search's stream of match,
 * insert and delete operations into an ordinary delta under a budget.
 *
 * The coalescing script joins operations of one kind into runs; the edit
 * script holds back one insert and one match, folds short matches into
 * neighbouring inserts, writes items into `output` and charges each against
 * `budget` (the new value's length). Operations return true, or false once
 * the budget is exhausted; after a false neither script is used again. */
#ifndef OSTREL_EDIT_SCRIPT_H
#define OSTREL_EDIT_SCRIPT_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef struct edit_script {
    int32_t insert_start;  /* in the new value; -1 when no insert is pending */
    int32_t insert_length;
    int32_t match_offset;  /* in the old value; -1 when no match is pending */
    int32_t match_length;
    const buf *old_buf;    /* borrowed */
    const buf *new_buf;    /* borrowed; inserted bytes are copied from it */
    int32_t budget;        /* bytes the delta may still take */
    buf *output;           /* owned: the delta written so far */
} edit_script;

enum { COALLESCING_INSERT = 0, COALLESCING_MATCH = 1, COALLESCING_NONE = 2 };

typedef struct coallescing_script {
    edit_script *script; /* borrowed */
    int32_t old_base;    /* start of the compared old range */
    int32_t new_base;    /* start of the compared new range */
    int32_t kind;        /* pending run: COALLESCING_INSERT, _MATCH or _NONE */
    int32_t run_start;   /* relative to old_base (match) or new_base (insert) */
    int32_t run_length;
    bool single_run;     /* no run has been passed on yet */
} coallescing_script;

/* Result codes of coallescing_script_close. */
enum { DELTA_ORDINARY = 0, DELTA_REPLACEMENT = 1, DELTA_NO_CHANGE = 2 };

/* Caller frees; NULL on OOM, for a NULL value or a new value longer than INT32_MAX. */
OSTREL_API edit_script *edit_script_create(const buf *old_value, const buf *new_value);
OSTREL_API void edit_script_free(edit_script *s);   /* frees output too; NULL accepted */
OSTREL_API bool edit_script_match(edit_script *s, int32_t offset, int32_t length);
OSTREL_API bool edit_script_insert(edit_script *s, int32_t start, int32_t length);
OSTREL_API bool edit_script_close(edit_script *s);

OSTREL_API bool coallescing_script_match(coallescing_script *c, int32_t position, int32_t length);
OSTREL_API bool coallescing_script_insert(coallescing_script *c, int32_t position, int32_t length);
OSTREL_API bool coallescing_script_delete(coallescing_script *c);
/* DELTA_ORDINARY, DELTA_REPLACEMENT or DELTA_NO_CHANGE. */
OSTREL_API int coallescing_script_close(coallescing_script *c, int32_t old_length, int32_t new_length);

OSTREL_END_DECLS

#endif

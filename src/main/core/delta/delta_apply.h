/* Binary delta format and its application.
 *
 * A delta is a run of CBOR items with no wrapper, read until the bytes end:
 *   match  = two unsigned integers, offset then length: copy old[offset, offset+length)
 *   insert = a byte string (a text string is read the same way): append its bytes
 * Anything else is ignored. Special shapes written by the generator: the
 * replacement delta (one byte string holding the whole new value) and the
 * no-change delta, the single byte f6.
 *
 * Two ways to apply one. diff_apply_binary is lenient: f6 yields an empty
 * value (the caller keeps the old value), and an item cut short ends the
 * delta quietly. diff_apply_check and diff_apply_fill are strict: every
 * head is read as CBOR reads it, anything that cannot be read is an error
 * with the byte offset where it lies, f6 yields the old value, and the
 * result's length is known, and may be bounded, before any memory is
 * taken for it. Neither allocates; both only read their arguments. */
#ifndef OSTREL_DELTA_APPLY_H
#define OSTREL_DELTA_APPLY_H

#include <stddef.h>
#include <stdint.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* New buffer with the rebuilt value, caller frees with buf_free; NULL when
 * the delta is malformed: a match without its length, a match outside the
 * old value, or a delta longer than INT32_MAX bytes. A truncated item ends
 * application and the bytes built so far are returned. */
OSTREL_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

/* Answers of diff_apply_check. */
#define DIFF_APPLY_OK 0
#define DIFF_APPLY_NULL_ARGUMENT 1 /* no old value or no delta */
#define DIFF_APPLY_CUT_SHORT 2     /* an item runs past the end of the delta */
#define DIFF_APPLY_BAD_HEAD 3      /* reserved additional information 28-30, or indefinite length on an integer or tag */
#define DIFF_APPLY_NO_LENGTH 4     /* a match offset not followed by an unsigned integer */
#define DIFF_APPLY_OUTSIDE_OLD 5   /* a match names bytes outside the old value */
#define DIFF_APPLY_TOO_LONG 6      /* the result would pass max_length */
/* Answers of the checked application only (delta_check.h). */
#define DIFF_APPLY_BAD_RECORD 7     /* the check record is damaged or cut short */
#define DIFF_APPLY_RECORD_VERSION 8 /* the check record is of a version this reader does not know */
#define DIFF_APPLY_NO_RECORD 9      /* a check is required and the delta has no check record */
#define DIFF_APPLY_WRONG_OLD 10     /* the old value's length or digest differs from the record's */
#define DIFF_APPLY_WRONG_RESULT 11  /* the result's length or digest differs from the record's */

/* Checks delta against old_value in one bounded pass and measures the
 * value it builds. DIFF_APPLY_OK with *length set, or an error code with
 * *offset the position in the delta of the item at fault (for
 * DIFF_APPLY_TOO_LONG, the item that takes the result past max_length). */
OSTREL_API int diff_apply_check(const buf *old_value, const buf *delta, uint64_t max_length, uint64_t *length,
                                size_t *offset);
/* Writes the value of a delta that diff_apply_check accepted with this old
 * value into out, at most room bytes, and returns the bytes written: the
 * measured length, unless the delta or the old value changed in between
 * (then fewer or other bytes, never a write past room). */
OSTREL_API size_t diff_apply_fill(const buf *old_value, const buf *delta, char *out, size_t room);
/* Static text saying what an answer of diff_apply_check or of the checked
 * application means. */
OSTREL_API const char *diff_apply_reason(int code);

OSTREL_END_DECLS

#endif

/* Checked deltas: a check record at the start of a delta names the old
 * value it was made from and the value it builds, by length and XXH3-64
 * digest, so that a wrong base or damaged bytes are refused instead of
 * building wrong bytes.
 *
 * The record is five negative integers (CBOR major type 1), which every
 * reader of the format reads whole and ignores, so diff_apply_binary,
 * diff_apply_check and diff_apply_fill apply a checked delta exactly as
 * they apply the plain one. 29 to 45 bytes:
 *
 *   3b 6f 73 74 72 65 6c 00 01   marker: "ostrel", then version 1 (16 bits)
 *   negint, shortest head        old value's length
 *   3b + 8 bytes                 old value's XXH3-64 digest
 *   negint, shortest head        new value's length
 *   3b + 8 bytes                 new value's XXH3-64 digest
 *
 * The delta after the record is the plain delta, in its three shapes, but
 * for the no-change delta f6: a checked delta writes the match of the
 * whole old value in its place, so that every reader builds the old value.
 * Strict checked reading takes record + f6 as the old value too.
 *
 * A delta claims a record when its first item is a negative integer (no
 * writer of ours ever put one first) or when its bytes 1 to 7 are the
 * marker's "ostrel" 00, whatever byte 0 became. A claimed record must be
 * whole and well formed (the marker, then the four heads in this order and
 * form), else the delta is refused at the offset of the record's item at
 * fault: it is never read as a plain delta.
 *
 * The digest catches accidents (a wrong or changed base, damaged or cut
 * bytes), not someone who can rewrite the record too.
 *
 * Answers are the DIFF_APPLY_* codes of delta_apply.h. Nothing here keeps
 * a pointer to its arguments. */
#ifndef OSTREL_DELTA_CHECK_H
#define OSTREL_DELTA_CHECK_H

#include <stddef.h>
#include <stdint.h>

#include "buf.h"
#include "delta_apply.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

#define DIFF_CHECK_RECORD_MAX 45 /* bytes of the longest record */
#define DIFF_CHECK_VERSION 1

/* What a delta's checked application verifies. */
#define DIFF_CHECK_WHEN_PRESENT 0 /* verify a record when the delta has one */
#define DIFF_CHECK_REQUIRED 1     /* refuse a delta without a record (any other mode reads as this) */
#define DIFF_CHECK_SKIPPED 2      /* apply without verifying; a claimed record must still be well formed */

typedef struct diff_check_record {
    uint64_t old_length;
    uint64_t old_digest; /* XXH3-64, seed 0 */
    uint64_t new_length;
    uint64_t new_digest;
    size_t size; /* bytes the record takes at the start of the delta; 0: the delta has none */
} diff_check_record;

/* Takes delta, a plain delta from old_value to new_value (any generator's
 * result, NULL passes through), and returns it with the check record in
 * front: the same buffer grown, caller frees with buf_free. NULL, with
 * delta freed, for a NULL argument or memory exhaustion. */
OSTREL_API buf *diff_check_prepend(const buf *old_value, const buf *new_value, buf *delta);

/* Reads the record at the start of delta into *record (size 0 when the
 * delta claims none). DIFF_APPLY_OK, or DIFF_APPLY_BAD_RECORD /
 * DIFF_APPLY_RECORD_VERSION with *offset the position of the record's item
 * at fault; DIFF_APPLY_NULL_ARGUMENT for a NULL delta. */
OSTREL_API int diff_check_read(const buf *delta, diff_check_record *record, size_t *offset);

/* diff_apply_check for checked deltas, in one bounded pass that allocates
 * nothing: reads the record, refuses a stated new length past max_length
 * at once, verifies the old value's length and digest (DIFF_APPLY_WRONG_OLD),
 * checks the delta after the record and compares the length it builds
 * with the stated one (DIFF_APPLY_WRONG_RESULT). DIFF_APPLY_NO_RECORD when
 * mode requires a record and there is none. *length and *offset as for
 * diff_apply_check. */
OSTREL_API int diff_apply_checked(const buf *old_value, const buf *delta, int mode, uint64_t max_length,
                                  uint64_t *length, size_t *offset);

/* diff_apply_fill for a delta diff_apply_checked accepted with the same
 * old value and mode: writes at most room bytes into out, *written the
 * count, then verifies the result's length and digest against the record
 * (DIFF_APPLY_WRONG_RESULT). DIFF_APPLY_OK when all is well. */
OSTREL_API int diff_apply_checked_fill(const buf *old_value, const buf *delta, int mode, char *out, size_t room,
                                       size_t *written);

OSTREL_END_DECLS

#endif

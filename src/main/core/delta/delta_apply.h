/* Binary delta format and its application.
 *
 * A delta is a run of CBOR items with no wrapper, read until the bytes end:
 *   match  = two unsigned integers, offset then length: copy old[offset, offset+length)
 *   insert = a byte string (a text string is read the same way): append its bytes
 * Anything else is ignored. Special shapes written by the generator: the
 * replacement delta (one byte string holding the whole new value) and the
 * no-change delta, the single byte f6, which application does not treat
 * specially (it yields an empty value; the caller keeps the old value). */
#ifndef OSTREL_DELTA_APPLY_H
#define OSTREL_DELTA_APPLY_H

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* New buffer with the rebuilt value, caller frees with buf_free; NULL when
 * the delta is malformed: a match without its length, a match outside the
 * old value, or a delta longer than INT32_MAX bytes. A truncated item ends
 * application and the bytes built so far are returned. */
OSTREL_API buf *diff_apply_binary(const buf *old_value, const buf *delta);

OSTREL_END_DECLS

#endif

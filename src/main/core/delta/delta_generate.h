/* Delta generation driver: runs the search over two whole values and
 * returns one of the three delta shapes: ordinary, replacement (one byte
 * string of the whole new value) or no-change (the byte f6, only for
 * identical values of at least 2 bytes). A delta never reaches the new
 * value's length: it would be replaced by the replacement delta.
 *
 * Every function returns a new buffer that the caller frees with buf_free,
 * or NULL for a NULL argument, a value longer than INT32_MAX bytes, or
 * memory exhaustion. Arguments are only read. */
#ifndef OSTREL_DELTA_GENERATE_H
#define OSTREL_DELTA_GENERATE_H

#include <stdint.h>

#include "activity_history.h"
#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

#define DIFF_DEFAULT_STORAGE_LIMIT 2147483647u
#define DIFF_DEFAULT_SEARCH_LIMIT 10000

OSTREL_API buf *diff_generate_binary(const buf *old_value, const buf *new_value);
OSTREL_API buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value,
                                        uint32_t storage_limit, int32_t search_limit);
/* history may be NULL (quality 0); otherwise it grades the quality and is updated. */
OSTREL_API buf *diff_generate_binary_with_activity_history(activity_history *history,
                                                           const buf *old_value, const buf *new_value);
OSTREL_API buf *diff_generate_binary_with_activity_history_ex(activity_history *history,
                                                              const buf *old_value, const buf *new_value,
                                                              uint32_t storage_limit, int32_t search_limit);
OSTREL_API buf *_write_replacement_delta(const buf *new_value);

OSTREL_END_DECLS

#endif

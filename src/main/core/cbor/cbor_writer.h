/* CBOR generator and item writers.
 *
 * A cbor_generator is an output stream that owns its bytes (data, len).
 * Every writer appends one item head, or a whole item for strings, simple
 * values and floats, in shortest form. Nesting is the caller's business.
 *
 * Results: 0 on success, -1 on failure (NULL generator, storage that
 * cannot grow, or a stream that would pass INT32_MAX bytes). A failed
 * single append leaves the stream as it was; a writer of several pieces
 * stops at the first failure and the pieces before it stay. The float
 * writers return 1 on success (cbor_write_float: 0 for NaN and the
 * infinities). A length or count of -1 selects the indefinite form. A
 * string length above INT32_MAX or below -1, or a NULL source with a
 * positive length, fails with nothing written. A source inside the
 * stream's own bytes is allowed. */
#ifndef OSTREL_CBOR_WRITER_H
#define OSTREL_CBOR_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* data holds len bytes in storage sized from len alone (len rounded up to a
 * power of two), so a generator is made by cbor_generator_create or zeroed
 * by its owner, and never given storage of other origin. */
typedef struct cbor_generator {
    uint8_t *data; /* NULL until the first append */
    int len;       /* bytes at data */
} cbor_generator;

OSTREL_API cbor_generator *cbor_generator_create(void);   /* new empty stream, caller frees; NULL on OOM */
OSTREL_API void cbor_generator_free(cbor_generator *g);   /* NULL accepted */
OSTREL_API int _cbor_generator_write_byte(cbor_generator *g, int byte);
OSTREL_API int _cbor_generator_write_bytes(cbor_generator *g, const void *src, size_t n);

OSTREL_API int _cbor_write_uint_helper(cbor_generator *g, uint8_t major, uint64_t argument);
OSTREL_API int _cbor_write_uint_sized(cbor_generator *g, uint8_t head, uint64_t argument);

OSTREL_API int cbor_write_uint(cbor_generator *g, uint64_t value);
OSTREL_API int cbor_write_negint(cbor_generator *g, int64_t value);      /* argument is ~value */
OSTREL_API int cbor_write_byte_string(cbor_generator *g, const void *bytes, int64_t length);
OSTREL_API int cbor_write_text_string(cbor_generator *g, const char *text, int64_t length);
OSTREL_API int cbor_write_array(cbor_generator *g, int64_t count);
OSTREL_API int cbor_write_map(cbor_generator *g, int64_t pair_count);
OSTREL_API int cbor_write_false(cbor_generator *g);
OSTREL_API int cbor_write_true(cbor_generator *g);
OSTREL_API int cbor_write_null(cbor_generator *g);
OSTREL_API int cbor_write_undefined(cbor_generator *g);
OSTREL_API int cbor_write_break(cbor_generator *g);
OSTREL_API int cbor_write_float(cbor_generator *g, double value);        /* narrowest exact width */
OSTREL_API int cbor_write_float32(cbor_generator *g, double value);
OSTREL_API int cbor_write_float64(cbor_generator *g, double value);

OSTREL_END_DECLS

#endif

/* Growable byte buffer.
 *
 * A buf owns its storage; buf_free releases storage and structure. A buf
 * may also be built by hand as a read-only view of memory owned elsewhere
 * (capacity == len): such a view is only ever read by the core.
 *
 * Appends grow by doubling (capacity = 2 * (len + n)). An append that
 * cannot grow the storage (allocation failure, or a size that would
 * overflow size_t) leaves the buffer unchanged. A source inside the
 * buffer's own storage is allowed.
 *
 * Cursor reads decode from raw memory: they return the cursor past what
 * they consumed, or NULL; a NULL cursor gives NULL, so reads chain. They
 * do not know where the data ends: the caller bounds them. */
#ifndef OSTREL_BUF_H
#define OSTREL_BUF_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef struct buf {
    char *data;      /* NULL until something was allocated */
    size_t len;      /* valid bytes at data */
    size_t capacity; /* bytes allocated at data */
} buf;

/* Creation, release, copy. */
OSTREL_API buf *buf_create(void);             /* new empty buffer, caller frees with buf_free; NULL on OOM */
OSTREL_API void buf_free(buf *b);             /* NULL accepted */
OSTREL_API buf *buf_dup(const buf *b);        /* new exact-size copy, caller frees; NULL for NULL or OOM */

/* Appends; nothing is returned, the buffer is unchanged when it cannot grow. */
OSTREL_API void buf_write_bytes(buf *b, const void *src, size_t n);
OSTREL_API void buf_write_byte(buf *b, uint8_t byte);
OSTREL_API void buf_write_bool(buf *b, bool value);                  /* NULL buffer: nothing */
OSTREL_API void buf_write_string(buf *b, const char *text);          /* text bytes, no prefix, no NUL */
OSTREL_API void buf_write_buf(buf *dst, const buf *src);
OSTREL_API void buf_write_float(buf *b, float value);                /* 4 bytes in memory order */
OSTREL_API void buf_write_uint32_enc(buf *b, uint32_t value);        /* unsigned LEB128, 1-5 bytes */
OSTREL_API void buf_write_uint64_enc(buf *b, uint64_t value);        /* unsigned LEB128, 1-10 bytes */
OSTREL_API void buf_write_string_length_enc(buf *b, const void *src, uint64_t length);  /* length > UINT32_MAX: nothing */
OSTREL_API void buf_write_string_enc(buf *b, const char *text);      /* NULL text written as length 0 */
OSTREL_API int buf_sprintf(buf *b, const char *format, ...)          /* bytes appended, or < 0 */
    __attribute__((format(printf, 2, 3)));

/* Cursor reads; out may be NULL to skip; out is written only on success. */
OSTREL_API const char *buf_read_byte(const char *cursor, char *out);
OSTREL_API const char *buf_read_bool(const char *cursor, bool *out);
OSTREL_API const char *buf_read_uint32(const char *cursor, uint32_t *out);      /* big-endian */
OSTREL_API const char *buf_read_uint64(const char *cursor, uint64_t *out);      /* big-endian */
OSTREL_API const char *buf_read_uint32_enc(const char *cursor, uint32_t *out);
OSTREL_API const char *buf_read_uint64_enc(const char *cursor, uint64_t *out);
OSTREL_API const char *buf_read_float(const char *cursor, float *out);          /* LEB128 bit pattern */
/* *out_string: new NUL-terminated copy, caller frees with free(); NULL (nothing stored) on OOM. */
OSTREL_API const char *buf_read_string_length_enc(const char *cursor, char **out_string, uint32_t *out_length);

/* Conversion and inspection. */
OSTREL_API char *buf_as_string(const buf *b);    /* new NUL-terminated copy, caller frees with free(); NULL on OOM */
OSTREL_API char *buf_as_hex(const buf *b);       /* new lowercase hex text, caller frees with free(); NULL for NULL or OOM */
OSTREL_API void hexdump_buf(const buf *b);       /* prints to standard output */
OSTREL_API char *buf_substr(const buf *b, int offset, int length);  /* borrowed pointer into b, or NULL */
OSTREL_API int buf_cmp(const buf *a, const buf *b);
OSTREL_API void buf_discard_front(buf *b, size_t n);                 /* n <= len; a larger n does nothing */

OSTREL_END_DECLS

#endif

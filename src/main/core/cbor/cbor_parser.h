/* CBOR parser: one item head at a time through a 256-entry dispatch table.
 *
 * A parser borrows its input, which must outlive it, and never reads past
 * len. cbor_next_val returns a new item owned by the caller (release with
 * cbor_val_free, which also frees a string copy), or NULL at the end of
 * input or for an item that is cut short. Arrays, maps and indefinite
 * strings come back as headers only; their contents follow as items. */
#ifndef OSTREL_CBOR_PARSER_H
#define OSTREL_CBOR_PARSER_H

#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

typedef uint32_t cbor_val_type; /* the major type, code >> 5 */
enum {
    CBOR_TYPE_UINT = 0,
    CBOR_TYPE_NEGINT = 1,
    CBOR_TYPE_BYTE_STRING = 2,
    CBOR_TYPE_TEXT_STRING = 3,
    CBOR_TYPE_ARRAY = 4,
    CBOR_TYPE_MAP = 5,
    CBOR_TYPE_TAG = 6,
    CBOR_TYPE_SIMPLE = 7
};

typedef struct cbor_parser {
    const uint8_t *data;   /* first input byte; borrowed */
    uint32_t len;          /* input bytes */
    const uint8_t *cursor; /* next unread byte */
    int indefinite;        /* 1 after an indefinite header, 0 after a break */
} cbor_parser;

typedef struct cbor_val {
    uint8_t code;       /* initial byte */
    cbor_val_type type; /* code >> 5 */
    union {
        uint64_t u64;   /* type 0 */
        int64_t i64;    /* type 1: -1 - argument */
        double f64;     /* type 7, codes f9 fa fb */
        char *str;      /* types 2, 3: owned copy (text NUL-terminated); NULL when indefinite */
    } value;
    int64_t length;     /* string length, array count, map pair count; -1 indefinite; else 0 */
} cbor_val;

typedef int (*cbor_handler)(cbor_parser *p, cbor_val *v);

OSTREL_API cbor_parser *cbor_parser_create(const void *data, uint32_t len);  /* caller frees; NULL on OOM or NULL data with len > 0 */
OSTREL_API void cbor_parser_free(cbor_parser *p);          /* frees the parser, never the input */
OSTREL_API int cbor_parser_available_bytes(const cbor_parser *p);  /* unread bytes, at most INT_MAX */
OSTREL_API cbor_val *cbor_val_create(void);                 /* zeroed item, caller frees; NULL on OOM */
OSTREL_API void cbor_val_free(cbor_val *v);                 /* NULL accepted */
OSTREL_API cbor_val *cbor_next_val(cbor_parser *p);         /* new item, caller frees; NULL at end or on error */

OSTREL_API extern const cbor_handler cbor_jump_table[256];

/* Handlers: entered with the cursor on the initial byte and code/type set;
 * return 0 after consuming the item, -1 when it is cut short or OOM. */
OSTREL_API int cbor_parse_uint_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_uint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_uint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_uint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_uint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_negint_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_negint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_negint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_negint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_negint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_uint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_uint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_uint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_uint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_small(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_uint8(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_uint16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_uint32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_uint64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_semantic_tag(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_reserved(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_unimplemented(cbor_parser *p, cbor_val *v);  /* message on standard error */
OSTREL_API int cbor_parse_false(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_true(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_null(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_undefined(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_float16(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_float32(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_float64(cbor_parser *p, cbor_val *v);
OSTREL_API int cbor_parse_break(cbor_parser *p, cbor_val *v);

OSTREL_END_DECLS

#endif

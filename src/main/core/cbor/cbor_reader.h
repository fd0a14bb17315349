/* CBOR reader: a validating pull reader over one data item in memory.
 *
 * cbor_reader_next hands out the item as a flat run of events: scalars,
 * strings, and the opening of each array, map, tag and indefinite-length
 * string, every opening matched by one CBOR_EVENT_END after its contents
 * (a tag holds exactly one item; an indefinite string holds its chunks as
 * definite BYTES or TEXT events). After the item, CBOR_EVENT_DONE if the
 * input ends there.
 *
 * Checked before an event is handed out: well-formedness (heads, reserved
 * codes 28-30, breaks only where an indefinite item can end, chunks of the
 * string's own major type), UTF-8 of text (strict: no overlong forms,
 * surrogates or code points past U+10FFFF), two-byte simple values of at
 * least 32, the nesting limit, and that nothing follows the item. Every
 * declared length and count is checked against the bytes left beyond the
 * at least one byte that each item still due in an open container needs,
 * so what a caller allocates for the events handed out so far never
 * exceeds the input's length in items or bytes. The reader never reads
 * past len, never recurses, and allocates only its nesting stack. After an
 * error every call returns CBOR_EVENT_ERROR.
 *
 * Levels are counted as the Python encoder counts them: the items of a
 * top-level array, map or tag are at level 1, and an item deeper than
 * max_depth is an error (max_depth 0 admits only a scalar). */
#ifndef OSTREL_CBOR_READER_H
#define OSTREL_CBOR_READER_H

#include <stddef.h>
#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

enum {
    CBOR_EVENT_ERROR = -1,
    CBOR_EVENT_DONE = 0, /* the item is complete and the input ends with it */
    CBOR_EVENT_UINT,     /* argument: the value */
    CBOR_EVENT_NEGINT,   /* the value is -1 - argument */
    CBOR_EVENT_BYTES,    /* bytes/argument: content and length; or indefinite */
    CBOR_EVENT_TEXT,     /* as BYTES, content valid UTF-8; ascii set when all below 0x80 */
    CBOR_EVENT_ARRAY,    /* argument: item count, unless indefinite */
    CBOR_EVENT_MAP,      /* argument: pair count, unless indefinite */
    CBOR_EVENT_TAG,      /* argument: tag number; one item follows, then END */
    CBOR_EVENT_SIMPLE,   /* argument: simple value (20 false, 21 true, 22 null, 23 undefined) */
    CBOR_EVENT_FLOAT,    /* number: the half, single or double value, bit-exact */
    CBOR_EVENT_END       /* closes the innermost open array, map, tag or string */
};

typedef struct cbor_event {
    int type;             /* CBOR_EVENT_* */
    int indefinite;       /* BYTES, TEXT, ARRAY, MAP opened with indefinite length */
    int ascii;            /* TEXT */
    uint64_t argument;
    const uint8_t *bytes; /* BYTES, TEXT: inside the input */
    double number;        /* FLOAT */
    size_t offset;        /* first byte of the item (END: of the break, or where it ended) */
} cbor_event;

enum {
    CBOR_READ_OK = 0,
    CBOR_READ_TRUNCATED,   /* the input ends inside an item */
    CBOR_READ_TOO_LONG,    /* a length or count beyond what the rest of the input can hold */
    CBOR_READ_RESERVED,    /* additional information 28-30 */
    CBOR_READ_INDEFINITE,  /* additional information 31 on an integer or tag */
    CBOR_READ_BREAK,       /* a break where no indefinite-length item is open */
    CBOR_READ_ODD_MAP,     /* an indefinite map ends after a key */
    CBOR_READ_CHUNK,       /* a chunk that is not a definite string of its string's type */
    CBOR_READ_UTF8,        /* text that is not valid UTF-8 */
    CBOR_READ_SIMPLE,      /* a two-byte simple value below 32 */
    CBOR_READ_DEPTH,       /* an item deeper than max_depth */
    CBOR_READ_TRAILING,    /* bytes after the item */
    CBOR_READ_MEMORY       /* the nesting stack could not grow */
};

typedef struct cbor_reader cbor_reader;

/* New reader over data[0, len), borrowed until it is freed; NULL on OOM. */
OSTREL_API cbor_reader *cbor_reader_create(const uint8_t *data, size_t len, size_t max_depth);
/* Frees the reader, never the input; NULL accepted. */
OSTREL_API void cbor_reader_free(cbor_reader *reader);
/* Fills *event with the next event and returns its type (DONE, ERROR or an event). */
OSTREL_API int cbor_reader_next(cbor_reader *reader, cbor_event *event);
/* Fills events[0, count) in order, stopping after a DONE or ERROR event
 * (ERROR carries the error's offset); returns how many were filled. */
OSTREL_API size_t cbor_reader_read(cbor_reader *reader, cbor_event *events, size_t count);
/* CBOR_READ_* of the first error (OK if none); *offset: the byte it concerns. */
OSTREL_API int cbor_reader_error(const cbor_reader *reader, size_t *offset);
/* Static English text of a CBOR_READ_* code, never NULL. */
OSTREL_API const char *cbor_reader_error_text(int code);

OSTREL_END_DECLS

#endif

#include "cbor_parser.h"

#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "cbor_head.h"
#include "cbor_parser_internal.h"

namespace {

// Unread bytes as an unsigned count, exact for every 32-bit input length.
uint32_t unread(const cbor_parser *p) {
    return p->len - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p->cursor) -
                                          reinterpret_cast<uintptr_t>(p->data));
}

// Steps past the initial byte. Handlers can be called directly, so the
// byte is not taken for granted.
int consume_initial(cbor_parser *p) {
    if (unread(p) == 0) return -1;
    ++p->cursor;
    return 0;
}

// Reads the head at the cursor and steps past it. A head cut short still
// consumes its initial byte; *out is then untouched. Handlers are entered
// with the cursor on the initial byte they were dispatched for, so the
// head read here is the one their code announces.
int read_argument(cbor_parser *p, uint64_t *out) {
    uint32_t left = unread(p);
    if (left == 0) return -1;
    cbor_head head;
    if (cbor_head_decode(p->cursor, left, &head) != CBOR_HEAD_OK) {
        ++p->cursor;
        return -1;
    }
    p->cursor += head.size;
    *out = head.argument;
    return 0;
}

int read_uint(cbor_parser *p, cbor_val *v) { return read_argument(p, &v->value.u64); }

int read_negint(cbor_parser *p, cbor_val *v) {
    uint64_t argument;
    if (read_argument(p, &argument) != 0) return -1;
    v->value.i64 = static_cast<int64_t>(~argument);  // -1 - argument, wrapping from 2^63 on
    return 0;
}

int read_count(cbor_parser *p, cbor_val *v) {
    uint64_t count;
    if (read_argument(p, &count) != 0) return -1;
    v->length = static_cast<int64_t>(count);
    return 0;
}

// Copies the n string bytes at the cursor: exactly n bytes for a byte
// string, n + 1 with a NUL for text. n is checked against what is left
// before anything is allocated, so a forged length costs nothing.
int copy_string(cbor_parser *p, cbor_val *v, uint64_t n, bool text) {
    v->length = static_cast<int64_t>(n);
    if (n > unread(p)) return -1;
    size_t size = static_cast<size_t>(n) + (text ? 1 : 0);
    char *copy = static_cast<char *>(ostrel_malloc(size == 0 ? 1 : size));  // never a 0-byte request
    if (copy == nullptr) return -1;
    if (n > 0) memcpy(copy, p->cursor, static_cast<size_t>(n));
    if (text) copy[n] = '\0';
    p->cursor += n;
    v->value.str = copy;
    return 0;
}

int read_string(cbor_parser *p, cbor_val *v, bool text) {
    uint64_t n;
    if (read_argument(p, &n) != 0) return -1;
    return copy_string(p, v, n, text);
}

// 5f, 7f, 9f, bf: the header alone; chunks or elements follow up to a break.
int read_indefinite(cbor_parser *p, cbor_val *v) {
    if (consume_initial(p) != 0) return -1;
    v->length = -1;
    p->indefinite = 1;
    return 0;
}

// Items that are their initial byte alone and store nothing.
int read_code_only(cbor_parser *p) { return consume_initial(p); }

// Half precision, RFC 8949 Appendix D:
//   s eeeee ffffffffff   e = 0: f * 2^-24;  e = 31: inf (f = 0) or NaN;
//                        else (1024 + f) * 2^(e - 25);  s negates.
double decode_half(uint32_t half) {
    int exponent = static_cast<int>((half >> 10) & 0x1f);
    int fraction = static_cast<int>(half & 0x3ff);
    double magnitude;
    if (exponent == 0)
        magnitude = ldexp(fraction, -24);
    else if (exponent != 31)
        magnitude = ldexp(fraction + 1024, exponent - 25);
    else
        magnitude = fraction == 0 ? INFINITY : NAN;
    return (half & 0x8000) ? -magnitude : magnitude;
}

}  // namespace

// Dispatch by initial byte: major type in the top three bits, additional
// information (0-23 immediate, 24-27 argument bytes, 31 indefinite) in the
// low five.
const cbor_handler cbor_jump_table[256] = {
    /* 0x00-0x17 */
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small, cbor_parse_uint_small,
    /* 0x18 */ cbor_parse_uint8,
    /* 0x19 */ cbor_parse_uint16,
    /* 0x1a */ cbor_parse_uint32,
    /* 0x1b */ cbor_parse_uint64,
    /* 0x1c-0x1f: reserved: additional information 28-31 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0x20-0x37 */
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small, cbor_parse_negint_small,
    /* 0x38 */ cbor_parse_negint8,
    /* 0x39 */ cbor_parse_negint16,
    /* 0x3a */ cbor_parse_negint32,
    /* 0x3b */ cbor_parse_negint64,
    /* 0x3c-0x3f: reserved: additional information 28-31 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0x40-0x57 */
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    cbor_parse_byte_string_small, cbor_parse_byte_string_small, cbor_parse_byte_string_small,
    /* 0x58 */ cbor_parse_byte_string_uint8,
    /* 0x59 */ cbor_parse_byte_string_uint16,
    /* 0x5a */ cbor_parse_byte_string_uint32,
    /* 0x5b */ cbor_parse_byte_string_uint64,
    /* 0x5c-0x5e: reserved: additional information 28-30 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0x5f */ cbor_parse_byte_string_indefinite,
    /* 0x60-0x77 */
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    cbor_parse_text_string_small, cbor_parse_text_string_small, cbor_parse_text_string_small,
    /* 0x78 */ cbor_parse_text_string_uint8,
    /* 0x79 */ cbor_parse_text_string_uint16,
    /* 0x7a */ cbor_parse_text_string_uint32,
    /* 0x7b */ cbor_parse_text_string_uint64,
    /* 0x7c-0x7e: reserved: additional information 28-30 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0x7f */ cbor_parse_text_string_indefinite,
    /* 0x80-0x97 */
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small, cbor_parse_array_small,
    /* 0x98 */ cbor_parse_array_uint8,
    /* 0x99 */ cbor_parse_array_uint16,
    /* 0x9a */ cbor_parse_array_uint32,
    /* 0x9b */ cbor_parse_array_uint64,
    /* 0x9c-0x9e: reserved: additional information 28-30 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0x9f */ cbor_parse_array_indefinite,
    /* 0xa0-0xb7 */
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small, cbor_parse_map_small,
    /* 0xb8 */ cbor_parse_map_uint8,
    /* 0xb9 */ cbor_parse_map_uint16,
    /* 0xba */ cbor_parse_map_uint32,
    /* 0xbb */ cbor_parse_map_uint64,
    /* 0xbc-0xbe: reserved: additional information 28-30 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0xbf */ cbor_parse_map_indefinite,
    /* 0xc0-0xdb */
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag, cbor_parse_semantic_tag,
    /* 0xdc-0xdf: reserved: additional information 28-31 of a tag */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0xe0-0xf3: simple values 0-19, not decoded */
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented, cbor_parse_unimplemented,
    cbor_parse_unimplemented, cbor_parse_unimplemented,
    /* 0xf4 */ cbor_parse_false,
    /* 0xf5 */ cbor_parse_true,
    /* 0xf6 */ cbor_parse_null,
    /* 0xf7 */ cbor_parse_undefined,
    /* 0xf8: one-byte simple value, not decoded */
    cbor_parse_unimplemented,
    /* 0xf9 */ cbor_parse_float16,
    /* 0xfa */ cbor_parse_float32,
    /* 0xfb */ cbor_parse_float64,
    /* 0xfc-0xfe: reserved: additional information 28-30 of major type 7 */
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    /* 0xff */ cbor_parse_break,
};

cbor_parser *cbor_parser_create(const void *data, uint32_t len) {
    if (data == nullptr && len > 0) return nullptr;
    cbor_parser *p = static_cast<cbor_parser *>(ostrel_calloc(1, sizeof(cbor_parser)));
    if (p == nullptr) return nullptr;
    p->data = static_cast<const uint8_t *>(data);
    p->len = len;
    p->cursor = p->data;
    return p;
}

void cbor_parser_free(cbor_parser *p) { ostrel_free(p); }

// An int cannot count past INT_MAX: larger remainders read as INT_MAX,
// which keeps the result positive while bytes are left.
int cbor_parser_available_bytes(const cbor_parser *p) {
    if (p == nullptr) return 0;
    uint32_t n = unread(p);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

cbor_val *cbor_val_create(void) { return static_cast<cbor_val *>(ostrel_calloc(1, sizeof(cbor_val))); }

void cbor_val_free(cbor_val *v) {
    if (v == nullptr) return;
    if (v->type == CBOR_TYPE_BYTE_STRING || v->type == CBOR_TYPE_TEXT_STRING) ostrel_free(v->value.str);
    ostrel_free(v);
}

cbor_val *cbor_next_val(cbor_parser *p) {
    if (p == nullptr || unread(p) == 0) return nullptr;
    uint8_t code = *p->cursor;
    cbor_val *v = cbor_val_create();
    if (v == nullptr) return nullptr;
    v->code = code;
    v->type = code >> 5;
    if (cbor_jump_table[code](p, v) != 0) {
        cbor_val_free(v);
        return nullptr;
    }
    return v;
}

int cbor_parse_uint_small(cbor_parser *p, cbor_val *v) { return read_uint(p, v); }
int cbor_parse_uint8(cbor_parser *p, cbor_val *v) { return read_uint(p, v); }
int cbor_parse_uint16(cbor_parser *p, cbor_val *v) { return read_uint(p, v); }
int cbor_parse_uint32(cbor_parser *p, cbor_val *v) { return read_uint(p, v); }
int cbor_parse_uint64(cbor_parser *p, cbor_val *v) { return read_uint(p, v); }

int cbor_parse_negint_small(cbor_parser *p, cbor_val *v) { return read_negint(p, v); }
int cbor_parse_negint8(cbor_parser *p, cbor_val *v) { return read_negint(p, v); }
int cbor_parse_negint16(cbor_parser *p, cbor_val *v) { return read_negint(p, v); }
int cbor_parse_negint32(cbor_parser *p, cbor_val *v) { return read_negint(p, v); }
int cbor_parse_negint64(cbor_parser *p, cbor_val *v) { return read_negint(p, v); }

int cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v) { return read_string(p, v, false); }
int cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v) { return read_string(p, v, false); }
int cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v) { return read_string(p, v, false); }
int cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v) { return read_string(p, v, false); }
int cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v) { return read_string(p, v, false); }
int cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_text_string_small(cbor_parser *p, cbor_val *v) { return read_string(p, v, true); }
int cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v) { return read_string(p, v, true); }
int cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v) { return read_string(p, v, true); }
int cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v) { return read_string(p, v, true); }
int cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v) { return read_string(p, v, true); }
int cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

int cbor_parse_array_small(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_array_uint8(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_array_uint16(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_array_uint32(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_array_uint64(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

// A map's count is its number of key/value pairs.
int cbor_parse_map_small(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_map_uint8(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_map_uint16(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_map_uint32(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_map_uint64(cbor_parser *p, cbor_val *v) { return read_count(p, v); }
int cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v) { return read_indefinite(p, v); }

// Only the initial byte: for d8-db the tag number bytes come back as the
// next item.
int cbor_parse_semantic_tag(cbor_parser *p, cbor_val *) { return read_code_only(p); }

int cbor_parse_reserved(cbor_parser *p, cbor_val *) { return read_code_only(p); }

// e0-f3 and f8: reported, then handed back as a plain type 7 item; the
// byte after f8 is read as the next item.
int cbor_parse_unimplemented(cbor_parser *p, cbor_val *) {
    if (unread(p) == 0) return -1;
    cbor_report_unimplemented(*p->cursor);
    return read_code_only(p);
}

void cbor_report_unimplemented(uint8_t code) {
    fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(code));
}

int cbor_parse_false(cbor_parser *p, cbor_val *) { return read_code_only(p); }
int cbor_parse_true(cbor_parser *p, cbor_val *) { return read_code_only(p); }
int cbor_parse_null(cbor_parser *p, cbor_val *) { return read_code_only(p); }
int cbor_parse_undefined(cbor_parser *p, cbor_val *) { return read_code_only(p); }

int cbor_parse_float16(cbor_parser *p, cbor_val *v) {
    uint64_t half;
    if (read_argument(p, &half) != 0) return -1;
    v->value.f64 = decode_half(static_cast<uint32_t>(half));
    return 0;
}

int cbor_parse_float32(cbor_parser *p, cbor_val *v) {
    uint64_t pattern;
    if (read_argument(p, &pattern) != 0) return -1;
    uint32_t bits = static_cast<uint32_t>(pattern);
    float single;
    memcpy(&single, &bits, sizeof single);
    v->value.f64 = single;  // exact: every single is a double
    return 0;
}

// The bit pattern goes into the item untouched, NaN payloads included.
int cbor_parse_float64(cbor_parser *p, cbor_val *v) {
    uint64_t bits;
    if (read_argument(p, &bits) != 0) return -1;
    memcpy(&v->value.f64, &bits, sizeof bits);
    return 0;
}

int cbor_parse_break(cbor_parser *p, cbor_val *) {
    if (consume_initial(p) != 0) return -1;
    p->indefinite = 0;
    return 0;
}

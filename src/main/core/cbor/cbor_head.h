/* The CBOR item head: the one place that knows its bytes.
 *
 * A head is an initial byte (major type in the top three bits, additional
 * information in the low five) and 0, 1, 2, 4 or 8 argument bytes, most
 * significant first:
 *
 *   info 0-23   the argument itself              1 byte
 *   info 24-27  1, 2, 4, 8 argument bytes follow  2, 3, 5, 9 bytes
 *   info 28-30  reserved (malformed)
 *   info 31     indefinite length (majors 2-5) or break (major 7)
 *
 * Writers always use the shortest head. Header only and internal: the
 * writer, the parser, delta application, the delta generators' cost rules
 * and the Python encoder and decoder all use these, so the bytes of a head
 * are known in one place. Nothing here allocates; reads are bounded by
 * the length they are given. */
#ifndef OSTREL_CBOR_HEAD_H
#define OSTREL_CBOR_HEAD_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define CBOR_HEAD_MAX 9 /* bytes in the longest head */

/* Bytes of the shortest head carrying argument: 1, 2, 3, 5 or 9. */
static inline size_t cbor_head_size(uint64_t argument) {
    return argument <= 23 ? 1 : argument <= 0xff ? 2 : argument <= 0xffff ? 3 : argument <= 0xffffffffu ? 5 : 9;
}

/* Writes the shortest head of major type `major` (0-7) carrying argument
 * to out, which has room for CBOR_HEAD_MAX bytes; returns its length.
 *
 *   major 0, 10       ->  0a
 *   major 0, 500      ->  19 01 f4
 *   major 4, 100000   ->  9a 00 01 86 a0 */
static inline size_t cbor_head_encode(uint8_t major, uint64_t argument, uint8_t *out) {
    size_t size = cbor_head_size(argument);
    uint8_t initial = (uint8_t)(major << 5);
    if (size == 1) {
        out[0] = (uint8_t)(initial | argument);
        return 1;
    }
    out[0] = (uint8_t)(initial | (size == 2 ? 24 : size == 3 ? 25 : size == 5 ? 26 : 27));
    for (size_t i = 1; i < size; ++i) out[i] = (uint8_t)(argument >> (8 * (size - 1 - i)));
    return size;
}

/* Initial byte of the narrowest exact encoding of a finite double:
 * 0xf9 (half), 0xfa (single) or 0xfb (double). Read off the double's
 * fields (unbiased exponent e, 52-bit fraction m):
 *   half:   +-0, or e in [-14, 15] with the low 42 bits of m zero
 *           (11 significant bits, magnitudes 2^-14 .. 65504);
 *   single: e in [-126, 127] with the low 29 bits of m zero, or a
 *           single-precision subnormal, e in [-149, -127]: a multiple of
 *           2^-149, i.e. the low -97 - e bits of m zero;
 *   double: everything else, double subnormals included.
 * Half-precision subnormals are deliberately written as singles. */
static inline uint8_t cbor_head_float(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    int biased = (int)((bits >> 52) & 0x7ff);
    uint64_t fraction = bits & ((UINT64_C(1) << 52) - 1);
    if (biased == 0) return fraction == 0 ? 0xf9 : 0xfb;

    int e = biased - 1023;
    if (e >= -14 && e <= 15 && (fraction & ((UINT64_C(1) << 42) - 1)) == 0) return 0xf9;
    if (e >= -126 && e <= 127) return (fraction & ((UINT64_C(1) << 29) - 1)) == 0 ? 0xfa : 0xfb;
    if (e < -149 || e > 127) return 0xfb;
    return (fraction & ((UINT64_C(1) << (-97 - e)) - 1)) == 0 ? 0xfa : 0xfb;
}

/* As cbor_head_float, but a half-precision subnormal (a multiple of 2^-24
 * below 2^-14: e in [-24, -15] with the low 28 - e bits of m zero) is
 * 0xf9 too, the narrowest exact width in every case. */
static inline uint8_t cbor_head_float_shortest(double value) {
    uint8_t initial = cbor_head_float(value);
    if (initial == 0xf9) return initial;
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    int e = (int)((bits >> 52) & 0x7ff) - 1023;
    uint64_t fraction = bits & ((UINT64_C(1) << 52) - 1);
    if (e >= -24 && e <= -15 && (fraction & ((UINT64_C(1) << (28 - e)) - 1)) == 0) return 0xf9;
    return initial;
}

/* One head as read from memory. For info 31 the argument is 0; for major
 * 7 with info 24-27 it is the simple value or the float's raw bits. */
typedef struct cbor_head {
    uint8_t major;     /* 0-7 */
    uint8_t info;      /* additional information, 0-27 or 31 */
    uint64_t argument;
    size_t size;       /* bytes the head takes: 1, 2, 3, 5 or 9 */
} cbor_head;

#define CBOR_HEAD_OK 0
#define CBOR_HEAD_SHORT 1     /* the head runs past the available bytes */
#define CBOR_HEAD_MALFORMED 2 /* info 28-30, or 31 on major 0, 1 or 6 */

/* Reads the head at data[0, len). On CBOR_HEAD_OK *out is filled; on the
 * other answers it is left as it was. len 0 gives CBOR_HEAD_SHORT. */
static inline int cbor_head_decode(const uint8_t *data, size_t len, cbor_head *out) {
    if (len == 0) return CBOR_HEAD_SHORT;
    uint8_t major = (uint8_t)(data[0] >> 5);
    uint8_t info = (uint8_t)(data[0] & 0x1f);
    if (info < 24 || info == 31) {
        if (info == 31 && (major <= 1 || major == 6)) return CBOR_HEAD_MALFORMED;
        out->major = major;
        out->info = info;
        out->argument = info == 31 ? 0 : info;
        out->size = 1;
        return CBOR_HEAD_OK;
    }
    if (info > 27) return CBOR_HEAD_MALFORMED;
    size_t width = (size_t)1 << (info - 24);
    if (len - 1 < width) return CBOR_HEAD_SHORT;
    uint64_t argument = 0;
    for (size_t i = 1; i <= width; ++i) argument = (argument << 8) | data[i];
    out->major = major;
    out->info = info;
    out->argument = argument;
    out->size = 1 + width;
    return CBOR_HEAD_OK;
}

#endif

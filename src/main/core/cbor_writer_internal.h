/* Internal steps of the writers, linked into the core but not exported
 * from the shared library: the float writer's, declared here for the
 * tests, and the head encoder that the delta engine also uses to write
 * item heads without a generator. */
#ifndef OSTREL_CBOR_WRITER_INTERNAL_H
#define OSTREL_CBOR_WRITER_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "cbor_writer.h"

OSTREL_BEGIN_DECLS

/* f9 and the half-precision candidate of value: value rounded to single
 * precision, its fraction truncated to 10 bits and its exponent rebased
 * without range check. Exact only for +-0 and normal half-precision
 * numbers. 1 on success, -1 on failure. */
int cbor_write_float16(cbor_generator *g, double value);

/* Initial byte of the narrowest exact encoding of a finite value:
 * 0xf9 (half), 0xfa (single) or 0xfb (double). */
uint8_t cbor_float_head(double value);

/* Writes the shortest head of major type `major` (0-7) carrying argument
 * to out, which has room for 9 bytes; returns its length, 1 to 9. */
size_t cbor_encode_head(uint8_t major, uint64_t argument, uint8_t *out);

OSTREL_END_DECLS

#endif

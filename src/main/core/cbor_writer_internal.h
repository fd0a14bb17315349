/* Internal steps of the float writer, linked into the core but not
 * exported from the shared library; declared here for the tests. */
#ifndef OSTREL_CBOR_WRITER_INTERNAL_H
#define OSTREL_CBOR_WRITER_INTERNAL_H

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

OSTREL_END_DECLS

#endif

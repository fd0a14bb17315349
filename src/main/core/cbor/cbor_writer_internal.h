/* Internal steps of the writers, linked into the core but not exported
 * from the shared library: the float writer's, declared here for the
 * tests. */
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

OSTREL_END_DECLS

#endif

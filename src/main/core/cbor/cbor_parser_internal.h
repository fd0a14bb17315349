/* Internals of the parser, linked into the core but not exported from the
 * shared library: what delta application shares with it. */
#ifndef OSTREL_CBOR_PARSER_INTERNAL_H
#define OSTREL_CBOR_PARSER_INTERNAL_H

#include <stdint.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* Writes "Unimplemented CBOR code: xx" for a simple value the parser does
 * not decode (e0-f3, f8) on standard error. */
void cbor_report_unimplemented(uint8_t code);

OSTREL_END_DECLS

#endif

/* Internals of the generation driver, linked into the core but not
 * exported from the shared library; declared here for the tests, with the
 * proof the driver consults. */
#ifndef OSTREL_DELTA_GENERATE_INTERNAL_H
#define OSTREL_DELTA_GENERATE_INTERNAL_H

#include <stdbool.h>

#include "ostrel_api.h"
#include "unrelated_values_internal.h"

OSTREL_BEGIN_DECLS

/* Test hook: false makes the driver run the search even when
 * diff_values_unrelated would spare it (the default is true). Not
 * thread-safe. */
void _diff_use_unrelated_shortcut(bool enabled);

OSTREL_END_DECLS

#endif

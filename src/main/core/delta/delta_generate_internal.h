/* Internals of the generation driver, linked into the core but not
 * exported from the shared library; declared here for the tests. */
#ifndef OSTREL_DELTA_GENERATE_INTERNAL_H
#define OSTREL_DELTA_GENERATE_INTERNAL_H

#include <stdbool.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* True when no ordinary delta from old_value to new_value can be shorter
 * than new_value, so that the driver's answer is the replacement delta
 * whatever the search would find. False when that could not be shown, or
 * was not tried because the values are small or look related. */
bool diff_values_unrelated(const buf *old_value, const buf *new_value);

/* Test hook: false makes the driver run the search even when
 * diff_values_unrelated would spare it (the default is true). Not
 * thread-safe. */
void _diff_use_unrelated_shortcut(bool enabled);

OSTREL_END_DECLS

#endif

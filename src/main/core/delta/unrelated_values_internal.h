/* The unrelated-values proof: a lower bound on every ordinary delta that,
 * when it holds, lets the generation driver answer with the replacement
 * delta without running the search. Linked into the core but not
 * exported from the shared library. Reads its arguments only and keeps
 * no state; its tables are freed before it returns. */
#ifndef OSTREL_UNRELATED_VALUES_INTERNAL_H
#define OSTREL_UNRELATED_VALUES_INTERNAL_H

#include <stdbool.h>

#include "buf.h"
#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

/* True when no ordinary delta from old_value to new_value can be shorter
 * than new_value, so that the driver's answer is the replacement delta
 * whatever the search would find. False when that could not be shown, or
 * was not tried because the values are small or look related. */
bool diff_values_unrelated(const buf *old_value, const buf *new_value);

OSTREL_END_DECLS

#endif

/* Allocation seam of the core.
 *
 * Every allocation of the core goes through these wrappers so that the
 * fault-injection tests can make the Nth allocation fail. They behave
 * exactly like the libc functions, and memory they return is released
 * with free() or ostrel_free() alike. */
#ifndef OSTREL_ALLOC_H
#define OSTREL_ALLOC_H

#include <stddef.h>

#include "ostrel_api.h"

OSTREL_BEGIN_DECLS

void *ostrel_malloc(size_t size);
void *ostrel_calloc(size_t count, size_t size);
void *ostrel_realloc(void *ptr, size_t size);
void ostrel_free(void *ptr);

/* Test hook, for fault-injection tests only: n < 0 never fails (the
 * default); otherwise the next n allocations succeed and every one after
 * them fails until the hook is called again. Not thread-safe. */
OSTREL_API void _ostrel_alloc_fail_after(long n);

OSTREL_END_DECLS

#endif

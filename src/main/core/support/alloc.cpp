#include "alloc.h"

#include <stdlib.h>

namespace {

long successes_left = -1;

bool may_allocate() {
    if (successes_left < 0) return true;
    if (successes_left == 0) return false;
    --successes_left;
    return true;
}

}  // namespace

void *ostrel_malloc(size_t size) { return may_allocate() ? malloc(size) : nullptr; }

void *ostrel_calloc(size_t count, size_t size) { return may_allocate() ? calloc(count, size) : nullptr; }

void *ostrel_realloc(void *ptr, size_t size) { return may_allocate() ? realloc(ptr, size) : nullptr; }

void ostrel_free(void *ptr) { free(ptr); }

void _ostrel_alloc_fail_after(long n) { successes_left = n; }

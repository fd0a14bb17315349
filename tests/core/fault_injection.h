// Helpers for tests that make the core's allocations fail on purpose.
#ifndef OSTREL_TESTS_FAULT_INJECTION_H
#define OSTREL_TESTS_FAULT_INJECTION_H

#include <gtest/gtest.h>

#include "alloc.h"

// While alive, the first `successes` allocations of the core succeed and
// all later ones fail.
struct FailAfter {
    explicit FailAfter(long successes) { _ostrel_alloc_fail_after(successes); }
    ~FailAfter() { _ostrel_alloc_fail_after(-1); }
    FailAfter(const FailAfter &) = delete;
    FailAfter &operator=(const FailAfter &) = delete;
};

// Calls attempt(n) for n = 0, 1, 2, ... until it reports success; attempt
// sets up its objects, runs the operation under FailAfter(n) and checks
// the outcome. Returns the number of allocations the operation needed.
template <typename Attempt>
long sweep_allocation_failures(Attempt attempt) {
    for (long n = 0; n < 1000; n++) {
        if (attempt(n)) return n;
    }
    ADD_FAILURE() << "operation never succeeded";
    return -1;
}

#endif

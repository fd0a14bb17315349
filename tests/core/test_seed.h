// Seed for randomised tests: OSTREL_TEST_SEED replays a run, otherwise a
// fresh seed is drawn. Either way it is printed so a failure can be replayed.
#ifndef OSTREL_TESTS_TEST_SEED_H
#define OSTREL_TESTS_TEST_SEED_H

#include <stdio.h>
#include <stdlib.h>

#include <random>

inline unsigned test_seed(const char *test_name) {
    const char *given = getenv("OSTREL_TEST_SEED");
    unsigned seed = given != nullptr ? static_cast<unsigned>(strtoul(given, nullptr, 10)) : std::random_device{}();
    printf("%s: seed %u (replay with OSTREL_TEST_SEED=%u)\n", test_name, seed, seed);
    return seed;
}

#endif

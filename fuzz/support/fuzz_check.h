#pragma once
// An invariant a fuzz target asserts: when it does not hold the run ends at
// once with the reason, which libFuzzer reports as a finding and a replay
// test as a failure.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, what, \
                         #cond);                                                                   \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// The fuzzers' assertion: a broken invariant aborts, and libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                     \
    do {                                                                     \
        if (!(condition)) {                                                  \
            std::fprintf(stderr, "invariant violated: %s\n", #condition);    \
            std::abort();                                                    \
        }                                                                    \
    } while (0)

// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant that fails aborts, so libFuzzer keeps the input as a crash artifact. Unlike assert() it
// stays active whatever NDEBUG says.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

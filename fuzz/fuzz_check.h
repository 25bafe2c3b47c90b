// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant that fails aborts, so libFuzzer keeps the input; unlike assert() whatever NDEBUG says.
#define FUZZ_CHECK(ok)                                                                                                 \
    ((ok) ? void() : (std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #ok), std::abort()))

// SPDX-License-Identifier: MIT
#pragma once

// The fakes live in fakes.h; this name stays while the X11 tests and the benchmark still include it.
#include "fakes.h"

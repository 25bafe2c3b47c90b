// SPDX-License-Identifier: MIT
#pragma once

// The fakes live in fakes.h; this name stays while the real-socket tests still include it.
#include "fakes.h"

// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <memory>

namespace vemdo {

// The input backend for this session: X11 through XTest when the display named by DISPLAY is reachable
// and has XTEST. Never null: otherwise a backend that reports itself untrusted and posts nothing, after
// one warning on standard error.
std::unique_ptr<InputBackend> makeInputBackend();

} // namespace vemdo

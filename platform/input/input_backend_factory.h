// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <memory>

namespace vemdo {

// The input backend for this session. Automatic choice: a Wayland session (WAYLAND_DISPLAY set, or
// XDG_SESSION_TYPE=wayland) gets the backend its compositor's globals call for (wlroots, KWin), else X11
// through XTest on the display DISPLAY names. Never null: when nothing can inject, a backend that reports
// itself untrusted and why, after one warning on standard error.
std::unique_ptr<InputBackend> makeInputBackend(InputBackendChoice choice = InputBackendChoice::automatic);

} // namespace vemdo

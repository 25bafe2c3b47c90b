// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <memory>

namespace vemdo {

class DefaultsStore;

// The input backend for this session. Automatic choice: a Wayland session (WAYLAND_DISPLAY set, or
// XDG_SESSION_TYPE=wayland) gets the backend its compositor's globals call for (wlroots, KWin), else GNOME's
// remote-desktop interface when mutter offers it on the session bus, else the desktop portal's; otherwise
// X11 through XTest on the display DISPLAY names. `store`, when not null, keeps the portal's restore token.
// Never null: when nothing can inject, a backend that says it cannot post and why, after one warning
// on standard error.
std::unique_ptr<InputBackend> makeInputBackend(InputBackendChoice choice = InputBackendChoice::automatic,
                                               DefaultsStore* store = nullptr);

} // namespace vemdo

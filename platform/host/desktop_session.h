// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace vemdo::platform {

// Whether a graphical session can be used: an X display that accepts a connection, or a Wayland display
// named in the environment. `reason` says why not, for the terminal.
bool desktopSessionAvailable(std::string& reason);

} // namespace vemdo::platform

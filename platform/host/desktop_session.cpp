// SPDX-License-Identifier: MIT
#include "platform/host/desktop_session.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace vemdo::platform {

namespace {

const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

} // namespace

bool desktopSessionAvailable(std::string& reason) {
    if (const char* display = variable("DISPLAY")) {
        // The toolkit aborts the process when it cannot open the display; asking first lets the server
        // carry on without a window instead.
        if (Display* connection = XOpenDisplay(display)) {
            XCloseDisplay(connection);
            return true;
        }
        if (!variable("WAYLAND_DISPLAY")) {
            reason = std::string("cannot open the X display \"") + display + "\"";
            return false;
        }
    }
    if (variable("WAYLAND_DISPLAY"))
        return true;
    reason = "no DISPLAY or WAYLAND_DISPLAY";
    return false;
}

} // namespace vemdo::platform

// SPDX-License-Identifier: MIT
#include "injection/input_backend.h"

namespace vemdo {

std::string_view obstacleReason(InputObstacle obstacle) {
    switch (obstacle) {
    case InputObstacle::none:
        return "";
    case InputObstacle::noDesktop:
        return "no display or compositor can be reached";
    case InputObstacle::noXTest:
        return "the X display has no XTEST extension";
    case InputObstacle::xwayland:
        return "the X display is Xwayland, whose input reaches only X11 windows";
    case InputObstacle::kwinNotAuthorized:
        return "KWin offers fake input only to programs whose installed desktop file asks for it";
    case InputObstacle::unsupportedCompositor:
        return "the Wayland compositor offers no input protocol this program speaks";
    case InputObstacle::connectionLost:
        return "the connection to the desktop was lost";
    case InputObstacle::awaitingApproval:
        return "the desktop has not yet been asked, or the user has not yet answered, whether to allow remote "
               "control";
    case InputObstacle::refused:
        return "the desktop did not allow remote control";
    }
    return "";
}

} // namespace vemdo

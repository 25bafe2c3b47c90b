// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"
#include "injection/input_backend.h"

#include <filesystem>

namespace vemdo {

// Input as the backend reports it; the help is the page shipped with the program, opened in the desktop's
// browser (or named on the terminal when there is no desktop).
class InputHelp final : public InputAccess {
public:
    InputHelp(InputBackend& backend, bool desktop);
    bool canPost() override { return m_backend.canPost(); }
    bool askAtStart() override { return m_backend.requestAccess(); }
    InputObstacle obstacle() override { return m_backend.obstacle(); }
    void showInputHelp() override;

    // The help page's file; empty when the resources cannot be found.
    static std::filesystem::path helpPage();

private:
    InputBackend& m_backend;
    bool m_desktop;
};

} // namespace vemdo

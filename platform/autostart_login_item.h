// SPDX-License-Identifier: MIT
#pragma once

#include "app/app_delegate.h"

#include <filesystem>

namespace vemdo {

// Launch at login as an XDG autostart entry, <autostart directory>/vemdo-trackpad.desktop.
//
// Status: enabled when the entry is present and active; requires approval when it is present but switched
// off by the desktop (Hidden=true, or X-GNOME-Autostart-enabled=false) or cannot be read; not registered
// when it is absent; not found when the program's own path, which the entry must name, is unknown.
class AutostartLoginItem final : public LoginItemService {
public:
    AutostartLoginItem(std::filesystem::path autostartDirectory, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart (or ~/.config/autostart); empty when there is no home at all.
    static std::filesystem::path defaultDirectory();

    LoginItemStatus status() override;
    // Writes the entry atomically, replacing one the desktop switched off.
    LoginItemChange registerItem() override;
    LoginItemChange unregisterItem() override;

private:
    std::filesystem::path entryFile() const;
    // The entry's contents for the given program.
    static std::string entryText(const std::filesystem::path& executable);

    std::filesystem::path m_directory;
    std::filesystem::path m_executable;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "app/application.h"

#include <filesystem>

namespace vemdo {

// Launch at login as an XDG autostart entry, <autostart directory>/vemdo-trackpad.desktop.
//
// State: enabled when the entry is present and active; disabled by the desktop when it is present but
// switched off (Hidden=true, or X-GNOME-Autostart-enabled=false) or cannot be read; absent when it is
// absent; unknown program when the program's own path, which the entry must name, is unknown.
class XdgAutostartEntry final : public AutostartEntry {
public:
    XdgAutostartEntry(std::filesystem::path autostartDirectory, std::filesystem::path executable);

    // $XDG_CONFIG_HOME/autostart (or ~/.config/autostart); empty when there is no home at all.
    static std::filesystem::path defaultDirectory();

    AutostartState state() override;
    // Writes the entry atomically, replacing one the desktop switched off.
    AutostartChange enable() override;
    AutostartChange disable() override;

private:
    std::filesystem::path entryFile() const;
    // The entry's contents for the given program.
    static std::string entryText(const std::filesystem::path& executable);

    std::filesystem::path m_directory;
    std::filesystem::path m_executable;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace vemdo::platform {

// $XDG_CONFIG_HOME/vemdo-trackpad when that variable holds an absolute path, otherwise
// ~/.config/vemdo-trackpad (home from $HOME when absolute, else from the user database). Empty only when
// no home directory can be found at all.
std::filesystem::path configDirectory();
// configDirectory()/"defaults.json", or empty when configDirectory() is.
std::filesystem::path defaultsStoreFile();

// The folder holding the string tables, icons and help page: next to an installed binary
// (<prefix>/bin/../share/vemdo-trackpad), else the source tree the binary was built from, else the
// configured install prefix. Empty when none of them has the string tables.
std::filesystem::path resourceDirectory();

// The running program's own path, or empty when the system cannot tell it.
std::filesystem::path executablePath();

std::string applicationVersion();

} // namespace vemdo::platform

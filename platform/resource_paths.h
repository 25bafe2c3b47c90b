// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace vemdo::platform {

// The folder holding the string tables, icons and help page: next to an installed binary
// (<prefix>/bin/../share/vemdo-trackpad), else the source tree the binary was built from, else the
// configured install prefix. Empty when none of them has the string tables.
std::filesystem::path resourceDirectory();

// The running program's own path, or empty when the system cannot tell it.
std::filesystem::path executablePath();

std::string applicationVersion();

} // namespace vemdo::platform

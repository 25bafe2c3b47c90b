// SPDX-License-Identifier: MIT
#include "platform/resource_paths.h"

#include <system_error>
#include <vector>

namespace vemdo::platform {

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return path;
}

std::filesystem::path resourceDirectory() {
    std::vector<std::filesystem::path> candidates;
    // The installed layout is preferred even when the source tree still exists, so an installed program
    // never reads files from a checkout that may have moved on.
    if (auto exe = executablePath(); !exe.empty())
        candidates.push_back(exe.parent_path().parent_path() / "share" / "vemdo-trackpad");
    candidates.emplace_back(VEMDO_SOURCE_RESOURCES);
    candidates.emplace_back(VEMDO_INSTALLED_RESOURCES);
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_directory(candidate / "strings", error))
            return candidate;
    }
    return {};
}

std::string applicationVersion() {
    return VEMDO_VERSION;
}

} // namespace vemdo::platform

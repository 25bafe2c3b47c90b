// SPDX-License-Identifier: MIT
#include "platform/host/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace vemdo::platform {

std::filesystem::path configDirectory() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && configHome[0] == '/')
        return std::filesystem::path(configHome) / "vemdo-trackpad";
    std::filesystem::path home;
    if (const char* fromEnvironment = std::getenv("HOME"); fromEnvironment && fromEnvironment[0] == '/') {
        home = fromEnvironment;
    } else {
        std::array<char, 4096> buffer{};
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
            found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return {};
    return home / ".config" / "vemdo-trackpad";
}

std::filesystem::path defaultsStoreFile() {
    auto directory = configDirectory();
    if (directory.empty())
        return {};
    return directory / "defaults.json";
}

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

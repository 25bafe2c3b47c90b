// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vemdo {

// The browser page's port unless the command line names another. Fixed, because a browser keeps the
// page's stored token per host and port.
inline constexpr std::uint16_t defaultWebPort = 27183;

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    // Absent: the system chooses the port.
    std::optional<std::uint16_t> port;
    // 0: no browser page.
    std::uint16_t webPort = defaultWebPort;
    InputBackendChoice input = InputBackendChoice::automatic;
};

struct CommandLineResult {
    std::optional<CommandLine> options;
    // Set when options is absent: what was wrong, for the terminal.
    std::string error;
};

// Arguments after the program name. Accepts --headless, --port N (or --port=N, 1 to 65535), --web-port N
// (0 to 65535), --input auto|x11|wlroots|kwin|gnome|portal (or --input=NAME), --help and --version; anything
// else is an error.
CommandLineResult parseCommandLine(const std::vector<std::string>& arguments);

// `inputInUse`, when not empty, names the input backend this session gets.
std::string usageText(const std::string& programName, const std::string& inputInUse = {});

} // namespace vemdo

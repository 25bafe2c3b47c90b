// SPDX-License-Identifier: MIT
#include "app/command_line.h"

#include <charconv>

namespace vemdo {

namespace {

std::optional<std::uint16_t> parsePort(const std::string& text, unsigned long lowest) {
    unsigned long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last || value < lowest || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// "--port" for both "--port" and "--port=N"; the argument itself otherwise.
std::string_view optionName(std::string_view argument) {
    return argument.substr(0, argument.find('='));
}

constexpr std::string_view inputNames = "auto, x11, wlroots, kwin, gnome or portal";

std::optional<InputBackendChoice> parseInput(const std::string& text) {
    if (text == "auto")
        return InputBackendChoice::automatic;
    if (text == "x11")
        return InputBackendChoice::x11;
    if (text == "wlroots")
        return InputBackendChoice::wlroots;
    if (text == "kwin")
        return InputBackendChoice::kwin;
    if (text == "gnome")
        return InputBackendChoice::gnome;
    if (text == "portal")
        return InputBackendChoice::portal;
    return std::nullopt;
}

CommandLineResult failure(std::string error) {
    return {std::nullopt, std::move(error)};
}

} // namespace

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine options;
    std::optional<std::uint16_t> webPort;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (auto name = optionName(argument); name == "--port" || name == "--web-port" || name == "--input") {
            std::string value;
            if (argument == name) {
                if (i + 1 >= arguments.size()) {
                    const std::string wanted =
                        name == "--input" ? "a backend name (" + std::string(inputNames) + ")" : "a port number";
                    return failure(std::string(name) + " needs " + wanted);
                }
                value = arguments[++i];
            } else {
                value = argument.substr(name.size() + 1);
            }
            if (name == "--input") {
                auto input = parseInput(value);
                if (!input)
                    return failure("unknown input backend '" + value + "' (expected " + std::string(inputNames) + ")");
                options.input = *input;
                continue;
            }
            const bool web = name == "--web-port";
            auto port = parsePort(value, web ? 0 : 1);
            if (!port)
                return failure("invalid port number '" + value + "' (expected " + (web ? "0" : "1") + " to 65535)");
            std::optional<std::uint16_t>& seen = web ? webPort : options.port;
            if (seen && *seen != *port)
                return failure(std::string(name) + " given twice");
            seen = port;
        } else {
            return failure("unknown argument '" + argument + "'");
        }
    }
    if (webPort)
        options.webPort = *webPort;
    return {options, {}};
}

std::string usageText(const std::string& programName, const std::string& inputInUse) {
    std::string text = "Usage: " + programName +
                       " [--headless] [--port N] [--web-port N] [--input NAME] [--help] [--version]\n"
                       "\n"
                       "Lets a phone on the same network act as this computer's trackpad and keyboard.\n"
                       "\n"
                       "  --headless    show the status on the terminal instead of a tray icon\n"
                       "                (the default when there is no display)\n"
                       "  --port N      listen on TCP and UDP port N instead of one the system chooses\n"
                       "  --web-port N  serve the browser page on port N (default " +
                       std::to_string(defaultWebPort) +
                       "; 0: no browser page)\n"
                       "  --input NAME  how input reaches the desktop: auto (the default: chosen from\n"
                       "                the session), x11 (XTest), wlroots (sway, Hyprland, river,\n"
                       "                Wayfire, labwc), kwin (KDE Plasma), gnome (GNOME's own\n"
                       "                remote-desktop interface) or portal (the desktop portal, which\n"
                       "                asks you to allow remote control)\n"
                       "  -h, --help    show this text and exit\n"
                       "  --version     show the version and exit\n";
    if (!inputInUse.empty())
        text += "\nInput backend in use here: " + inputInUse + "\n";
    return text;
}

} // namespace vemdo

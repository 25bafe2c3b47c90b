// SPDX-License-Identifier: MIT
#include "app/command_line.h"

#include <charconv>

namespace vemdo {

namespace {

std::optional<std::uint16_t> parsePort(const std::string& text) {
    unsigned long value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(first, last, value);
    if (text.empty() || error != std::errc() || end != last || value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

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
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--port" || argument.starts_with("--port=")) {
            std::string value;
            if (argument == "--port") {
                if (i + 1 >= arguments.size())
                    return failure("--port needs a port number");
                value = arguments[++i];
            } else {
                value = argument.substr(7);
            }
            auto port = parsePort(value);
            if (!port)
                return failure("invalid port number '" + value + "' (expected 1 to 65535)");
            if (options.port && *options.port != *port)
                return failure("--port given twice");
            options.port = port;
        } else if (argument == "--input" || argument.starts_with("--input=")) {
            std::string value;
            if (argument == "--input") {
                if (i + 1 >= arguments.size())
                    return failure("--input needs a backend name (auto, x11, wlroots, kwin, gnome or portal)");
                value = arguments[++i];
            } else {
                value = argument.substr(8);
            }
            auto input = parseInput(value);
            if (!input)
                return failure("unknown input backend '" + value +
                               "' (expected auto, x11, wlroots, kwin, gnome or portal)");
            options.input = *input;
        } else {
            return failure("unknown argument '" + argument + "'");
        }
    }
    return {options, {}};
}

std::string usageText(const std::string& programName, const std::string& inputInUse) {
    std::string text = "Usage: " + programName +
                       " [--headless] [--port N] [--input NAME] [--help] [--version]\n"
                       "\n"
                       "Lets a phone on the same network act as this computer's trackpad and keyboard.\n"
                       "\n"
                       "  --headless    show the status on the terminal instead of a tray icon\n"
                       "                (the default when there is no display)\n"
                       "  --port N      listen on TCP and UDP port N instead of one the system chooses\n"
                       "  --input NAME  how input reaches the desktop: auto (the default: chosen from\n"
                       "                the session), x11 (XTest), wlroots (sway, Hyprland, river,\n"
                       "                Wayfire, labwc), kwin (KDE Plasma), gnome (GNOME's own\n"
                       "                remote-desktop interface) or portal (the desktop portal, which\n"
                       "                asks you to allow remote control)\n"
                       "  --help        show this text and exit\n"
                       "  --version     show the version and exit\n";
    if (!inputInUse.empty())
        text += "\nInput backend in use here: " + inputInUse + "\n";
    return text;
}

} // namespace vemdo

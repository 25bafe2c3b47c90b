// SPDX-License-Identifier: MIT
#include "platform/host/xdg_autostart_entry.h"

#include "platform/host/paths.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include <unistd.h>

namespace vemdo {

namespace {

constexpr const char* entryName = "vemdo-trackpad.desktop";

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// An argument of Exec as the desktop entry format wants it: quoted, with the characters that are special
// inside quotes escaped, then the backslashes escaped again for the string value, and % doubled.
std::string execArgument(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted.push_back('\\');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    std::string value;
    for (char c : quoted) {
        if (c == '\\')
            value += "\\\\";
        else if (c == '%')
            value += "%%";
        else
            value.push_back(c);
    }
    return value;
}

} // namespace

XdgAutostartEntry::XdgAutostartEntry(std::filesystem::path autostartDirectory, std::filesystem::path executable)
    : m_directory(std::move(autostartDirectory)), m_executable(std::move(executable)) {}

std::filesystem::path XdgAutostartEntry::defaultDirectory() {
    const auto config = platform::configDirectory();
    if (config.empty())
        return {};
    return config.parent_path() / "autostart";
}

std::filesystem::path XdgAutostartEntry::entryFile() const {
    if (m_directory.empty())
        return {};
    return m_directory / entryName;
}

std::string XdgAutostartEntry::entryText(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vemdo Trackpad\n"
           "Comment=Use a phone as this computer's trackpad and keyboard\n"
           "Exec=" +
           execArgument(executable.string()) +
           "\n"
           "Icon=vemdo-trackpad\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

AutostartState XdgAutostartEntry::state() {
    if (m_executable.empty() || m_directory.empty())
        return AutostartState::unknownProgram;
    std::error_code error;
    const auto file = entryFile();
    if (!std::filesystem::exists(file, error))
        return error ? AutostartState::disabledByDesktop : AutostartState::absent;
    std::ifstream in(file);
    if (!in)
        return AutostartState::disabledByDesktop;
    bool inMainGroup = false;
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = trimmed(line);
        if (text.empty() || text.front() == '#')
            continue;
        if (text.front() == '[') {
            inMainGroup = text == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const auto equals = text.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = trimmed(std::string_view(text).substr(0, equals));
        const std::string value = trimmed(std::string_view(text).substr(equals + 1));
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return AutostartState::disabledByDesktop;
    }
    return AutostartState::enabled;
}

AutostartChange XdgAutostartEntry::enable() {
    if (m_executable.empty())
        return {false, "The program's own path cannot be determined."};
    if (m_directory.empty())
        return {false, "No home directory to keep the autostart entry in."};
    std::error_code error;
    std::filesystem::create_directories(m_directory, error);
    if (error)
        return {false, error.message()};
    const auto file = entryFile();
    auto temporary = file;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out)
            return {false, std::strerror(errno)};
        out << entryText(m_executable);
        out.flush();
        if (!out) {
            const std::string description = std::strerror(errno);
            out.close();
            std::filesystem::remove(temporary, error);
            return {false, description};
        }
    }
    std::filesystem::rename(temporary, file, error);
    if (error) {
        const std::string description = error.message();
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return {false, description};
    }
    return {true, {}};
}

AutostartChange XdgAutostartEntry::disable() {
    if (m_directory.empty())
        return {true, {}};
    std::error_code error;
    std::filesystem::remove(entryFile(), error);
    if (error)
        return {false, error.message()};
    return {true, {}};
}

} // namespace vemdo

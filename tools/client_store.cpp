// SPDX-License-Identifier: MIT
#include "tools/client_store.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vemdo::client {

namespace {

// Tabs and line feeds separate the fields of the file, so they cannot be part of a name.
std::string clean(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

} // namespace

ClientStore::ClientStore(std::filesystem::path file) : m_file(std::move(file)) {
    std::ifstream in(m_file);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, tab);
        const std::string rest = line.substr(tab + 1);
        if (key == "device-id" && !rest.empty()) {
            m_deviceId = rest;
        } else if (key == "token") {
            const auto second = rest.rfind('\t');
            if (second != std::string::npos) {
                m_tokens[rest.substr(0, second)] = rest.substr(second + 1);
            }
        }
    }
}

std::filesystem::path ClientStore::defaultPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : ".") / ".config";
    }
    return base / "vemdo-client" / "state";
}

std::string ClientStore::deviceId(std::string& error) {
    if (!m_deviceId) {
        m_deviceId = makeDeviceId();
        if (!save(error)) {
            m_deviceId.reset();
            return {};
        }
    }
    return *m_deviceId;
}

std::optional<std::string> ClientStore::token(const std::string& server) const {
    const auto it = m_tokens.find(clean(server));
    if (it == m_tokens.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool ClientStore::setToken(const std::string& server, const std::string& token, std::string& error) {
    m_tokens[clean(server)] = clean(token);
    return save(error);
}

bool ClientStore::save(std::string& error) const {
    std::ostringstream text;
    if (m_deviceId) {
        text << "device-id\t" << *m_deviceId << '\n';
    }
    for (const auto& [server, token] : m_tokens) {
        text << "token\t" << server << '\t' << token << '\n';
    }
    const std::string bytes = text.str();

    std::error_code ec;
    std::filesystem::create_directories(m_file.parent_path(), ec);
    if (ec) {
        error = "cannot create " + m_file.parent_path().string() + ": " + ec.message();
        return false;
    }
    ::chmod(m_file.parent_path().c_str(), 0700);
    const std::string temporary = m_file.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    // O_CREAT's mode does not apply to a file left over from an interrupted run.
    ::fchmod(fd, 0600);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), m_file.c_str()) != 0) {
        error = "cannot replace " + m_file.string() + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string makeDeviceId() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::abort();
        }
        filled += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return out;
}

} // namespace vemdo::client

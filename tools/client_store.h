// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vemdo::client {

// The client's per-user state: its device ID and one token per server. One small text file, written
// atomically and readable only by its owner, since a token lets anyone inject input into that server.
class ClientStore {
public:
    explicit ClientStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/vemdo-client/state, or ~/.config/vemdo-client/state.
    static std::filesystem::path defaultPath();

    // The device ID, made (an upper-case UUID v4) and saved on first use. Empty when it cannot be saved.
    std::string deviceId(std::string& error);
    std::optional<std::string> token(const std::string& server) const;
    // False with error set when the file cannot be written.
    bool setToken(const std::string& server, const std::string& token, std::string& error);

private:
    bool save(std::string& error) const;

    std::filesystem::path m_file;
    std::optional<std::string> m_deviceId;
    std::map<std::string, std::string> m_tokens;
};

// A random upper-case UUID v4.
std::string makeDeviceId();

} // namespace vemdo::client

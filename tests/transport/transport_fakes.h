// SPDX-License-Identifier: MIT
#pragma once

#include "support/manual_task_queue.h"
#include "transport/network.h"
#include "transport/string_table.h"

#include <map>
#include <string>
#include <vector>

namespace vemdo::testing {

// A connection that records what the transport writes and whether it asked to close.
class FakeConnection final : public Connection {
public:
    FakeConnection(ConnectionId id, std::string address) : m_id(id), m_address(std::move(address)) {}
    ConnectionId id() const override { return m_id; }
    std::string remoteAddress() const override { return m_address; }
    void send(std::string_view bytes) override { sent.emplace_back(bytes); }
    std::size_t unsentBytes() const override { return 0; }
    void cancel() override { ++cancelCount; }

    std::vector<std::string> sent;
    int cancelCount = 0;

private:
    ConnectionId m_id;
    std::string m_address;
};

// Listeners that exist only as records; the test plays the platform's part by calling the events.
class FakeNetwork final : public NetworkPlatform {
public:
    TaskQueue& transportQueue() override { return queue; }
    std::optional<std::string> startTcpListener(std::uint16_t port, NetworkEvents&) override {
        tcpPorts.push_back(port);
        return tcpError;
    }
    std::optional<std::string> startUdpListener(std::uint16_t port, NetworkEvents&) override {
        udpPorts.push_back(port);
        return udpError;
    }
    void advertise(std::string_view name, std::string_view type, std::uint16_t port) override {
        advertisements.push_back({std::string(name), std::string(type), port});
    }

    struct Advertisement {
        std::string name;
        std::string type;
        std::uint16_t port;
        bool operator==(const Advertisement&) const = default;
    };
    ManualTaskQueue queue;
    std::optional<std::string> tcpError;
    std::optional<std::string> udpError;
    std::vector<std::uint16_t> tcpPorts;
    std::vector<std::uint16_t> udpPorts;
    std::vector<Advertisement> advertisements;
};

// Answers the translation when the test set one, the default text otherwise.
class FakeStrings final : public StringTable {
public:
    std::string text(std::string_view key, std::string_view defaultText) const override {
        if (auto it = translations.find(std::string(key)); it != translations.end())
            return it->second;
        return std::string(defaultText);
    }
    std::map<std::string, std::string> translations;
};

} // namespace vemdo::testing

// SPDX-License-Identifier: MIT
#pragma once

#include "transport/network.h"

#include <memory>

class QObject;
class QTcpServer;

namespace vemdo {
class AvahiAdvertiser;
} // namespace vemdo

namespace vemdo::platform {

class QtThreadQueue;

// A fresh identity for a connection of any kind (TCP or WebSocket): they share one transport, so they
// share one numbering. Any thread.
ConnectionId newConnectionId();
// No write coalescing, a small kernel send buffer, keep-alive after 2 idle seconds: for every accepted
// stream socket.
void applyStreamOptions(int fd);

// The Linux network: Qt sockets living on the transport thread and the Avahi registration. Every call,
// like every event it reports, happens on that thread.
class QtNetworkPlatform final : public NetworkPlatform {
public:
    explicit QtNetworkPlatform(QtThreadQueue& queue);
    ~QtNetworkPlatform() override;

    TaskQueue& transportQueue() override;
    std::optional<std::string> startTcpListener(std::uint16_t port, NetworkEvents& events) override;
    std::optional<std::string> startUdpListener(std::uint16_t port, NetworkEvents& events) override;
    void advertise(std::string_view name, std::string_view type, std::uint16_t port) override;

private:
    QtThreadQueue& m_queue;
    QTcpServer* m_tcpServer = nullptr;
    QObject* m_udpSocket = nullptr;
    std::unique_ptr<AvahiAdvertiser> m_advertiser;
};

} // namespace vemdo::platform

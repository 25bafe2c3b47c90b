// SPDX-License-Identifier: MIT
#pragma once

#include "transport/network.h"

#include <memory>
#include <string>

class QObject;

namespace vemdo {
class AvahiAdvertiser;
class PeerBudget;
} // namespace vemdo

namespace vemdo::platform {

class FixedDelay;
class QtThreadQueue;
class StreamListener;

// The phone app's side of the network: its TCP listener, its UDP socket and the DNS-SD registration through
// Avahi, all on the transport thread. Every call, like every event it reports, happens on that thread.
class PhoneListener final : public NetworkPlatform {
public:
    // Every connection holds a place in `budget`, shared with the browser page's listener.
    PhoneListener(QtThreadQueue& queue, PeerBudget& budget);
    ~PhoneListener() override;

    TaskQueue& transportQueue() override;
    std::optional<std::string> startTcpListener(std::uint16_t port, NetworkEvents& events) override;
    std::optional<std::string> startUdpListener(std::uint16_t port, NetworkEvents& events) override;
    void advertise(std::string_view name, std::string_view type, std::uint16_t port) override;

private:
    QtThreadQueue& m_queue;
    PeerBudget& m_budget;
    // Made on the transport thread with the listener.
    FixedDelay* m_closeGrace = nullptr;
    StreamListener* m_tcpListener = nullptr;
    QObject* m_udpSocket = nullptr;
    std::unique_ptr<AvahiAdvertiser> m_advertiser;
};

} // namespace vemdo::platform

// SPDX-License-Identifier: MIT
#pragma once

#include "transport/network.h"

#include <QObject>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;
class QTimer;

namespace vemdo {
class AvahiAdvertiser;
class PeerBudget;
} // namespace vemdo

namespace vemdo::platform {

class QtThreadQueue;

// A connection told to close may first deliver what is queued for it; a peer that does not take it within
// this long is cut off, so that it cannot keep the connection half-open for ever.
inline constexpr std::chrono::milliseconds closeGrace{2000};

// Runs tasks a fixed time after they are given, through one Qt timer however many wait. Qt searches its list
// of timers whenever one starts or stops, so a timer for each of thousands of connections would make a flood
// of them slow to accept. Lives on its parent's thread.
class FixedDelay final : public QObject {
public:
    FixedDelay(std::chrono::milliseconds delay, QObject* parent);
    ~FixedDelay() override;
    // Runs task once the delay has passed, unless context is gone by then.
    void after(QObject* context, std::function<void()> task);

private:
    struct Waiting;
    void runDue();

    const std::chrono::milliseconds m_delay;
    std::deque<Waiting> m_waiting;
    QTimer* m_timer;
};

// A fresh identity for a connection of any kind (TCP or WebSocket): they share one transport, so they
// share one numbering. Any thread.
ConnectionId newConnectionId();

// A listening TCP socket on every address (IPv6 and IPv4) that makes room in the peer budget before it
// accepts a connection, so that a flood never runs the process out of descriptors. Each accepted
// descriptor is handed over non-blocking, with no write coalescing, a small kernel send buffer and
// keep-alive after 2 idle seconds, together with the peer's address as the transport compares it.
// Lives on the transport thread.
class StreamListener final : public QObject {
public:
    using Accepted = std::function<void(int fd, const std::string& address)>;

    // Nothing, with the error's description, when the port cannot be had.
    static StreamListener* open(std::uint16_t port, PeerBudget& budget, Accepted accepted, QObject* parent,
                                std::string& error);
    ~StreamListener() override;
    std::uint16_t port() const;

private:
    StreamListener(int fd, PeerBudget& budget, Accepted accepted, QObject* parent);
    void acceptWaiting();

    const int m_fd;
    PeerBudget& m_budget;
    Accepted m_accepted;
    QSocketNotifier* m_notifier;
};

// The Linux network: Qt sockets living on the transport thread and the Avahi registration. Every call,
// like every event it reports, happens on that thread.
class QtNetworkPlatform final : public NetworkPlatform {
public:
    // Every connection holds a place in `budget`, shared with the browser page's listener.
    QtNetworkPlatform(QtThreadQueue& queue, PeerBudget& budget);
    ~QtNetworkPlatform() override;

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

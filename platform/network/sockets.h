// SPDX-License-Identifier: MIT
#pragma once

// What the phone app's listener and the browser page's listener share: socket options, connection ids, the
// close grace, the descriptor budget's platform side and this computer's addresses.

#include "transport/network.h"

#include <QObject>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <sys/socket.h>

class QSocketNotifier;
class QTimer;

namespace vemdo {
class PeerBudget;
} // namespace vemdo

namespace vemdo::platform {

// A connection told to close may first deliver what is queued for it; a peer that does not take it within
// this long is cut off, so that it cannot keep the connection half-open for ever.
inline constexpr std::chrono::milliseconds closeGrace{2000};

// A fresh identity for a connection of any kind (TCP or WebSocket): they share one transport, so they
// share one numbering. Any thread.
ConnectionId newConnectionId();

// A socket of `type` bound to `port` on every address: dual-stack where the system has IPv6, so that IPv4
// peers arrive as mapped addresses. -1, with the error's description, when it cannot be had.
int boundSocket(int type, std::uint16_t port, std::string& error);

// The text of a socket address as the transport compares it: IPv4 (also when it reached a dual-stack
// socket as a mapped address), or IPv6 with the interface of a link-local address.
std::string addressText(const sockaddr_storage& address);

// Every connection holds a descriptor, and the listeners keep their peers within a budget below the limit:
// this takes all the system grants, so that a flood of connections cannot crowd out the store and the
// display as early as the usual soft limit of 1,024 would let it. Once, at start.
void raiseDescriptorLimit();
// How many peers of both listeners may hold a descriptor under the process's limit as it stands now.
std::size_t peerDescriptorBudget();

// This computer's addresses on interfaces that are up, as text, and its host name. Any thread.
std::vector<std::string> localAddresses();
std::string localHostName();

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

} // namespace vemdo::platform

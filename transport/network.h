// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

class TaskQueue;

using ConnectionId = std::uint64_t;

// Who can be at the other end: the phone app speaks the line protocol on the phone port and may send
// datagrams; the browser page speaks it over a WebSocket, sealed after a password exchange (see
// BrowserChannel), and never sends a datagram.
enum class ConnectionKind { phoneApp, browserPage };

// What a connection may hold unsent in the process: beyond it its peer is not reading, so the platform closes it
// without the grace a close otherwise gives (its end is reported as for any close).
inline constexpr std::size_t maxUnsentBytes = 64 * 1024;

// One accepted TCP connection. The network platform owns the socket; the transport uses this handle on
// the transport thread only.
class Connection {
public:
    virtual ~Connection() = default;
    // Unique for the life of the process: two connections from one address and port differ.
    virtual ConnectionId id() const = 0;
    // The peer's IP address as text (for example "192.0.2.7" or "fe80::1").
    virtual std::string remoteAddress() const = 0;
    virtual ConnectionKind kind() const = 0;
    // What both ends see of the connection, bound into the browser page's exchange: the page's port and the
    // Host it was loaded from.
    virtual std::vector<std::string> channelBinding() const { return {}; }
    // Queues bytes for writing (on a browser page's connection, one binary message); a failed write is neither reported
    // nor retried. A connection whose unsent bytes pass maxUnsentBytes is closed at once, whatever queued them.
    virtual void send(std::string_view bytes) = 0;
    // Bytes given to send() that are still held by the process, not yet taken by the system: they grow
    // while the peer does not read.
    virtual std::size_t unsentBytes() const = 0;
    // Closes the connection. Its end is reported later through NetworkEvents::connectionEnded, never from
    // inside this call.
    virtual void cancel() = 0;
    // Closes with a code (4000–4999) and a reason the browser page shows; other connections just close.
    virtual void refuse(std::uint16_t code, std::string_view reason) {
        static_cast<void>(code);
        static_cast<void>(reason);
        cancel();
    }
};

enum class ListenerState { setup, waiting, ready, failed, cancelled };

// What the network platform reports, always on the transport thread.
class NetworkEvents {
public:
    virtual ~NetworkEvents() = default;
    // port is the bound port when the state is ready.
    virtual void listenerStateChanged(ListenerState state, std::optional<std::uint16_t> port) = 0;
    virtual void handleNewConnection(std::shared_ptr<Connection> connection) = 0;
    // One receive of 1 to 4096 bytes.
    virtual void processReceivedData(ConnectionId connection, std::string_view chunk) = 0;
    // One whole binary message of a browser page's connection.
    virtual void processReceivedMessage(ConnectionId connection, std::string_view message) = 0;
    // The connection failed, was cancelled, or the peer ended its stream. Reported once.
    virtual void connectionEnded(ConnectionId connection) = 0;
    // One UDP datagram (at most 16 bytes are delivered) and its sender's IP address as text.
    virtual void handleDatagram(std::span<const std::uint8_t> bytes, std::string_view senderAddress) = 0;
};

// Sockets and the DNS-SD registration. Every call is made on the transport thread.
class NetworkPlatform {
public:
    virtual ~NetworkPlatform() = default;
    // The serial transport queue on which every event is reported and every call is made.
    virtual TaskQueue& transportQueue() = 0;
    // Opens the TCP listener (IPv4 and IPv6; port 0 lets the system choose; no write coalescing;
    // keep-alive after 2 idle seconds). Returns the error's description when it cannot be created;
    // otherwise its states follow through events.listenerStateChanged.
    virtual std::optional<std::string> startTcpListener(std::uint16_t port, NetworkEvents& events) = 0;
    // Opens the UDP socket on port, replacing an earlier one. The error's description on failure.
    virtual std::optional<std::string> startUdpListener(std::uint16_t port, NetworkEvents& events) = 0;
    // Advertises the service by DNS-SD while the process runs. Never fails towards the caller: when
    // the daemon is absent it warns once and registers as soon as the daemon appears.
    virtual void advertise(std::string_view name, std::string_view type, std::uint16_t port) = 0;
};

} // namespace vemdo

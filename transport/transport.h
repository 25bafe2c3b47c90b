// SPDX-License-Identifier: MIT
#pragma once

#include "protocol/packet.h"
#include "transport/browser_channel.h"
#include "transport/line_framer.h"
#include "transport/network.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace vemdo {

class InputInjector;
class Clock;
class RandomSource;
class SecurityManager;
class StringTable;
class TaskQueue;

// The one network server: listeners, connections, framing, the pairing and authentication gate, and the
// datagram path.
//
// Threads: start(), regeneratePairingCode() and the published getters belong to the main thread, and the
// published values are written only by tasks posted to the main queue. Everything else (every
// NetworkEvents call, dispatch, security checks, injection) runs on the transport queue. No locks.
class Transport final : public NetworkEvents {
public:
    struct Dependencies {
        SecurityManager& security;
        InputInjector& injector;
        NetworkPlatform& network;
        TaskQueue& mainQueue;
        const Clock& clock;
        // For the browser pages' exchanges.
        RandomSource& random;
        const StringTable& strings;
        // 0 lets the system choose.
        std::uint16_t requestedPort = 0;
    };

    static constexpr std::string_view serviceName = "Vemdo Trackpad";
    static constexpr std::string_view serviceType = "_vemdo._tcp";
    // Beyond this many unauthenticated connections one is closed: the oldest of the network source that
    // holds the most of them, so that a flood of sockets from one host cannot push a phone out.
    static constexpr std::size_t maxUnauthenticatedConnections = 32;
    // An unauthenticated connection is closed after this many refused pairings and authentications:
    // twice what the pairing window lets one device try, so a phone still sees every answer it needs.
    static constexpr int maxFailedAttemptsPerConnection = 20;

    // Main thread. Publishes the stored pairing code at once, or has a new one made and published.
    explicit Transport(Dependencies dependencies);

    // Main thread, once: opens the listeners and the advertisement on the transport queue.
    void start();
    // Main thread: a new code, stored at once and published through the main queue.
    void regeneratePairingCode();

    // Published values; main thread.
    bool isListening() const { return m_isListening; }
    int connectedClients() const { return m_connectedClients; }
    const std::optional<std::string>& currentPairingCode() const { return m_currentPairingCode; }
    // Whether the current code has taken too many wrong guesses and pairing waits for a new code.
    bool pairingStopped() const { return m_pairingStopped; }
    // Whether the store could not be read or written at the last try: pairings cannot be kept.
    bool settingsUnsaved() const { return m_settingsUnsaved; }
    std::optional<std::uint16_t> listeningPort() const { return m_listeningPort; }

    // NetworkEvents: transport queue.
    void listenerStateChanged(ListenerState state, std::optional<std::uint16_t> port) override;
    void handleNewConnection(std::shared_ptr<Connection> connection) override;
    void processReceivedData(ConnectionId connection, std::string_view chunk) override;
    void processReceivedMessage(ConnectionId connection, std::string_view message) override;
    void connectionEnded(ConnectionId connection) override;
    void handleDatagram(std::span<const std::uint8_t> bytes, std::string_view senderAddress) override;

private:
    struct ConnectionState {
        std::shared_ptr<Connection> connection;
        LineFramer framer;
        std::string address;
        // What the limits count by: see networkSource.
        std::string source;
        ConnectionKind kind = ConnectionKind::phoneApp;
        int failedAttempts = 0;
        // Whether a line has been read: the first one decides whether the peer speaks our protocol at all.
        bool readLine = false;
        // Already told to close: its end is reported later, and until then it no longer counts or reads.
        bool closing = false;
        // A browser page's: its exchange, then its sealed frames.
        std::unique_ptr<BrowserChannel> browser;
    };

    void startUDPListener();
    // One line on standard output: the localized text, ": ", the platform's description.
    void reportListenerError(std::string_view key, std::string_view defaultText, std::string_view error) const;
    void dispatch(const Packet& packet, ConnectionState& state);
    // One JSON message: a line of the phone app, or what a browser page's sealed frame holds.
    void dispatchLine(std::string_view line, ConnectionState& state);
    void exchange(std::string_view message, ConnectionState& state);
    void handlePairRequest(const Packet& packet, ConnectionState& state);
    void handleAuth(const Packet& packet, ConnectionState& state);
    void sendPairResponse(bool success, std::string message, std::optional<std::string> token, ConnectionState& to);
    void sendAuthResponse(bool success, std::string message, ConnectionState& to);
    void send(const Packet& reply, ConnectionState& to);
    void closeUnauthenticatedBeyondLimit();
    void close(ConnectionState& state, std::optional<Refusal> refusal = std::nullopt);
    // Tells the main thread what changed of the code's guesses and of the store's health.
    void publishSecurityState();
    void sendStoreUnavailable(Kind reply, ConnectionState& to);
    bool addressUnlocksDatagrams(std::string_view address) const;
    std::uint64_t nowMilliseconds() const;
    void updateConnectedClients();

    Dependencies m_deps;

    // Transport queue.
    std::optional<std::uint16_t> m_tcpPort;
    std::vector<ConnectionId> m_connections; // accepted order
    std::unordered_map<ConnectionId, ConnectionState> m_receiveBuffers;
    std::set<ConnectionId> m_authenticatedConnections;
    bool m_pairingStoppedPublished = false;
    bool m_settingsUnsavedPublished = false;

    // Main thread.
    bool m_isListening = false;
    int m_connectedClients = 0;
    std::optional<std::string> m_currentPairingCode;
    std::optional<std::uint16_t> m_listeningPort;
    bool m_pairingStopped = false;
    bool m_settingsUnsaved = false;
};

// IPv4-mapped IPv6 text ("::ffff:192.0.2.7") as its IPv4 form; anything else unchanged.
std::string normalizedAddress(std::string_view address);

// The network an address speaks for, as the limits count it: an IPv4 address (mapped or not) stands for
// itself, an IPv6 address for its /64 prefix ("2001:db8:1:2::/64"), zone index ignored, since one host
// can give itself any number of addresses within its prefix. Text that is no address stands for itself.
std::string networkSource(std::string_view address);

// Whether a line opens an HTTP request: a method, a space, a target, a space and "HTTP/". A web page can
// make a browser send one to any port; no message of ours can start that way, as each is a JSON object.
bool isHttpRequestLine(std::string_view line);

} // namespace vemdo

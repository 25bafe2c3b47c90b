// SPDX-License-Identifier: MIT
#include "transport/transport.h"

#include "injection/input_injector.h"
#include "protocol/utf8.h"
#include "security/clock.h"
#include "security/security_manager.h"
#include "transport/string_table.h"
#include "transport/task_queue.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

namespace vemdo {

namespace {

// Fixed replies: the phones compare these texts, so they are the same in every language.
constexpr std::string_view invalidPairRequestText = "Geçersiz pairing isteği";
constexpr std::string_view tooManyAttemptsText = "Çok fazla deneme. Lütfen bekleyin.";
constexpr std::string_view invalidAuthText = "Geçersiz kimlik doğrulama";
constexpr std::string_view invalidTokenText = "Geçersiz token";
constexpr std::string_view authenticatedText = "Kimlik doğrulandı";

std::string_view textOf(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace

std::string normalizedAddress(std::string_view address) {
    constexpr std::string_view mappedPrefix = "::ffff:";
    const bool mapped = address.size() > mappedPrefix.size() &&
                        std::equal(mappedPrefix.begin(), mappedPrefix.end(), address.begin(), [](char prefix, char c) {
                            return prefix == std::tolower(static_cast<unsigned char>(c));
                        });
    if (mapped) {
        const std::string_view rest = address.substr(mappedPrefix.size());
        // Only the dotted form is a mapped IPv4 address; "::ffff:1:2" is an ordinary IPv6 address.
        if (rest.find(':') == std::string_view::npos && rest.find('.') != std::string_view::npos)
            return std::string(rest);
    }
    return std::string(address);
}

std::string networkSource(std::string_view address) {
    const std::string host(address.substr(0, address.find('%')));
    in6_addr bytes{};
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (inet_pton(AF_INET6, host.c_str(), &bytes) != 1)
        return std::string(address);
    if (IN6_IS_ADDR_V4MAPPED(&bytes)) {
        if (!inet_ntop(AF_INET, bytes.s6_addr + 12, text.data(), text.size()))
            return std::string(address);
        return text.data();
    }
    std::memset(bytes.s6_addr + 8, 0, 8);
    if (!inet_ntop(AF_INET6, &bytes, text.data(), text.size()))
        return std::string(address);
    return std::string(text.data()) + "/64";
}

bool isHttpRequestLine(std::string_view line) {
    // A method is an HTTP token: letters, digits and a few marks, never '{' or white space.
    constexpr std::string_view tokenMarks = "!#$%&'*+-.^_`|~";
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == 0 || methodEnd == std::string_view::npos)
        return false;
    for (char c : line.substr(0, methodEnd)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && tokenMarks.find(c) == std::string_view::npos)
            return false;
    }
    const std::size_t targetEnd = line.find(' ', methodEnd + 1);
    return targetEnd != std::string_view::npos && targetEnd > methodEnd + 1 &&
           line.substr(targetEnd + 1).starts_with("HTTP/");
}

Transport::Transport(Dependencies dependencies) : m_deps(dependencies) {
    if (auto stored = m_deps.security.currentPairingCode())
        m_currentPairingCode = std::move(stored);
    else
        regeneratePairingCode();
}

void Transport::start() {
    m_deps.network.transportQueue().post([this] {
        if (auto error = m_deps.network.startTcpListener(m_deps.requestedPort, *this))
            reportListenerError("transport.tcp_error", "TCP Listener creation error", *error);
    });
}

void Transport::reportListenerError(std::string_view key, std::string_view defaultText, std::string_view error) const {
    const std::string line = m_deps.strings.text(key, defaultText) + ": " + std::string(error) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

void Transport::regeneratePairingCode() {
    std::string code = m_deps.security.generateNewPairingCode();
    m_deps.mainQueue.post([this, code = std::move(code)] { m_currentPairingCode = code; });
    // Asked on the transport queue, which owns the count of wrong guesses: any word that pairing stopped
    // for the old code is queued before this answer, so the last word the menu gets is about the new one.
    m_deps.network.transportQueue().post([this] { publishSecurityState(); });
}

void Transport::publishSecurityState() {
    const bool stopped = m_deps.security.pairingStopped();
    if (stopped != m_pairingStoppedPublished) {
        m_pairingStoppedPublished = stopped;
        m_deps.mainQueue.post([this, stopped] { m_pairingStopped = stopped; });
    }
    const bool unsaved = m_deps.security.storeFailing();
    if (unsaved != m_settingsUnsavedPublished) {
        m_settingsUnsavedPublished = unsaved;
        m_deps.mainQueue.post([this, unsaved] { m_settingsUnsaved = unsaved; });
    }
}

void Transport::listenerStateChanged(ListenerState state, std::optional<std::uint16_t> port) {
    const bool ready = state == ListenerState::ready;
    const std::optional<std::uint16_t> published = ready ? port : std::nullopt;
    m_deps.mainQueue.post([this, ready, published] {
        m_isListening = ready;
        if (published)
            m_listeningPort = published;
    });
    if (!ready || !port)
        return;
    const bool portChanged = m_tcpPort != port;
    m_tcpPort = port;
    startUDPListener();
    // Registered once per port: a listener that returns to ready on the same port is still advertised.
    if (portChanged)
        m_deps.network.advertise(serviceName, serviceType, *m_tcpPort);
}

void Transport::startUDPListener() {
    if (!m_tcpPort)
        return;
    if (auto error = m_deps.network.startUdpListener(*m_tcpPort, *this))
        reportListenerError("transport.udp_error", "UDP Listener creation error", *error);
}

void Transport::handleNewConnection(std::shared_ptr<Connection> connection) {
    const ConnectionId id = connection->id();
    const std::string remote = connection->remoteAddress();
    m_connections.push_back(id);
    const ConnectionKind kind = connection->kind();
    auto [it, added] = m_receiveBuffers.insert_or_assign(
        id, ConnectionState{std::move(connection), LineFramer{}, normalizedAddress(remote), networkSource(remote), kind,
                            0, false, false, nullptr});
    updateConnectedClients();
    ConnectionState& state = it->second;
    if (kind == ConnectionKind::browserPage) {
        state.browser = std::make_unique<BrowserChannel>(m_deps.security, m_deps.random,
                                                         state.connection->channelBinding(), state.source);
        state.connection->send(textOf(state.browser->hello()));
    }
    closeUnauthenticatedBeyondLimit();
}

void Transport::closeUnauthenticatedBeyondLimit() {
    // Per source: how many unauthenticated connections it holds and its oldest one (m_connections is in
    // accepted order).
    struct Holding {
        std::size_t count = 0;
        std::size_t oldestIndex = 0;
        ConnectionState* oldest = nullptr;
    };
    std::map<std::string_view, Holding> sources;
    std::size_t unauthenticated = 0;
    for (std::size_t index = 0; index < m_connections.size(); ++index) {
        const ConnectionId id = m_connections[index];
        auto it = m_receiveBuffers.find(id);
        if (it == m_receiveBuffers.end() || it->second.closing || m_authenticatedConnections.contains(id))
            continue;
        Holding& holding = sources[it->second.source];
        if (holding.count++ == 0) {
            holding.oldestIndex = index;
            holding.oldest = &it->second;
        }
        ++unauthenticated;
    }
    if (unauthenticated <= maxUnauthenticatedConnections)
        return;
    // One new connection passes the cap by one, so one close restores it. Among equally busy sources the
    // one holding the oldest connection goes first, which is plain oldest-first when every source has one.
    const Holding* busiest = nullptr;
    for (const auto& [source, holding] : sources) {
        if (!busiest || holding.count > busiest->count ||
            (holding.count == busiest->count && holding.oldestIndex < busiest->oldestIndex))
            busiest = &holding;
    }
    close(*busiest->oldest);
}

void Transport::close(ConnectionState& state, std::optional<Refusal> refusal) {
    if (state.closing)
        return;
    state.closing = true;
    if (refusal)
        state.connection->refuse(static_cast<std::uint16_t>(*refusal), refusalReason(*refusal));
    else
        state.connection->cancel();
}

void Transport::processReceivedData(ConnectionId connection, std::string_view chunk) {
    auto it = m_receiveBuffers.find(connection);
    if (it == m_receiveBuffers.end() || it->second.closing)
        return;
    ConnectionState& state = it->second;
    const std::vector<std::string> lines = state.framer.append(chunk);
    for (const std::string& line : lines) {
        // A reply may have closed the connection; whatever else it sent is not for us any more.
        if (state.closing)
            return;
        // A browser made to post to this port by some web page: nothing it carries is the phone's word.
        if (!std::exchange(state.readLine, true) && isHttpRequestLine(line)) {
            close(state);
            return;
        }
        dispatchLine(line, state);
    }
    if (state.framer.overflowed())
        close(state);
}

void Transport::dispatchLine(std::string_view line, ConnectionState& state) {
    if (line.empty() || !isValidUtf8(line))
        return;
    if (auto packet = Packet::decodeJson(line))
        dispatch(*packet, state);
}

void Transport::processReceivedMessage(ConnectionId connection, std::string_view message) {
    auto it = m_receiveBuffers.find(connection);
    if (it == m_receiveBuffers.end() || it->second.closing)
        return;
    ConnectionState& state = it->second;
    if (!state.browser) {
        close(state);
        return;
    }
    if (!state.browser->established()) {
        exchange(message, state);
        return;
    }
    const auto text = state.browser->open(cpace::bytesOf(message));
    // A frame altered, repeated or left out: nothing after it can be trusted.
    if (!text) {
        close(state);
        return;
    }
    dispatchLine(*text, state);
}

void Transport::exchange(std::string_view message, ConnectionState& state) {
    BrowserChannel::Step step = state.browser->exchange(cpace::bytesOf(message));
    publishSecurityState();
    if (step.refusal) {
        close(state, step.refusal);
        return;
    }
    state.connection->send(textOf(step.reply));
    if (!step.established)
        return;
    m_authenticatedConnections.insert(state.connection->id());
    if (step.secret)
        sendPairResponse(true, m_deps.strings.text("pairing.success_message", "Paired successfully"),
                         std::move(step.secret), state);
}

void Transport::connectionEnded(ConnectionId connection) {
    std::erase(m_connections, connection);
    m_receiveBuffers.erase(connection);
    const bool wasAuthenticated = m_authenticatedConnections.erase(connection) > 0;
    updateConnectedClients();
    // The phone that held a button or Command may be gone for good; nobody else could release it.
    if (wasAuthenticated && m_authenticatedConnections.empty())
        m_deps.injector.releaseHeldInput();
}

void Transport::handleDatagram(std::span<const std::uint8_t> bytes, std::string_view senderAddress) {
    // Datagrams carry no credentials, so only a host that holds an authenticated connection of the phone app
    // may use them. A browser never sends one: a datagram in its name is forged.
    if (!addressUnlocksDatagrams(normalizedAddress(senderAddress)))
        return;
    if (auto packet = Packet::decodeDatagram(bytes))
        m_deps.injector.handle(*packet);
}

bool Transport::addressUnlocksDatagrams(std::string_view address) const {
    for (ConnectionId id : m_authenticatedConnections) {
        auto it = m_receiveBuffers.find(id);
        if (it != m_receiveBuffers.end() && it->second.kind == ConnectionKind::phoneApp &&
            it->second.address == address)
            return true;
    }
    return false;
}

void Transport::dispatch(const Packet& packet, ConnectionState& state) {
    // A browser page pairs and authenticates by its exchange alone, never by a message.
    if (state.browser && (packet.kind == Kind::auth || packet.kind == Kind::pairRequest))
        return;
    switch (packet.kind) {
    case Kind::auth:
        handleAuth(packet, state);
        return;
    case Kind::pairRequest:
        handlePairRequest(packet, state);
        return;
    default:
        if (m_authenticatedConnections.contains(state.connection->id()))
            m_deps.injector.handle(packet);
        return;
    }
}

void Transport::handlePairRequest(const Packet& packet, ConnectionState& state) {
    if (!packet.deviceID || !packet.pairingCode || packet.deviceID->size() > SecurityManager::maxDeviceIDBytes) {
        sendPairResponse(false, std::string(invalidPairRequestText), std::nullopt, state);
        return;
    }
    if (!m_deps.security.checkRateLimit(*packet.deviceID, state.source)) {
        sendPairResponse(false, std::string(tooManyAttemptsText), std::nullopt, state);
        return;
    }
    const Verdict verdict = m_deps.security.validatePairing(*packet.deviceID, *packet.pairingCode);
    publishSecurityState();
    if (verdict == Verdict::storeUnavailable) {
        // Nothing was judged, so nothing counts against the phone or its network.
        m_deps.security.withdrawAttempt(*packet.deviceID, state.source);
        sendStoreUnavailable(Kind::pairResponse, state);
        return;
    }
    if (verdict == Verdict::refused) {
        sendPairResponse(false, m_deps.strings.text("pairing.invalid_code", "Invalid pairing code"), std::nullopt,
                         state);
        return;
    }
    std::optional<std::string> token;
    const SecurityManager::PairedDevices devices = m_deps.security.loadPairedDevices();
    if (auto it = devices.find(*packet.deviceID); it != devices.end())
        token = it->second;
    sendPairResponse(true, m_deps.strings.text("pairing.success_message", "Paired successfully"), std::move(token),
                     state);
}

void Transport::handleAuth(const Packet& packet, ConnectionState& state) {
    if (!packet.deviceID || !packet.token) {
        sendAuthResponse(false, std::string(invalidAuthText), state);
        return;
    }
    const Verdict verdict = m_deps.security.validateToken(*packet.deviceID, *packet.token);
    publishSecurityState();
    if (verdict == Verdict::storeUnavailable) {
        sendStoreUnavailable(Kind::auth, state);
        return;
    }
    if (verdict == Verdict::refused) {
        sendAuthResponse(false, std::string(invalidTokenText), state);
        return;
    }
    m_authenticatedConnections.insert(state.connection->id());
    sendAuthResponse(true, std::string(authenticatedText), state);
}

void Transport::sendPairResponse(bool success, std::string message, std::optional<std::string> token,
                                 ConnectionState& to) {
    Packet reply;
    reply.kind = Kind::pairResponse;
    reply.success = success;
    reply.message = std::move(message);
    reply.token = std::move(token);
    reply.timestamp = nowMilliseconds();
    send(reply, to);
}

// Neither "wrong code" nor "wrong token": a phone told that would drop what it has or ask its user to type
// the code again, while the fault is the computer's.
void Transport::sendStoreUnavailable(Kind reply, ConnectionState& to) {
    std::string text =
        m_deps.strings.text("pairing.store_error", "The computer cannot save its settings right now. Try again later.");
    if (reply == Kind::auth)
        sendAuthResponse(false, std::move(text), to);
    else
        sendPairResponse(false, std::move(text), std::nullopt, to);
}

void Transport::sendAuthResponse(bool success, std::string message, ConnectionState& to) {
    Packet reply;
    reply.kind = Kind::auth;
    reply.success = success;
    reply.message = std::move(message);
    reply.timestamp = nowMilliseconds();
    send(reply, to);
}

void Transport::send(const Packet& reply, ConnectionState& to) {
    std::optional<std::string> json = reply.encodeJson();
    if (json && to.browser) {
        to.connection->send(textOf(to.browser->seal(*json)));
    } else if (json) {
        json->push_back('\n');
        to.connection->send(*json);
    }
    // The refusal itself is still sent, so the peer learns why it is being closed.
    if (reply.success == false && !m_authenticatedConnections.contains(to.connection->id()))
        ++to.failedAttempts;
    if (to.failedAttempts >= maxFailedAttemptsPerConnection || to.connection->unsentBytes() > maxUnsentBytes)
        close(to);
}

std::uint64_t Transport::nowMilliseconds() const {
    const double milliseconds = std::floor(m_deps.clock.now() * 1000.0);
    // A clock before 1970 or beyond the range cannot be carried; clamp instead of invoking undefined conversion.
    if (!(milliseconds > 0))
        return 0;
    if (milliseconds >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(milliseconds);
}

void Transport::updateConnectedClients() {
    // Counted here, on the transport queue that owns the list; only the number crosses to the main thread.
    const int count = static_cast<int>(m_connections.size());
    m_deps.mainQueue.post([this, count] { m_connectedClients = count; });
}

} // namespace vemdo

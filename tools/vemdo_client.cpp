// SPDX-License-Identifier: MIT
// vemdo-client: speaks to a Vemdo Trackpad server the way the phone app does, for users without the
// app and for the whole-system tests.
#include "protocol/packet.h"
#include "tools/client_commands.h"
#include "tools/client_discovery.h"
#include "tools/client_store.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <iterator>
#include <thread>

namespace vemdo::client {
namespace {

enum Exit { ok = 0, refused = 1, usageError = 2, unreachable = 3 };

std::uint64_t nowMilliseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

void fail(const std::string& message) {
    std::cerr << "vemdo-client: " << message << '\n';
}

class Session {
public:
    explicit Session(double timeoutSeconds) : m_timeoutMs(static_cast<int>(timeoutSeconds * 1000)) {}
    ~Session() {
        if (m_tcp >= 0) {
            ::close(m_tcp);
        }
        if (m_udp >= 0) {
            ::close(m_udp);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool connect(const std::string& host, std::uint16_t port, std::string& error) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* list = nullptr;
        const std::string service = std::to_string(port);
        if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
            error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
            return false;
        }
        error = "cannot connect to " + host + " port " + service;
        for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) {
                continue;
            }
            int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
            if (rc != 0 && errno == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                rc = ::poll(&p, 1, m_timeoutMs) == 1 ? 0 : -1;
                int soError = rc == 0 ? 0 : ETIMEDOUT;
                socklen_t len = sizeof soError;
                if (rc == 0) {
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                }
                if (soError != 0) {
                    errno = soError;
                    rc = -1;
                }
            }
            if (rc == 0) {
                m_tcp = fd;
                std::memcpy(&m_peer, a->ai_addr, a->ai_addrlen);
                m_peerLength = a->ai_addrlen;
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                break;
            }
            error += std::string(": ") + std::strerror(errno);
            ::close(fd);
        }
        ::freeaddrinfo(list);
        return m_tcp >= 0;
    }

    bool sendPacket(const Packet& packet, std::string& error) {
        const auto json = packet.encodeJson();
        if (!json) {
            error = "this message cannot be written as JSON (a number that is not finite?)";
            return false;
        }
        return sendAll(*json + "\n", error);
    }

    bool sendDatagram(const Packet::Datagram& bytes, std::string& error) {
        if (m_udp < 0) {
            // The same address family and destination as the TCP connection, so the server sees this
            // computer's authenticated address as the sender.
            m_udp = ::socket(m_peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (m_udp < 0 || ::connect(m_udp, reinterpret_cast<const sockaddr*>(&m_peer), m_peerLength) != 0) {
                error = std::string("cannot open the UDP socket: ") + std::strerror(errno);
                return false;
            }
        }
        if (::send(m_udp, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
            error = std::string("cannot send the datagram: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    // The next reply of the given kind; other lines are skipped. Empty on timeout or a closed connection.
    std::optional<Packet> readReply(Kind kind, std::string& raw, std::string& error) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
        for (;;) {
            const auto lineEnd = m_pending.find('\n');
            if (lineEnd != std::string::npos) {
                raw = m_pending.substr(0, lineEnd);
                m_pending.erase(0, lineEnd + 1);
                auto packet = Packet::decodeJson(raw);
                if (packet && packet->kind == kind) {
                    return packet;
                }
                continue;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                error = "the server did not answer";
                return std::nullopt;
            }
            pollfd p{m_tcp, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                error = "the server did not answer";
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t n = ::recv(m_tcp, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            if (n <= 0) {
                error = n == 0 ? "the server closed the connection"
                               : std::string("receive failed: ") + std::strerror(errno);
                return std::nullopt;
            }
            m_pending.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    bool sendAll(const std::string& bytes, std::string& error) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(m_tcp, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    pollfd p{m_tcp, POLLOUT, 0};
                    if (::poll(&p, 1, m_timeoutMs) <= 0) {
                        error = "sending timed out";
                        return false;
                    }
                    continue;
                }
                error = std::string("send failed: ") + std::strerror(errno);
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    int m_timeoutMs;
    int m_tcp = -1;
    int m_udp = -1;
    sockaddr_storage m_peer{};
    socklen_t m_peerLength = 0;
    std::string m_pending;
};

class Client {
public:
    Client(const Options& options, ClientStore& store, std::string serverKey, std::string deviceId)
        : m_options(options), m_store(store), m_serverKey(std::move(serverKey)), m_deviceId(std::move(deviceId)),
          m_session(options.timeoutSeconds) {}

    Session& session() { return m_session; }
    const std::string& serverKey() const { return m_serverKey; }

    // Runs one command; the result is an Exit value.
    int run(const Command& command, bool quietAuth = false) {
        std::string error;
        switch (command.verb) {
        case Verb::pair:
            return pair(command);
        case Verb::auth:
            return auth(quietAuth);
        case Verb::sync:
            return sync();
        case Verb::sleep:
            std::this_thread::sleep_for(std::chrono::duration<double>(command.seconds));
            return ok;
        case Verb::discover:
        case Verb::script:
            return usageError;
        default:
            break;
        }
        for (const Packet& packet : packetsFor(command, nowMilliseconds())) {
            const auto datagram = m_options.udp ? packet.encodeDatagram() : std::nullopt;
            const bool sent = datagram ? m_session.sendDatagram(*datagram, error) : m_session.sendPacket(packet, error);
            if (!sent) {
                fail(error);
                return unreachable;
            }
        }
        return ok;
    }

    // One round trip: the server handles a connection's lines and datagrams in order on one thread, so
    // once the answer is here, everything sent before has been handled.
    int sync() {
        Packet probe;
        probe.kind = Kind::auth;
        probe.timestamp = nowMilliseconds();
        probe.deviceID = m_deviceId;
        probe.token = m_store.token(m_serverKey);
        std::string error;
        std::string raw;
        if (!m_session.sendPacket(probe, error) || !m_session.readReply(Kind::auth, raw, error)) {
            fail(error);
            return unreachable;
        }
        return ok;
    }

private:
    int pair(const Command& command) {
        Packet request;
        request.kind = Kind::pairRequest;
        request.timestamp = nowMilliseconds();
        request.deviceID = m_deviceId;
        request.pairingCode = command.code;
        std::string error;
        std::string raw;
        if (!m_session.sendPacket(request, error)) {
            fail(error);
            return unreachable;
        }
        const auto reply = m_session.readReply(Kind::pairResponse, raw, error);
        if (!reply) {
            fail(error);
            return unreachable;
        }
        print(*reply, raw);
        if (reply->success != true) {
            return refused;
        }
        if (!reply->token) {
            fail("the server accepted the code but sent no token");
            return refused;
        }
        if (!m_store.setToken(m_serverKey, *reply->token, error)) {
            fail("paired, but the token could not be saved: " + error);
            return refused;
        }
        return ok;
    }

    int auth(bool quiet) {
        const auto token = m_store.token(m_serverKey);
        if (!token) {
            fail("not paired with " + m_serverKey + " yet: run `vemdo-client pair CODE` with the code it shows");
            return refused;
        }
        Packet request;
        request.kind = Kind::auth;
        request.timestamp = nowMilliseconds();
        request.deviceID = m_deviceId;
        request.token = token;
        std::string error;
        std::string raw;
        if (!m_session.sendPacket(request, error)) {
            fail(error);
            return unreachable;
        }
        const auto reply = m_session.readReply(Kind::auth, raw, error);
        if (!reply) {
            fail(error);
            return unreachable;
        }
        if (!quiet || reply->success != true) {
            print(*reply, raw);
        }
        return reply->success == true ? ok : refused;
    }

    void print(const Packet& reply, const std::string& raw) {
        if (m_options.json) {
            std::cout << raw << std::endl;
        } else {
            std::cout << rawValue(reply.kind) << (reply.success == true ? " success: " : " failure: ")
                      << reply.message.value_or("") << std::endl;
        }
        if (reply.success != true) {
            fail(reply.message.value_or("refused"));
        }
    }

    const Options& m_options;
    ClientStore& m_store;
    std::string m_serverKey;
    std::string m_deviceId;
    Session m_session;
};

int runScript(Client& client) {
    int worst = ok;
    std::string line;
    int number = 0;
    while (std::getline(std::cin, line)) {
        ++number;
        auto parsed = parseScriptLine(line);
        if (auto* error = std::get_if<std::string>(&parsed)) {
            fail("line " + std::to_string(number) + ": " + *error);
            worst = std::max(worst, static_cast<int>(usageError));
            continue;
        }
        const auto& command = std::get<std::optional<Command>>(parsed);
        if (!command) {
            continue;
        }
        const int result = client.run(*command);
        if (result == unreachable) {
            return unreachable;
        }
        worst = std::max(worst, result);
    }
    if (client.sync() != ok) {
        return unreachable;
    }
    return worst;
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto parsed = parseOptions(args);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        fail(*error);
        return usageError;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::cout << helpText();
        return ok;
    }

    // Every address under which the chosen server was found: a server that just restarted can still
    // be listed under its old port for a moment, so we try them in turn.
    std::vector<FoundServer> candidates;
    if (options.host) {
        // --name lets a user who mixes browsing and --host keep one pairing per server.
        candidates.push_back({options.serviceName.value_or(*options.host), *options.host, *options.port, false});
    } else {
        std::vector<FoundServer> found;
        std::string error;
        if (!discoverServers(options.serviceName.value_or(""), options.timeoutSeconds, found, error)) {
            fail(error);
            return unreachable;
        }
        if (options.command.verb == Verb::discover) {
            for (const auto& server : found) {
                std::cout << server.name << '\t' << server.address << '\t' << server.port << '\n';
            }
            if (found.empty()) {
                fail("no Vemdo Trackpad server found on the local network");
                return unreachable;
            }
            return ok;
        }
        if (found.empty() || (options.serviceName && std::none_of(found.begin(), found.end(), [&](const auto& s) {
                                  return s.name == *options.serviceName;
                              }))) {
            fail(options.serviceName ? "no server named \"" + *options.serviceName + "\" found"
                                     : std::string("no Vemdo Trackpad server found on the local network"));
            return unreachable;
        }
        const std::string name = options.serviceName.value_or(found.front().name);
        std::copy_if(found.begin(), found.end(), std::back_inserter(candidates),
                     [&](const FoundServer& s) { return s.name == name; });
    }
    if (options.command.verb == Verb::discover) {
        fail("discover browses the network; leave out --host and --port");
        return usageError;
    }

    ClientStore store(ClientStore::defaultPath());
    std::string error;
    std::string deviceId = options.deviceId.value_or("");
    if (deviceId.empty()) {
        deviceId = store.deviceId(error);
        if (deviceId.empty()) {
            fail(error);
            return unreachable;
        }
    }

    Client client(options, store, candidates.front().name, deviceId);
    auto connectToAny = [&] {
        return std::any_of(candidates.begin(), candidates.end(),
                           [&](const FoundServer& s) { return client.session().connect(s.address, s.port, error); });
    };
    bool connected = connectToAny();
    // What we browsed may all be stale (a server restarting on a new port): browse again until the
    // timeout rather than give up on the first refusal.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    while (!connected && !options.host && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<FoundServer> found;
        std::string browseError;
        if (!discoverServers(client.serverKey(), 1.0, found, browseError)) {
            break;
        }
        candidates.clear();
        std::copy_if(found.begin(), found.end(), std::back_inserter(candidates),
                     [&](const FoundServer& s) { return s.name == client.serverKey(); });
        connected = connectToAny();
    }
    if (!connected) {
        fail(error);
        return unreachable;
    }
    const Verb verb = options.command.verb;
    if (verb == Verb::script) {
        return runScript(client);
    }
    if (verb == Verb::pair || verb == Verb::auth || verb == Verb::sync || verb == Verb::sleep) {
        return client.run(options.command);
    }
    // A fresh connection is not authenticated: do what the phone does before its first input.
    Command auth;
    auth.verb = Verb::auth;
    if (const int result = client.run(auth, true); result != ok) {
        return result;
    }
    if (const int result = client.run(options.command); result != ok) {
        return result;
    }
    return client.sync();
}

} // namespace
} // namespace vemdo::client

int main(int argc, char** argv) {
    return vemdo::client::main(argc, argv);
}

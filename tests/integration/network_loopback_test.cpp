// SPDX-License-Identifier: MIT
// The transport over real loopback sockets: the Qt network platform on its own thread, the real security
// rules over an in-memory store, and an input backend that only records what arrives. This is also where
// the sanitizer run sees the two threads meet.
#include "injection/cg_event_injector.h"
#include "injection/monotonic_clock.h"
#include "platform/qt_network.h"
#include "platform/qt_task_queue.h"
#include "platform/system_clock.h"
#include "security/security_manager.h"
#include "support/fakes.h"
#include "transport/string_table.h"
#include "transport/transport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

namespace vemdo::testing {
namespace {

using namespace std::chrono_literals;

// Posted from the transport thread, read from the test thread. Like a display, it reports the pointer
// where the last move left it, so a slow (sanitized) run that lets the injector re-read it changes nothing.
class LockedBackend final : public InputBackend {
public:
    bool isTrusted() const override { return true; }
    std::vector<Rect> screenFrames() const override { return {{0, 0, 4000, 4000}}; }
    std::optional<Point> pointerLocation() const override {
        std::lock_guard lock(m_mutex);
        return m_positions.empty() ? Point{1000, 1000} : m_positions.back();
    }
    bool postMouse(const MouseEvent& event) override {
        std::lock_guard lock(m_mutex);
        m_positions.push_back(event.position);
        return true;
    }
    bool postScroll(const ScrollEvent&) override { return true; }
    bool postKey(const KeyEvent&) override { return true; }
    std::vector<Point> positions() const {
        std::lock_guard lock(m_mutex);
        return m_positions;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Point> m_positions;
};

// Processes the main thread's events until the condition holds or the bound passes.
template <typename Condition> bool waitFor(Condition condition, std::chrono::milliseconds bound = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// A loopback socket address of either family; sourceAddress picks one of loopback's many IPv4 addresses,
// so one test can play several hosts.
struct Endpoint {
    sockaddr_storage storage{};
    socklen_t length = 0;
    Endpoint(int family, const char* address, std::uint16_t port) {
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&storage);
            in->sin_family = AF_INET;
            in->sin_port = htons(port);
            ::inet_pton(AF_INET, address, &in->sin_addr);
            length = sizeof(sockaddr_in);
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            ::inet_pton(AF_INET6, address, &in6->sin6_addr);
            length = sizeof(sockaddr_in6);
        }
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

class Socket {
public:
    Socket(int family, int type, const char* source = nullptr) : m_fd(::socket(family, type, 0)) {
        timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const int noDelay = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        if (source) {
            Endpoint from(family, source, 0);
            ::bind(m_fd, from.get(), from.length);
        }
    }
    ~Socket() { close(); }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool connect(const Endpoint& to) { return ::connect(m_fd, to.get(), to.length) == 0; }
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }
    void sendMove(float dx, float dy, const Endpoint& to) {
        const auto bytes = datagram(1, dx, dy);
        ::sendto(m_fd, bytes.data(), bytes.size(), 0, to.get(), to.length);
    }
    // The next reply line without its line feed, or nothing when the server closed or stayed silent.
    std::optional<std::string> readLine() {
        for (std::size_t feed; (feed = m_buffer.find('\n')) == std::string::npos;) {
            char chunk[4096];
            const ssize_t count = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (count <= 0)
                return std::nullopt;
            m_buffer.append(chunk, static_cast<std::size_t>(count));
        }
        std::string line = m_buffer.substr(0, m_buffer.find('\n'));
        m_buffer.erase(0, line.size() + 1);
        return line;
    }
    // True when the server ended the stream within the receive timeout, whatever it sent before.
    bool closedByServer() {
        char chunk[4096];
        for (ssize_t count; (count = ::recv(m_fd, chunk, sizeof chunk, 0)) != 0;) {
            if (count < 0)
                return errno == ECONNRESET;
        }
        return true;
    }

private:
    int m_fd;
    std::string m_buffer;
};

class NetworkLoopbackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "network_loopback_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    NetworkLoopbackTest() {
        transport.start();
        EXPECT_TRUE(waitFor([&] { return transport.isListening() && transport.listeningPort(); }));
        port = transport.listeningPort().value_or(0);
    }

    ~NetworkLoopbackTest() override {
        // Stop the transport thread before the objects its tasks use go away.
        queue.reset();
        // Publications already queued for the main thread refer to this transport: run them while it exists.
        QCoreApplication::processEvents();
    }

    Endpoint server(int family = AF_INET) const { return {family, family == AF_INET ? "127.0.0.1" : "::1", port}; }

    // A phone on its own connection, paired and authenticated.
    std::unique_ptr<Socket> phone(const std::string& device, int family = AF_INET) {
        auto socket = std::make_unique<Socket>(family, SOCK_STREAM);
        EXPECT_TRUE(socket->connect(server(family)));
        socket->send(pairLine(device, *security.currentPairingCode()));
        auto paired = Packet::decodeJson(socket->readLine().value_or(""));
        EXPECT_TRUE(paired && paired->token);
        socket->send(authLine(device, paired && paired->token ? *paired->token : ""));
        auto authenticated = Packet::decodeJson(socket->readLine().value_or(""));
        EXPECT_TRUE(authenticated && authenticated->success == true);
        return socket;
    }

    bool arrived(std::vector<Point> expected) {
        waitFor([&] { return backend.positions().size() >= expected.size(); });
        return backend.positions() == expected;
    }

    MemoryDefaultsStore store;
    SystemClock clock;
    ScriptedRandomSource random{{3, 141, 59, 26, 53, 58, 97, 93, 238, 46, 26, 43, 38, 32, 79, 50}};
    SecurityManager security{store, clock, random};
    LockedBackend backend;
    SteadyMonotonicClock monotonic;
    FakeStrings strings;
    std::optional<platform::QtThreadQueue> queue{std::in_place, "com.vemdo.listener"};
    platform::QtNetworkPlatform network{*queue};
    platform::QtTaskQueue mainQueue{QCoreApplication::instance()};
    CGEventInjector injector{backend, monotonic};
    Transport transport{{security, injector, network, mainQueue, clock, strings, 0}};
    std::uint16_t port = 0;
};

TEST_F(NetworkLoopbackTest, PhonesMoveOverTcpAndDatagramsOnlyFromAuthenticatedHosts) {
    Socket early(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(early.connect(server()));
    early.send(line("move", R"("dx":1,"dy":1)"));
    auto v4 = phone("v4-phone");
    // Messages cut into 7-byte pieces split characters between receives; none may be lost.
    std::string stream;
    for (int i = 0; i < 20; ++i)
        stream += R"({"kind":"move","dx":1,"dy":0,"timestamp":3,"text":"ş😀"})"
                  "\n";
    for (std::size_t at = 0; at < stream.size(); at += 7)
        v4->send(std::string_view(stream).substr(at, 7));
    std::vector<Point> expected;
    for (int i = 1; i <= 20; ++i)
        expected.push_back({1000.0 + 2 * i, 1000});
    ASSERT_TRUE(arrived(expected)) << "the unauthenticated move must not arrive, every later one must";

    // A datagram from a host without an authenticated connection, then one from the phone's host to the
    // same server socket: once the second has arrived, the first has had its turn.
    Socket stranger(AF_INET, SOCK_DGRAM, "127.0.0.2"), known(AF_INET, SOCK_DGRAM);
    stranger.sendMove(50, 50, server());
    known.sendMove(-5, 0, server());
    expected.push_back({1030, 1000});
    ASSERT_TRUE(arrived(expected));

    // Once the phone's connection has gone its host is a stranger too; the marker now comes over IPv6.
    auto v6 = phone("v6-phone", AF_INET6);
    v4.reset();
    early.close();
    ASSERT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }));
    Socket knownV6(AF_INET6, SOCK_DGRAM);
    known.sendMove(50, 50, server());
    knownV6.sendMove(0, 5, server(AF_INET6));
    expected.push_back({1030, 1010});
    EXPECT_TRUE(arrived(expected));
}

TEST_F(NetworkLoopbackTest, EndlessLinesAndIdleFloodsAreCutOffWithoutHurtingAPhone) {
    auto steady = phone("steady-phone");
    Socket endless(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(endless.connect(server()));
    endless.send(std::string(LineFramer::maxPendingBytes + 10, 'x'));
    EXPECT_TRUE(endless.closedByServer());

    std::vector<std::unique_ptr<Socket>> idle;
    for (std::size_t i = 0; i < Transport::maxUnauthenticatedConnections + 8; ++i) {
        idle.push_back(std::make_unique<Socket>(AF_INET, SOCK_STREAM));
        ASSERT_TRUE(idle.back()->connect(server()));
    }
    const int kept = int(Transport::maxUnauthenticatedConnections) + 1;
    EXPECT_TRUE(waitFor([&] { return transport.connectedClients() == kept; })) << transport.connectedClients();
    EXPECT_TRUE(idle.front()->closedByServer()) << "the oldest idle connection is the one closed";

    steady->send(line("move", R"("dx":1,"dy":0)"));
    EXPECT_TRUE(arrived({{1002, 1000}}));
}

} // namespace
} // namespace vemdo::testing

// SPDX-License-Identifier: MIT
// The transport over real loopback sockets: the Qt network platform on its own thread, the real security
// rules over an in-memory store, and an input backend that only counts what arrives.
#include "injection/cg_event_injector.h"
#include "injection/monotonic_clock.h"
#include "platform/qt_network.h"
#include "platform/qt_task_queue.h"
#include "platform/system_clock.h"
#include "security/security_manager.h"
#include "support/security_fakes.h"
#include "transport/string_table.h"
#include "transport/transport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace vemdo::testing {
namespace {

using namespace std::chrono_literals;

// Posted from the transport thread, read from the test thread.
class CountingBackend final : public InputBackend {
public:
    bool isTrusted() const override { return true; }
    std::vector<Rect> screenFrames() const override { return {{0, 0, 4000, 4000}}; }
    std::optional<Point> pointerLocation() const override { return Point{1000, 1000}; }
    bool postMouse(const MouseEvent& event) override {
        std::lock_guard lock(m_mutex);
        m_mouse.push_back(event);
        return true;
    }
    bool postScroll(const ScrollEvent&) override { return true; }
    bool postKey(const KeyEvent&) override { return true; }
    std::vector<MouseEvent> mouse() const {
        std::lock_guard lock(m_mutex);
        return m_mouse;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<MouseEvent> m_mouse;
};

class DefaultStrings final : public StringTable {
public:
    std::string text(std::string_view, std::string_view defaultText) const override { return std::string(defaultText); }
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

// A phone's side: a blocking socket with a receive timeout, reading replies line by line.
class Client {
public:
    Client(int family, std::uint16_t port) : m_fd(::socket(family, SOCK_STREAM, 0)) {
        timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (family == AF_INET) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        } else {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = htons(port);
            address.sin6_addr = in6addr_loopback;
            m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        }
    }
    ~Client() { close(); }
    bool connected() const { return m_connected; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }
    // The next reply line without its line feed, or nothing when the server closed or stayed silent.
    std::optional<std::string> readLine() {
        while (true) {
            if (auto feed = m_buffer.find('\n'); feed != std::string::npos) {
                std::string line = m_buffer.substr(0, feed);
                m_buffer.erase(0, feed + 1);
                return line;
            }
            char chunk[4096];
            const ssize_t count = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (count <= 0)
                return std::nullopt;
            m_buffer.append(chunk, static_cast<std::size_t>(count));
        }
    }
    // True when the server closed the connection (end of stream) within the receive timeout.
    bool closedByServer() {
        char chunk[4096];
        while (true) {
            const ssize_t count = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (count == 0)
                return true;
            if (count < 0)
                return errno == ECONNRESET;
        }
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
    bool m_connected = false;
    std::string m_buffer;
};

void sendDatagram(std::uint16_t port, float dx, float dy) {
    std::uint8_t bytes[13] = {1};
    std::memcpy(bytes + 1, &dx, 4);
    std::memcpy(bytes + 5, &dy, 4);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(fd);
}

class NetworkLoopbackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "network_loopback_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    NetworkLoopbackTest()
        : mainQueue(QCoreApplication::instance()), injector(backend, monotonic), transport(Transport::Dependencies{
                                                                                     .security = security,
                                                                                     .injector = injector,
                                                                                     .network = network,
                                                                                     .mainQueue = mainQueue,
                                                                                     .clock = clock,
                                                                                     .strings = strings,
                                                                                     .requestedPort = 0,
                                                                                 }) {
        transport.start();
        EXPECT_TRUE(waitFor([&] { return transport.isListening() && transport.listeningPort(); }));
        port = transport.listeningPort().value_or(0);
        code = *security.currentPairingCode();
    }

    ~NetworkLoopbackTest() override {
        // Stop the transport thread before the objects its tasks use go away.
        queue.reset();
        // Publications already queued for the main thread refer to this transport: run them while it exists.
        QCoreApplication::processEvents();
    }

    std::string pairAndAuthenticate(Client& phone, const std::string& device) {
        phone.send(R"({"kind":"pairRequest","timestamp":1,"deviceID":")" + device + R"(","pairingCode":")" + code +
                   "\"}\n");
        auto paired = Packet::decodeJson(phone.readLine().value_or(""));
        EXPECT_TRUE(paired && paired->token);
        const std::string token = paired && paired->token ? *paired->token : "";
        phone.send(R"({"kind":"auth","timestamp":1,"deviceID":")" + device + R"(","token":")" + token + "\"}\n");
        auto authenticated = Packet::decodeJson(phone.readLine().value_or(""));
        EXPECT_TRUE(authenticated && authenticated->success == true);
        return token;
    }

    MemoryDefaultsStore store;
    SystemClock clock;
    ScriptedRandomSource random{{3, 141, 59, 26, 53, 58, 97, 93, 238, 46, 26, 43, 38, 32, 79, 50}};
    SecurityManager security{store, clock, random};
    CountingBackend backend;
    SteadyMonotonicClock monotonic;
    DefaultStrings strings;
    std::optional<platform::QtThreadQueue> queue{std::in_place, "com.vemdo.listener"};
    platform::QtNetworkPlatform network{*queue};
    platform::QtTaskQueue mainQueue;
    CGEventInjector injector;
    Transport transport;
    std::uint16_t port = 0;
    std::string code;
};

TEST_F(NetworkLoopbackTest, PairAuthenticateAndMoveOverTcpAndUdp) {
    ASSERT_NE(port, 0);
    Client phone(AF_INET, port);
    ASSERT_TRUE(phone.connected());

    phone.send(R"({"kind":"move","dx":1,"dy":1,"timestamp":1})"
               "\n");
    pairAndAuthenticate(phone, "loopback-phone");
    // The move before authentication was dropped: only moves sent from now on arrive.
    EXPECT_TRUE(backend.mouse().empty());

    phone.send(R"({"kind":"move","dx":10,"dy":5,"timestamp":2})"
               "\n");
    ASSERT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
    EXPECT_EQ(backend.mouse().back().position, (Point{1020, 1010}));

    sendDatagram(port, -5, 0);
    ASSERT_TRUE(waitFor([&] { return backend.mouse().size() == 2; }));
    EXPECT_EQ(backend.mouse().back().position, (Point{1010, 1010}));
    EXPECT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }));
}

TEST_F(NetworkLoopbackTest, DatagramsWithoutAnAuthenticatedConnectionAreDropped) {
    sendDatagram(port, 7, 7);
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "late-phone");
    phone.close();
    ASSERT_TRUE(waitFor([&] { return transport.connectedClients() == 0; }));
    sendDatagram(port, 7, 7);
    // A marker that is accepted shows that the earlier datagrams had their chance to arrive.
    Client again(AF_INET6, port);
    ASSERT_TRUE(again.connected());
    pairAndAuthenticate(again, "late-phone-v6");
    again.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    ASSERT_TRUE(waitFor([&] { return !backend.mouse().empty(); }));
    EXPECT_EQ(backend.mouse().size(), 1u);
}

TEST_F(NetworkLoopbackTest, MessagesCutAnywhereAreAllDelivered) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "slow-phone");
    std::string stream;
    for (int i = 0; i < 50; ++i)
        stream += R"({"kind":"move","dx":1,"dy":0,"timestamp":3,"text":"ş😀"})"
                  "\n";
    // Single bytes with TCP_NODELAY arrive as many separate receives, splitting characters between them.
    const int noDelay = 1;
    ::setsockopt(phone.fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    for (std::size_t at = 0; at < stream.size(); at += 7)
        phone.send(std::string_view(stream).substr(at, 7));
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 50; }));
}

TEST_F(NetworkLoopbackTest, EndlessLineIsCutOffWithoutHurtingOthers) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "steady-phone");
    Client flooder(AF_INET, port);
    flooder.send(std::string(LineFramer::maxPendingBytes + 10, 'x'));
    EXPECT_TRUE(flooder.closedByServer());

    phone.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
}

TEST_F(NetworkLoopbackTest, IdleConnectionFloodCannotLockOutAPhone) {
    Client phone(AF_INET, port);
    pairAndAuthenticate(phone, "flooded-phone");
    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t i = 0; i < Transport::maxUnauthenticatedConnections + 8; ++i)
        idle.push_back(std::make_unique<Client>(AF_INET, port));
    EXPECT_TRUE(waitFor([&] {
        return transport.connectedClients() == static_cast<int>(Transport::maxUnauthenticatedConnections) + 1;
    })) << transport.connectedClients();
    // The oldest idle connections were the ones closed.
    EXPECT_TRUE(idle.front()->closedByServer());

    phone.send(R"({"kind":"move","dx":1,"dy":0,"timestamp":2})"
               "\n");
    EXPECT_TRUE(waitFor([&] { return backend.mouse().size() == 1; }));
}

} // namespace
} // namespace vemdo::testing

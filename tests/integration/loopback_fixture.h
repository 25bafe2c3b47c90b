// SPDX-License-Identifier: MIT
#pragma once

// The transport over real loopback sockets: the Qt network platform on its own thread, the real security
// rules over an in-memory store, and an input backend that only records what arrives.
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
template <typename Condition> inline bool waitFor(Condition condition, std::chrono::milliseconds bound = 5000ms) {
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
    // sourceAddress picks one of loopback's many IPv4 addresses, so one test can play many hosts.
    Client(int family, std::uint16_t port, const char* sourceAddress = nullptr)
        : m_fd(::socket(family, SOCK_STREAM, 0)) {
        timeval timeout{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (family == AF_INET && sourceAddress) {
            sockaddr_in source{};
            source.sin_family = AF_INET;
            ::inet_pton(AF_INET, sourceAddress, &source.sin_addr);
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
        }
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

inline void sendDatagram(std::uint16_t port, float dx, float dy) {
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

} // namespace vemdo::testing

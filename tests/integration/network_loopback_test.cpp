// SPDX-License-Identifier: MIT
// The transport over real loopback sockets: the phone app's listener on its own thread, the real security
// rules over an in-memory store, and an input backend that only records what arrives. This is also where the
// sanitizer run sees the two threads meet. The browser page's listener is met in the real server
// (hostile_test.py, browser_test.py).
#include "injection/input_injector.h"
#include "platform/host/qt_task_queue.h"
#include "platform/host/system_clock.h"
#include "platform/network/phone_listener.h"
#include "security/security_manager.h"
#include "support/fakes.h"
#include "transport/peer_budget.h"
#include "transport/transport.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

namespace vemdo::testing {
namespace {

// Posted from the transport thread, read from the test thread. Like a display, it reports the pointer
// where the last move left it, so a slow (sanitized) run that lets the injector re-read it changes nothing.
class LockedBackend final : public InputBackend {
public:
    bool canPost() const override { return true; }
    std::vector<Rect> screenFrames() const override { return {{0, 0, 4000, 4000}}; }
    std::optional<Point> pointerLocation() const override {
        std::lock_guard lock(m_mutex);
        return m_positions.empty() ? Point{1000, 1000} : m_positions.back();
    }
    bool postMotion(Point position) override {
        std::lock_guard lock(m_mutex);
        m_positions.push_back(position);
        return true;
    }
    bool postButton(const ButtonEvent&) override { return true; }
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

// Runs the main thread's events (the test's sockets and the transport's publications) until the condition
// holds or the bound passes.
template <typename Condition> bool waitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

QByteArray bytes(const std::string& text) {
    return QByteArray(text.data(), qsizetype(text.size()));
}

void sendMove(QUdpSocket& from, const char* to, std::uint16_t port, float dx, float dy) {
    const auto message = moveDatagram(dx, dy);
    from.writeDatagram(reinterpret_cast<const char*>(message.data()), qint64(message.size()),
                       QHostAddress(QString::fromLatin1(to)), port);
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

    std::unique_ptr<QTcpSocket> connection(const char* host = "127.0.0.1") {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress(QString::fromLatin1(host)), port);
        EXPECT_TRUE(waitFor([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
        return socket;
    }

    std::optional<Packet> reply(QTcpSocket& socket) {
        if (!waitFor([&] { return socket.canReadLine(); }))
            return std::nullopt;
        return Packet::decodeJson(socket.readLine().trimmed().toStdString());
    }

    // A phone on its own connection, paired and authenticated.
    std::unique_ptr<QTcpSocket> phone(const std::string& device, const char* host = "127.0.0.1") {
        auto socket = connection(host);
        socket->write(bytes(pairLine(device, *security.currentPairingCode())));
        auto paired = reply(*socket);
        socket->write(bytes(authLine(device, paired && paired->token ? *paired->token : "")));
        EXPECT_EQ(reply(*socket).value_or(Packet{}).success, true);
        return socket;
    }

    bool arrived(const std::vector<Point>& expected) {
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
    PeerBudget budget{256};
    std::optional<platform::QtThreadQueue> queue{std::in_place, "com.vemdo.listener"};
    platform::PhoneListener network{*queue, budget};
    platform::QtTaskQueue mainQueue{QCoreApplication::instance()};
    InputInjector injector{backend, monotonic, *queue};
    Transport transport{{security, injector, network, mainQueue, clock, random, strings, 0}};
    std::uint16_t port = 0;
};

TEST_F(NetworkLoopbackTest, PhonesMoveOverTcpAndDatagramsOnlyFromAuthenticatedHosts) {
    auto v4 = phone("v4-phone");
    v4->write(bytes(line("move", R"("dx":1,"dy":0,"text":"ş😀")")));
    ASSERT_TRUE(arrived({{1002, 1000}}));

    // A datagram from a host without an authenticated connection, then one from the phone's host to the
    // same server socket: once the second has arrived, the first has had its turn.
    QUdpSocket stranger, known, knownV6;
    ASSERT_TRUE(stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    sendMove(stranger, "127.0.0.1", port, 50, 50);
    sendMove(known, "127.0.0.1", port, -5, 0);
    ASSERT_TRUE(arrived({{1002, 1000}, {992, 1000}}));

    // Once the phone's connection has gone its host is a stranger too; the marker now comes over IPv6.
    auto v6 = phone("v6-phone", "::1");
    v4.reset();
    ASSERT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }));
    sendMove(known, "127.0.0.1", port, 50, 50);
    sendMove(knownV6, "::1", port, 0, 5);
    EXPECT_TRUE(arrived({{1002, 1000}, {992, 1000}, {992, 1010}}));
}

} // namespace
} // namespace vemdo::testing

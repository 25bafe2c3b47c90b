// SPDX-License-Identifier: MIT
// The transport over real loopback sockets: the Qt network platform and the browser page's listener on
// its own thread, the real security rules over an in-memory store, and an input backend that only records
// what arrives. This is also where the sanitizer run sees the two threads meet.
#include "injection/input_injector.h"
#include "platform/host/qt_task_queue.h"
#include "platform/host/system_clock.h"
#include "platform/network/phone_listener.h"
#include "platform/network/web_listener.h"
#include "security/security_manager.h"
#include "support/fakes.h"
#include "transport/peer_budget.h"
#include "transport/transport.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QWebSocket>

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
        // The page's listener goes on its own thread, before the context its servers belong to.
        queue->post([this] { web.reset(); });
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

    // The browser page's listener, made and run on the transport thread as in the server.
    void servePage(std::chrono::milliseconds headerTimeout) {
        queue->post([this, headerTimeout] {
            web.emplace(transport, *queue, queue->context(), budget,
                        platform::WebListener::Files{{"/index.html", QByteArrayLiteral("<p>page</p>")}}, headerTimeout);
            web->listen(0);
            webPort = web->port();
        });
        ASSERT_TRUE(waitFor([&] { return webPort != 0; }));
    }

    // Sends the pieces one after another, each read by the listener before the next leaves, and returns all
    // that came back until the listener closed the connection.
    std::string exchange(const std::vector<std::string>& pieces) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, webPort);
        for (const auto& piece : pieces) {
            client.write(bytes(piece));
            EXPECT_TRUE(waitFor([&] { return client.bytesToWrite() == 0; }));
            // Two trips round the transport thread's loop: the first may run before it polls its sockets.
            for (int trip = 0; trip < 2; ++trip) {
                auto done = std::make_shared<std::atomic<bool>>(false);
                queue->post([done] { *done = true; });
                EXPECT_TRUE(waitFor([&] { return done->load(); }));
            }
        }
        std::string received;
        EXPECT_TRUE(waitFor([&] {
            received += client.readAll().toStdString();
            return client.state() == QAbstractSocket::UnconnectedState;
        })) << "the listener did not close the connection";
        return received + client.readAll().toStdString();
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
    InputInjector injector{backend, monotonic};
    Transport transport{{security, injector, network, mainQueue, clock, strings, 0}};
    std::uint16_t port = 0;
    std::optional<platform::WebListener> web;
    std::atomic<std::uint16_t> webPort{0};
};

TEST_F(NetworkLoopbackTest, PhonesMoveOverTcpAndDatagramsOnlyFromAuthenticatedHosts) {
    auto early = connection();
    early->write(bytes(line("move", R"("dx":1,"dy":1)")));
    auto v4 = phone("v4-phone");
    v4->write(bytes(line("move", R"("dx":1,"dy":0,"text":"ş😀")")));
    ASSERT_TRUE(arrived({{1002, 1000}})) << "only the authenticated connection's move arrives";

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
    early.reset();
    ASSERT_TRUE(waitFor([&] { return transport.connectedClients() == 1; }));
    sendMove(known, "127.0.0.1", port, 50, 50);
    sendMove(knownV6, "::1", port, 0, 5);
    EXPECT_TRUE(arrived({{1002, 1000}, {992, 1000}, {992, 1010}}));
}

TEST_F(NetworkLoopbackTest, PageRequestsAreAnsweredOnceTheirHeadIsInAndCutOffWhenLargeOrSlow) {
    servePage(std::chrono::milliseconds(300));
    const std::string host = "Host: 127.0.0.1:" + std::to_string(webPort);
    const std::string head = "GET / HTTP/1.1\r\n" + host + "\r\n\r\n";
    const std::string split = exchange({head.substr(0, 7), head.substr(7, 20), head.substr(27)});
    EXPECT_TRUE(split.starts_with("HTTP/1.1 200 OK\r\n") && split.ends_with("\r\n\r\n<p>page</p>")) << split;
    const std::string headOnly = exchange({"HEAD /index.html HTTP/1.1\r\n" + host + "\r\n\r\n"});
    for (const std::string_view expected : {"Content-Length: 11\r\n", "X-Content-Type-Options: nosniff\r\n",
                                            "Referrer-Policy: no-referrer\r\n", "frame-ancestors 'none'\r\n"})
        EXPECT_NE(headOnly.find(expected), std::string::npos) << expected;
    EXPECT_NE(
        headOnly.find("Content-Security-Policy: default-src 'self'; connect-src 'self' ws://" + host.substr(6) + ";"),
        std::string::npos)
        << headOnly;
    EXPECT_TRUE(headOnly.ends_with("\r\n\r\n")) << headOnly;

    EXPECT_TRUE(exchange({"GET / HTTP/1.1\r\n" + host + "\r\nX: " + std::string(web::maxHeaderBytes, 'x')})
                    .starts_with("HTTP/1.1 431 "));
    EXPECT_TRUE(exchange({"GET / HTTP/1.1\r\n"}).starts_with("HTTP/1.1 408 "));
    EXPECT_TRUE(exchange({"GET / HTTP/1.1\r\nHost: rebound.example:" + std::to_string(webPort) + "\r\n\r\n"})
                    .starts_with("HTTP/1.1 421 "));
}

TEST_F(NetworkLoopbackTest, WebSocketsAreConnectionsOfTheTransportAndOversizedMessagesCloseThem) {
    servePage(platform::WebListener::defaultHeaderTimeout);
    const QString page = QStringLiteral("http://127.0.0.1:%1").arg(webPort.load());
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(webPort.load()));
    QWebSocket phone(page);
    std::vector<std::string> replies;
    QObject::connect(&phone, &QWebSocket::textMessageReceived,
                     [&](const QString& text) { replies.push_back(text.toStdString()); });
    phone.open(url);
    // Counted by the server before the client has read the handshake's answer: both ends must be ready.
    ASSERT_TRUE(
        waitFor([&] { return phone.state() == QAbstractSocket::ConnectedState && transport.connectedClients() == 1; }));

    // One message a frame, line feeds between tokens allowed; replies come one a frame, without a line feed.
    phone.sendTextMessage(QString::fromStdString(R"({"kind":"pairRequest",)"
                                                 "\n"
                                                 R"("timestamp":1,"deviceID":"browser","pairingCode":"000000"})"));
    ASSERT_TRUE(waitFor([&] { return !replies.empty(); }));
    EXPECT_EQ(Packet::decodeJson(replies[0]).value_or(Packet{}).kind, Kind::pairResponse) << replies[0];
    EXPECT_FALSE(replies[0].ends_with('\n'));
    phone.sendTextMessage(QString(qsizetype(platform::WebListener::maxMessageBytes), QLatin1Char('x')));
    phone.sendTextMessage(QString::fromStdString(message("pairRequest")));
    EXPECT_TRUE(waitFor([&] { return replies.size() == 2; })) << "a message of the largest size is still read";

    // Too much closes the connection, whether in one frame or in pieces.
    QWebSocket pieces(page);
    pieces.setOutgoingFrameSize(4096);
    pieces.open(url);
    ASSERT_TRUE(waitFor(
        [&] { return pieces.state() == QAbstractSocket::ConnectedState && transport.connectedClients() == 2; }));
    const QString tooLong(qsizetype(platform::WebListener::maxMessageBytes) + 1, QLatin1Char('x'));
    for (QWebSocket* socket : {&phone, &pieces}) {
        socket->sendTextMessage(tooLong);
        EXPECT_TRUE(waitFor([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_EQ(socket->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    }
    EXPECT_TRUE(waitFor([&] { return transport.connectedClients() == 0; }));
}

} // namespace
} // namespace vemdo::testing

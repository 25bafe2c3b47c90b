// SPDX-License-Identifier: MIT
// The browser page's listener: which request gets which answer, and WebSockets joining the transport as
// connections, over real loopback sockets.
#include "injection/cg_event_injector.h"
#include "platform/qt_task_queue.h"
#include "platform/web/http_request.h"
#include "platform/web/web_listener.h"
#include "security/security_manager.h"
#include "support/fakes.h"
#include "transport/transport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QWebSocket>

#include <gtest/gtest.h>

namespace vemdo::testing {
namespace {

using web::HeadStatus;
using web::Route;

const std::string crlf = "\r\n";

std::string request(std::string_view method, std::string_view target, std::vector<std::string> headers) {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1" + crlf;
    for (const auto& header : headers)
        text += header + crlf;
    return text + crlf;
}

TEST(HttpHead, ReadUntilTheEmptyLineWithinTheBound) {
    const std::string head = request("GET", "/", {"Host: a:1"});
    // The whole head, empty line included, may take maxHeaderBytes and no more.
    const std::string atBound = request("GET", "/", {"Host: a:1", "X: " + std::string(web::maxHeaderBytes - 34, 'x')});
    ASSERT_EQ(atBound.size(), web::maxHeaderBytes);
    const struct {
        std::string bytes;
        HeadStatus status;
    } rows[] = {
        {head, HeadStatus::complete},
        {head.substr(0, head.size() - 2), HeadStatus::incomplete},
        {atBound, HeadStatus::complete},
        {request("GET", "/", {"Host: a:1", "X: " + std::string(web::maxHeaderBytes - 33, 'x')}), HeadStatus::tooLarge},
        {"GET / HTTP/1.1" + crlf + "X: " + std::string(web::maxHeaderBytes, 'y'), HeadStatus::tooLarge},
        {"GET / HTTP/1.1\nHost: a:1\n\n" + crlf + crlf, HeadStatus::malformed},
        {request("GET", "/", {"Host : a:1"}), HeadStatus::malformed},
        {request("GET", "/", {"Host: a:1", " folded"}), HeadStatus::malformed},
        {request("GET", "/", {"Host: a\x01:1"}), HeadStatus::malformed},
        {request("GET", "/", {"NoColon"}), HeadStatus::malformed},
        {"GET / HTTP/2" + crlf + crlf, HeadStatus::malformed},
        {"GET  / HTTP/1.1" + crlf + crlf, HeadStatus::malformed},
    };
    for (const auto& row : rows)
        EXPECT_EQ(web::readRequestHead(row.bytes).status, row.status) << row.bytes.substr(0, 80);
    EXPECT_EQ(web::readRequestHead(rows[2].bytes).request.headers.size(), 2u) << "exactly at the bound";
}

const web::LocalNames names{{"192.168.1.20", "fe80::1%eth0", "::1", "127.0.0.1"}, "desk", 27183};
const std::set<std::string> files{"/index.html", "/page.js"};

Route route(std::string_view method, std::string_view target, std::vector<std::string> headers) {
    return web::routeRequest(web::readRequestHead(request(method, target, std::move(headers))).request, names, files)
        .route;
}

// Another site's page may try any of these hosts (DNS rebinding makes its own name point here); only the
// names of this computer with the listener's port open the WebSocket, and only for a page of that origin.
TEST(HttpRoutes, HostOriginAndPathMatrix) {
    const std::pair<std::string, bool> hosts[] = {
        {"192.168.1.20:27183", true}, {"DESK.local:27183", true},      {"desk:27183", true},
        {"localhost:27183", true},    {"[::1]:27183", true},           {"[0:0::1]:27183", true},
        {"[fe80::1]:27183", true},    {"evil.example:27183", false},   {"192.168.1.20:8080", false},
        {"192.168.1.20", false},      {"10.0.0.9:27183", false},       {"desk.evil.example:27183", false},
        {"::1:27183", false},         {"[192.168.1.20]:27183", false},
    };
    for (const auto& [host, local] : hosts) {
        const std::pair<std::string, bool> origins[] = {
            {"http://" + host, true}, {"https://" + host, false}, {"http://evil.example", false}, {"null", false}};
        for (const auto& [origin, same] : origins) {
            const std::vector<std::string> headers{"Host: " + host, "Origin: " + origin, "Upgrade: websocket",
                                                   "Connection: Upgrade"};
            const std::string where = host + " from " + origin;
            EXPECT_EQ(route("GET", "/ws", headers), !local ? Route::misdirected
                                                    : same ? Route::upgrade
                                                           : Route::forbidden)
                << where;
            EXPECT_EQ(route("GET", "/", headers), local ? Route::serveFile : Route::misdirected) << where;
            EXPECT_EQ(route("GET", "/missing", headers), local ? Route::notFound : Route::misdirected) << where;
        }
        EXPECT_EQ(route("GET", "/ws", {"Host: " + host, "Upgrade: websocket"}),
                  local ? Route::forbidden : Route::misdirected)
            << host << " without Origin";
    }
}

TEST(HttpRoutes, MethodsAndPaths) {
    const std::string host = "Host: 192.168.1.20:27183";
    const std::string origin = "Origin: http://192.168.1.20:27183";
    const struct {
        std::string method, target;
        std::vector<std::string> headers;
        Route route;
    } rows[] = {
        {"GET", "/", {host}, Route::serveFile},
        {"HEAD", "/page.js", {host}, Route::serveFile},
        {"GET", "/page.js?v=2", {host}, Route::serveFile},
        {"POST", "/", {host}, Route::notAllowed},
        {"OPTIONS", "/page.js", {host}, Route::notAllowed},
        {"POST", "/ws", {host, origin, "Upgrade: websocket"}, Route::notAllowed},
        {"GET", "/ws", {host, origin}, Route::needsUpgrade},
        {"GET", "/%2e%2e/etc/passwd", {host}, Route::notFound},
        {"GET", "/index.html/", {host}, Route::notFound},
        {"GET", "http://192.168.1.20:27183/", {host}, Route::badRequest},
        {"GET", "/", {}, Route::badRequest},
        {"GET", "/", {host, host}, Route::badRequest},
    };
    for (const auto& row : rows)
        EXPECT_EQ(route(row.method, row.target, row.headers), row.route) << row.method << " " << row.target;
}

TEST(HttpResponses, CarryThePagesSecurityHeaders) {
    const std::string response =
        web::httpResponse(Route::serveFile, "text/html; charset=utf-8", "<p>hi</p>", false, "192.168.1.20:27183");
    for (const std::string_view expected :
         {"HTTP/1.1 200 OK\r\n", "Content-Length: 9\r\n", "X-Content-Type-Options: nosniff\r\n",
          "Referrer-Policy: no-referrer\r\n", "Connection: close\r\n",
          "Content-Security-Policy: default-src 'self'; connect-src 'self' ws://192.168.1.20:27183; "
          "frame-ancestors 'none'\r\n"})
        EXPECT_NE(response.find(expected), std::string::npos) << expected;
    EXPECT_TRUE(response.ends_with("\r\n\r\n")) << "a HEAD answer has no body";
    EXPECT_NE(web::httpResponse(Route::notAllowed, "", "", true).find("Allow: GET, HEAD\r\n"), std::string::npos);
}

// The real listener on loopback, in front of a real transport over the shared fakes.
class WebListenerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "unit_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
    }

    void SetUp() override {
        ASSERT_EQ(listener.listen(0), std::nullopt);
        port = listener.port();
    }

    // Runs the event loop until the condition holds, at most five seconds.
    template <typename Condition> bool spin(Condition condition) {
        QElapsedTimer waited;
        waited.start();
        while (!condition()) {
            if (waited.elapsed() > 5000)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }

    // Sends the pieces one after another (the server sees each before the next) and returns everything
    // the server wrote until it closed the connection.
    std::string exchange(std::vector<std::string> pieces) {
        QTcpSocket client;
        client.connectToHost(QStringLiteral("127.0.0.1"), port);
        EXPECT_TRUE(spin([&] { return client.state() == QAbstractSocket::ConnectedState; }));
        std::string received;
        for (const auto& piece : pieces) {
            client.write(piece.data(), static_cast<qint64>(piece.size()));
            EXPECT_TRUE(spin([&] { return client.bytesToWrite() == 0; }));
            // Until the head is whole, the server keeps quiet and the connection open.
            for (int i = 0; i < 5; ++i)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (&piece != &pieces.back()) {
                EXPECT_EQ(client.bytesAvailable(), 0) << "answered before the head was complete";
            }
        }
        EXPECT_TRUE(spin([&] {
            received += client.readAll().toStdString();
            return client.state() == QAbstractSocket::UnconnectedState;
        })) << "the server did not close the connection";
        return received + client.readAll().toStdString();
    }

    int connected() {
        mainQueue.runDue();
        return transport.connectedClients();
    }

    MemoryDefaultsStore store;
    FakeClock clock;
    ScriptedRandomSource random{{3, 141, 59, 26, 5}};
    SecurityManager security{store, clock, random};
    RecordingInputBackend backend;
    CGEventInjector injector{backend, clock};
    FakeNetwork network;
    ManualTaskQueue mainQueue;
    FakeStrings strings;
    Transport transport{{security, injector, network, mainQueue, clock, strings, 0}};
    platform::QtTaskQueue queue{QCoreApplication::instance()};
    QObject context;
    platform::WebListener listener{transport,
                                   queue,
                                   &context,
                                   {{"/index.html", QByteArrayLiteral("<p>page</p>")}},
                                   std::chrono::milliseconds(300)};
    std::uint16_t port = 0;
};

TEST_F(WebListenerTest, AnswersWholeHeadsOnceTheyAreInAndCutsOffLargeOrSlowOnes) {
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port);
    const std::string head = request("GET", "/", {host});
    const std::string split = exchange({head.substr(0, 7), head.substr(7, 20), head.substr(27)});
    EXPECT_TRUE(split.starts_with("HTTP/1.1 200 OK\r\n")) << split;
    EXPECT_TRUE(split.ends_with("\r\n\r\n<p>page</p>")) << split;
    const std::string headOnly = exchange({request("HEAD", "/index.html", {host})});
    EXPECT_NE(headOnly.find("Content-Length: 11\r\n"), std::string::npos) << headOnly;
    EXPECT_TRUE(headOnly.ends_with("\r\n\r\n")) << headOnly;

    EXPECT_TRUE(exchange({"GET / HTTP/1.1\r\n" + host + "\r\nX: " + std::string(web::maxHeaderBytes, 'x')})
                    .starts_with("HTTP/1.1 431 "));
    EXPECT_TRUE(exchange({"GET / HTTP/1.1\r\n"}).starts_with("HTTP/1.1 408 "));
    EXPECT_TRUE(exchange({request("GET", "/", {"Host: rebound.example:" + std::to_string(port)})})
                    .starts_with("HTTP/1.1 421 "));
    EXPECT_EQ(connected(), 0) << "plain requests are not connections of the transport";
}

TEST_F(WebListenerTest, WebSocketsAreTransportConnectionsAndOversizedFramesCloseThem) {
    const QString page = QStringLiteral("http://127.0.0.1:%1").arg(port);
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port));

    QWebSocket stranger(QStringLiteral("http://evil.example"));
    bool strangerOpened = false;
    QObject::connect(&stranger, &QWebSocket::connected, [&] { strangerOpened = true; });
    stranger.open(url);
    EXPECT_TRUE(spin([&] { return stranger.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_FALSE(strangerOpened);

    QWebSocket phone(page);
    std::vector<std::string> replies;
    QObject::connect(&phone, &QWebSocket::textMessageReceived,
                     [&](const QString& text) { replies.push_back(text.toStdString()); });
    phone.open(url);
    ASSERT_TRUE(spin([&] { return phone.state() == QAbstractSocket::ConnectedState; }));
    EXPECT_TRUE(spin([&] { return connected() == 1; }));

    // One message a frame, line feeds between tokens allowed; replies come one a frame, without a line feed.
    phone.sendTextMessage(QString::fromStdString(R"({"kind":"pairRequest",)"
                                                 "\n"
                                                 R"("timestamp":1,"deviceID":"browser","pairingCode":")" +
                                                 *security.currentPairingCode() + "\"}"));
    ASSERT_TRUE(spin([&] { return !replies.empty(); }));
    const auto reply = Packet::decodeJson(replies[0]);
    ASSERT_TRUE(reply) << replies[0];
    EXPECT_EQ(reply->success, true);
    EXPECT_FALSE(replies[0].ends_with('\n'));
    phone.sendTextMessage(QString::fromStdString(
        message("auth", R"("deviceID":"browser","token":")" + reply->token.value_or("") + "\"")));
    phone.sendTextMessage(QString::fromStdString(message("click", R"("button":1)")));
    ASSERT_TRUE(spin([&] { return replies.size() == 2 && !backend.records().empty(); }));
    EXPECT_EQ(Packet::decodeJson(replies[1])->success, true);

    phone.sendTextMessage(QString(static_cast<qsizetype>(platform::WebListener::maxMessageBytes), QLatin1Char('x')));
    phone.sendTextMessage(QString::fromStdString(message("pairRequest")));
    EXPECT_TRUE(spin([&] { return replies.size() == 3; })) << "a message of the largest size is still read";
    // Too much closes the connection, whether in one frame or in pieces.
    QWebSocket pieces(page);
    pieces.setOutgoingFrameSize(4096);
    pieces.open(url);
    ASSERT_TRUE(spin([&] { return pieces.state() == QAbstractSocket::ConnectedState && connected() == 2; }));
    const QString tooLong(static_cast<qsizetype>(platform::WebListener::maxMessageBytes) + 1, QLatin1Char('x'));
    for (QWebSocket* socket : {&phone, &pieces}) {
        socket->sendTextMessage(tooLong);
        EXPECT_TRUE(spin([&] { return socket->state() == QAbstractSocket::UnconnectedState; }));
        EXPECT_EQ(socket->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    }
    EXPECT_TRUE(spin([&] { return connected() == 0; }));
}

} // namespace
} // namespace vemdo::testing

// SPDX-License-Identifier: MIT
#include "platform/network/web_listener.h"

#include "platform/network/sockets.h"
#include "transport/task_queue.h"
#include "transport/transport.h"

#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <memory>

#include <unistd.h>

namespace vemdo::platform {

// One connection to the page's port: a request being read, an answer being written, or a WebSocket. It holds
// a place in the peer budget until its descriptor is closed, and the budget may abort it at any time.
//
// Once it carries a WebSocket every write is watched, not only the replies: the WebSocket layer answers
// pings and closes by itself. When what waits unsent would pass maxUnsentBytes, or a ping comes beyond the
// allowed rate, nothing more is queued and the socket is aborted as soon as control is back in the event
// loop (an abort from inside the WebSocket layer's own write would leave it writing to a closed device).
class PageSocket final : public QTcpSocket {
public:
    PageSocket(QObject* parent, PeerBudget& budget) : QTcpSocket(parent), m_budget(budget) {}
    ~PageSocket() override {
        // Closed here, while the handlers of its end still see the whole object.
        abort();
        m_budget.release(m_ticket);
    }

    // Takes over an accepted descriptor, or closes it when it cannot.
    bool take(int fd, std::string_view source) {
        if (!setSocketDescriptor(fd)) {
            ::close(fd);
            return false;
        }
        m_ticket = m_budget.add(source, [this] { abort(); });
        QObject::connect(this, &QAbstractSocket::disconnected, this, [this] { m_budget.release(m_ticket); });
        return true;
    }

    void watchWrites() { m_watched = true; }

    // Its place among the requests still being read, while it has one.
    std::optional<PeerBudget::Ticket> pending;

protected:
    qint64 writeData(const char* data, qint64 size) override {
        if (m_cutOff)
            return size;
        if (m_watched &&
            ((isPong(data, size) && !pingAllowed()) || bytesToWrite() + size > static_cast<qint64>(maxUnsentBytes))) {
            m_cutOff = true;
            QMetaObject::invokeMethod(
                this, [this] { abort(); }, Qt::QueuedConnection);
            return size;
        }
        return QTcpSocket::writeData(data, size);
    }

private:
    // The frame answering a ping: its header is written alone (or with the payload), never as part of a reply.
    static bool isPong(const char* data, qint64 size) {
        return size >= 2 && static_cast<unsigned char>(data[0]) == 0x8A && (size == 2 || size == 2 + (data[1] & 0x7F));
    }

    bool pingAllowed() {
        const auto now = std::chrono::steady_clock::now();
        const double refill = std::chrono::duration<double>(now - m_lastPing).count() * WebListener::pingsPerSecond;
        m_pings = std::min(WebListener::pingBurst, m_pings + refill);
        m_lastPing = now;
        if (m_pings < 1)
            return false;
        m_pings -= 1;
        return true;
    }

    PeerBudget& m_budget;
    PeerBudget::Ticket m_ticket = 0;
    bool m_watched = false;
    bool m_cutOff = false;
    double m_pings = WebListener::pingBurst;
    std::chrono::steady_clock::time_point m_lastPing = std::chrono::steady_clock::now();
};

namespace {

// What a WebSocket reads from its socket at a time: whole frames of the largest size fit.
constexpr qint64 webSocketReadBytes = 4 * WebListener::maxMessageBytes;

std::string_view view(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

template <typename Socket> void abortAfterGrace(FixedDelay& grace, Socket* socket) {
    grace.after(socket, [socket] { socket->abort(); });
}

std::string peerKey(const QAbstractSocket& socket) {
    return socket.peerAddress().toString().toStdString() + " " + std::to_string(socket.peerPort());
}

std::string peerKey(const QWebSocket& socket) {
    return socket.peerAddress().toString().toStdString() + " " + std::to_string(socket.peerPort());
}

// A WebSocket as one more connection of the transport: whatever it sends goes out as one binary message.
class WebSocketConnection final : public Connection {
public:
    WebSocketConnection(QWebSocket* socket, TaskQueue& queue, FixedDelay& grace, std::vector<std::string> binding)
        : m_id(newConnectionId()), m_socket(socket), m_queue(queue), m_grace(&grace),
          m_address(socket->peerAddress().toString().toStdString()), m_binding(std::move(binding)) {}

    ConnectionId id() const override { return m_id; }
    std::string remoteAddress() const override { return m_address; }
    ConnectionKind kind() const override { return ConnectionKind::browserPage; }
    std::vector<std::string> channelBinding() const override { return m_binding; }

    void send(std::string_view bytes) override {
        if (QWebSocket* socket = m_socket.data(); socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->sendBinaryMessage(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    }

    std::size_t unsentBytes() const override {
        const QWebSocket* socket = m_socket.data();
        return socket ? static_cast<std::size_t>(socket->bytesToWrite()) : 0;
    }

    void cancel() override { refuse(QWebSocketProtocol::CloseCodePolicyViolated, {}); }

    void refuse(std::uint16_t code, std::string_view reason) override {
        // The end must be reported after this call returns, so the close runs as a later task.
        m_queue.post([socket = m_socket, grace = m_grace, code, reason = QString::fromUtf8(reason)] {
            if (!socket || !grace)
                return;
            socket->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
            abortAfterGrace(*grace, socket.data());
        });
    }

private:
    const ConnectionId m_id;
    QPointer<QWebSocket> m_socket;
    TaskQueue& m_queue;
    QPointer<FixedDelay> m_grace;
    const std::string m_address;
    const std::vector<std::string> m_binding;
};

} // namespace

WebListener::WebListener(NetworkEvents& events, TaskQueue& queue, QObject* context, PeerBudget& budget, Files files,
                         std::chrono::milliseconds headerTimeout)
    : m_events(events), m_queue(queue), m_budget(budget), m_files(std::move(files)), m_headerTimeout(headerTimeout),
      m_objects(new QObject(context)), m_headerDeadline(new FixedDelay(headerTimeout, m_objects)),
      m_closeGrace(new FixedDelay(closeGrace, m_objects)) {
    for (const auto& [path, contents] : m_files)
        m_fileNames.insert(path);
}

WebListener::~WebListener() {
    delete m_listener;
    delete m_webSockets;
    delete m_objects;
}

std::optional<std::string> WebListener::listen(std::uint16_t port) {
    std::string error;
    auto* listener = StreamListener::open(
        port, m_budget, [this](int fd, const std::string& address) { admit(fd, address); }, m_objects, error);
    if (!listener)
        return error;
    delete m_listener;
    m_listener = listener;
    if (!m_webSockets) {
        m_webSockets =
            new QWebSocketServer(QStringLiteral("Vemdo Trackpad"), QWebSocketServer::NonSecureMode, m_objects);
        m_webSockets->setHandshakeTimeout(m_headerTimeout);
        QObject::connect(m_webSockets, &QWebSocketServer::newConnection, m_webSockets, [this] {
            while (QWebSocket* socket = m_webSockets->nextPendingConnection())
                join(socket);
        });
    }
    return std::nullopt;
}

std::uint16_t WebListener::port() const {
    return m_listener ? m_listener->port() : 0;
}

WebListener::Files WebListener::pageFiles() {
    Files files;
    const QString root = QStringLiteral(":/web");
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.emplace(path.mid(root.size()).toStdString(), file.readAll());
    }
    return files;
}

web::LocalNames WebListener::localNames(std::uint16_t port) {
    return {localAddresses(), localHostName(), port};
}

void WebListener::admit(int fd, const std::string& address) {
    auto* socket = new PageSocket(m_objects, m_budget);
    const std::string source = networkSource(address);
    if (!socket->take(fd, source)) {
        delete socket;
        return;
    }
    // The head is read by peeking and must fit; a sender that keeps writing beyond it is not read further.
    socket->setReadBufferSize(static_cast<qint64>(web::maxHeaderBytes));
    m_pending.makeRoom();
    socket->pending = m_pending.add(source, [socket] { socket->abort(); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { inspect(socket); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
        forget(socket);
        socket->deleteLater();
    });
    m_headerDeadline->after(socket,
                            [this, socket] { answer(socket, web::httpResponse(web::Route::timeout, {}, {}, false)); });
}

bool WebListener::forget(PageSocket* socket) {
    if (!socket->pending)
        return false;
    m_pending.release(*socket->pending);
    socket->pending.reset();
    return true;
}

void WebListener::inspect(PageSocket* socket) {
    if (!socket->pending)
        return;
    // Peeked, not read: a WebSocket request must still be there for the WebSocket layer to answer.
    const QByteArray bytes = socket->peek(static_cast<qint64>(web::maxHeaderBytes));
    const web::RequestHead head = web::readRequestHead(view(bytes));
    const auto text = [](web::Route route) {
        return std::string(web::httpResponse(route, "text/plain; charset=utf-8", {}, false));
    };
    switch (head.status) {
    case web::HeadStatus::incomplete:
        return;
    case web::HeadStatus::tooLarge:
        answer(socket, text(web::Route::tooLarge));
        return;
    case web::HeadStatus::malformed:
        answer(socket, text(web::Route::badRequest));
        return;
    case web::HeadStatus::complete:
        break;
    }
    const web::Decision decision = web::routeRequest(head.request, localNames(port()), m_fileNames);
    if (decision.route == web::Route::upgrade) {
        handOver(socket, head.request.header("host").value_or(""));
        return;
    }
    if (decision.route == web::Route::serveFile) {
        const QByteArray& contents = m_files.at(decision.file);
        answer(socket, web::httpResponse(decision.route, web::contentTypeFor(decision.file), view(contents),
                                         head.request.method != "HEAD", head.request.header("host").value_or("")));
        return;
    }
    std::string body = std::to_string(web::statusCode(decision.route)) + "\n";
    if (decision.route == web::Route::misdirected)
        body = "421: open this page at the address that Vemdo Trackpad shows.\n";
    answer(socket, web::httpResponse(decision.route, "text/plain; charset=utf-8", body, head.request.method != "HEAD"));
}

void WebListener::answer(PageSocket* socket, const std::string& response) {
    if (!forget(socket))
        return;
    socket->write(response.data(), static_cast<qint64>(response.size()));
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        abortAfterGrace(*m_closeGrace, socket);
}

void WebListener::handOver(PageSocket* socket, const std::string& host) {
    forget(socket);
    // The page binds its exchange to the Host it used, which is the one checked here.
    const std::string key = peerKey(*socket);
    m_upgradeHosts[key] = {host, socket};
    QObject::connect(socket, &QObject::destroyed, m_objects, [this, key, socket] {
        if (auto it = m_upgradeHosts.find(key); it != m_upgradeHosts.end() && it->second.second == socket)
            m_upgradeHosts.erase(it);
    });
    // Frames and messages are bounded by the WebSocket layer from here on, what it may queue by the socket.
    socket->setReadBufferSize(webSocketReadBytes);
    socket->watchWrites();
    m_webSockets->handleConnection(socket);
}

void WebListener::join(QWebSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    socket->setMaxAllowedIncomingFrameSize(maxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(maxMessageBytes);
    const auto host = m_upgradeHosts.extract(peerKey(*socket));
    auto connection = std::make_shared<WebSocketConnection>(
        socket, m_queue, *m_closeGrace,
        std::vector<std::string>{std::to_string(port()), host.empty() ? std::string() : host.mapped().first});
    const ConnectionId id = connection->id();
    auto ended = std::make_shared<bool>(false);
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, socket, [this, id, ended](const QByteArray& message) {
        if (!*ended)
            m_events.processReceivedMessage(id, view(message));
    });
    QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [socket, grace = m_closeGrace] {
        socket->close(QWebSocketProtocol::CloseCodeDatatypeNotSupported);
        abortAfterGrace(*grace, socket);
    });
    QObject::connect(socket, &QWebSocket::disconnected, socket, [this, socket, id, ended] {
        if (*ended)
            return;
        *ended = true;
        socket->deleteLater();
        // It may have been closed from inside a call the transport made.
        m_queue.post([&events = m_events, id] { events.connectionEnded(id); });
    });
    m_events.handleNewConnection(std::move(connection));
}

} // namespace vemdo::platform

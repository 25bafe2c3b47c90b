// SPDX-License-Identifier: MIT
#include "platform/web/web_listener.h"

#include "platform/qt_network.h"
#include "transport/task_queue.h"

#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <memory>

namespace vemdo::platform {

namespace {

// The transport reads at most this much per receive; a message is handed over in pieces of this size.
constexpr std::size_t maxChunkBytes = 4096;
// A peer that stops reading must not keep a closed connection half-open for ever.
constexpr int closeGraceMilliseconds = 2000;

std::string_view view(const QByteArray& bytes) {
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

template <typename Socket> void abortAfterGrace(Socket* socket) {
    QTimer::singleShot(closeGraceMilliseconds, socket, [guarded = QPointer<Socket>(socket)] {
        if (guarded)
            guarded->abort();
    });
}

void closeWhenWritten(QTcpSocket* socket) {
    socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        abortAfterGrace(socket);
}

// A WebSocket as one more connection of the transport: each reply line goes out as one text message.
class WebSocketConnection final : public Connection {
public:
    WebSocketConnection(QWebSocket* socket, TaskQueue& queue)
        : m_id(newConnectionId()), m_socket(socket), m_queue(queue),
          m_address(socket->peerAddress().toString().toStdString()) {}

    ConnectionId id() const override { return m_id; }
    std::string remoteAddress() const override { return m_address; }
    ConnectionKind kind() const override { return ConnectionKind::browserPage; }

    void send(std::string_view bytes) override {
        if (bytes.ends_with('\n'))
            bytes.remove_suffix(1);
        if (QWebSocket* socket = m_socket.data(); socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->sendTextMessage(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
    }

    std::size_t unsentBytes() const override {
        const QWebSocket* socket = m_socket.data();
        return socket ? static_cast<std::size_t>(socket->bytesToWrite()) : 0;
    }

    void cancel() override {
        // The end must be reported after this call returns, so the close runs as a later task.
        m_queue.post([socket = m_socket] {
            if (!socket)
                return;
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated);
            abortAfterGrace(socket.data());
        });
    }

private:
    const ConnectionId m_id;
    QPointer<QWebSocket> m_socket;
    TaskQueue& m_queue;
    const std::string m_address;
};

} // namespace

WebListener::WebListener(NetworkEvents& events, TaskQueue& queue, QObject* context, Files files,
                         std::chrono::milliseconds headerTimeout)
    : m_events(events), m_queue(queue), m_context(context), m_files(std::move(files)), m_headerTimeout(headerTimeout) {
    for (const auto& [path, contents] : m_files)
        m_fileNames.insert(path);
}

WebListener::~WebListener() {
    delete m_server;
    delete m_webSockets;
}

std::optional<std::string> WebListener::listen(std::uint16_t port) {
    auto* server = new QTcpServer(m_context);
    // Any is dual-stack, as for the main listener.
    if (!server->listen(QHostAddress::Any, port)) {
        std::string error = server->errorString().toStdString();
        delete server;
        return error;
    }
    delete m_server;
    m_server = server;
    if (!m_webSockets) {
        m_webSockets =
            new QWebSocketServer(QStringLiteral("Vemdo Trackpad"), QWebSocketServer::NonSecureMode, m_context);
        m_webSockets->setHandshakeTimeout(m_headerTimeout);
        QObject::connect(m_webSockets, &QWebSocketServer::newConnection, m_webSockets, [this] {
            while (QWebSocket* socket = m_webSockets->nextPendingConnection())
                join(socket);
        });
    }
    QObject::connect(server, &QTcpServer::newConnection, server, [this, server] {
        while (QTcpSocket* socket = server->nextPendingConnection())
            admit(socket);
    });
    return std::nullopt;
}

std::uint16_t WebListener::port() const {
    return m_server ? m_server->serverPort() : 0;
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

std::vector<std::string> localAddresses() {
    std::vector<std::string> addresses;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        addresses.push_back(address.toString().toStdString());
    return addresses;
}

std::string localHostName() {
    return QHostInfo::localHostName().toStdString();
}

web::LocalNames WebListener::localNames(std::uint16_t port) {
    return {localAddresses(), localHostName(), port};
}

void WebListener::admit(QTcpSocket* socket) {
    applyStreamOptions(static_cast<int>(socket->socketDescriptor()));
    // The head is read by peeking and must fit; a sender that keeps writing beyond it is not read further.
    socket->setReadBufferSize(static_cast<qint64>(web::maxHeaderBytes));
    m_pending.emplace_back(socket);
    while (m_pending.size() > maxPendingRequests) {
        QPointer<QTcpSocket> oldest = m_pending.front();
        m_pending.pop_front();
        if (oldest)
            oldest->abort();
    }
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { inspect(socket); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
        forget(socket);
        socket->deleteLater();
    });
    QTimer::singleShot(m_headerTimeout, socket,
                       [this, socket] { answer(socket, web::httpResponse(web::Route::timeout, {}, {}, false)); });
    if (socket->bytesAvailable() > 0)
        inspect(socket);
}

bool WebListener::forget(QTcpSocket* socket) {
    auto it = std::find(m_pending.begin(), m_pending.end(), socket);
    if (it == m_pending.end())
        return false;
    m_pending.erase(it);
    return true;
}

void WebListener::inspect(QTcpSocket* socket) {
    if (std::find(m_pending.begin(), m_pending.end(), socket) == m_pending.end())
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
        handOver(socket);
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

void WebListener::answer(QTcpSocket* socket, const std::string& response) {
    if (!forget(socket))
        return;
    socket->write(response.data(), static_cast<qint64>(response.size()));
    closeWhenWritten(socket);
}

void WebListener::handOver(QTcpSocket* socket) {
    forget(socket);
    // Frames are bounded by the WebSocket layer from here on.
    socket->setReadBufferSize(0);
    m_webSockets->handleConnection(socket);
}

void WebListener::join(QWebSocket* socket) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    socket->setMaxAllowedIncomingFrameSize(maxMessageBytes);
    socket->setMaxAllowedIncomingMessageSize(maxMessageBytes);
    auto connection = std::make_shared<WebSocketConnection>(socket, m_queue);
    const ConnectionId id = connection->id();
    auto ended = std::make_shared<bool>(false);
    QObject::connect(socket, &QWebSocket::textMessageReceived, socket, [this, id, ended](const QString& message) {
        if (*ended)
            return;
        for (const std::string& piece : web::messageLinePieces(view(message.toUtf8()), maxChunkBytes)) {
            if (*ended)
                break;
            m_events.processReceivedData(id, piece);
        }
    });
    QObject::connect(socket, &QWebSocket::disconnected, socket, [this, socket, id, ended] {
        if (*ended)
            return;
        *ended = true;
        m_events.connectionEnded(id);
        socket->deleteLater();
    });
    m_events.handleNewConnection(std::move(connection));
}

} // namespace vemdo::platform

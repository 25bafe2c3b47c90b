// SPDX-License-Identifier: MIT
#include "platform/qt_network.h"

#include "platform/avahi_advertiser.h"
#include "platform/qt_task_queue.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <array>
#include <atomic>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace vemdo::platform {

namespace {

constexpr qint64 maxReceiveBytes = 4096;
// One receive never delivers more than this; a datagram is judged by its first 13 bytes.
constexpr qint64 maxDatagramBytes = 16;
constexpr int keepAliveIdleSeconds = 2;
constexpr int listenBacklog = 512;
// A peer that stops reading must not keep a closed connection half-open for ever.
constexpr int closeGraceMilliseconds = 2000;

std::atomic<ConnectionId> nextConnectionId{1};

class QtConnection final : public Connection {
public:
    QtConnection(QTcpSocket* socket, TaskQueue& queue)
        : m_id(nextConnectionId.fetch_add(1)), m_socket(socket), m_queue(queue),
          m_address(socket->peerAddress().toString().toStdString()) {}

    ConnectionId id() const override { return m_id; }
    std::string remoteAddress() const override { return m_address; }

    void send(std::string_view bytes) override {
        if (QTcpSocket* socket = m_socket.data(); socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
    }

    std::size_t unsentBytes() const override {
        const QTcpSocket* socket = m_socket.data();
        return socket ? static_cast<std::size_t>(socket->bytesToWrite()) : 0;
    }

    void cancel() override {
        // The end must be reported after this call returns, so the close runs as a later task.
        m_queue.post([socket = m_socket] {
            if (!socket)
                return;
            socket->disconnectFromHost();
            if (socket && socket->state() != QAbstractSocket::UnconnectedState)
                QTimer::singleShot(closeGraceMilliseconds, socket.data(), [socket] {
                    if (socket)
                        socket->abort();
                });
        });
    }

private:
    const ConnectionId m_id;
    QPointer<QTcpSocket> m_socket;
    TaskQueue& m_queue;
    const std::string m_address;
};

void applyStreamOptions(QTcpSocket* socket) {
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // Qt has no setting for the idle time; without it a vanished phone would linger for two hours.
    const int fd = static_cast<int>(socket->socketDescriptor());
    if (fd >= 0) {
        const int idle = keepAliveIdleSeconds;
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    }
}

void watchConnection(QTcpSocket* socket, std::shared_ptr<QtConnection> connection, NetworkEvents& events) {
    const ConnectionId id = connection->id();
    auto ended = std::make_shared<bool>(false);
    auto reportEnd = [socket, id, ended, &events] {
        if (*ended)
            return;
        *ended = true;
        events.connectionEnded(id);
        socket->deleteLater();
    };
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, id, ended, &events] {
        std::array<char, maxReceiveBytes> buffer;
        while (!*ended && socket->bytesAvailable() > 0) {
            const qint64 count = socket->read(buffer.data(), maxReceiveBytes);
            if (count <= 0)
                break;
            events.processReceivedData(id, std::string_view(buffer.data(), static_cast<std::size_t>(count)));
        }
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, reportEnd);
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [socket, reportEnd](QAbstractSocket::SocketError) {
        // The peer ending its stream arrives as an error too; either way the connection is over.
        socket->abort();
        reportEnd();
    });
}

} // namespace

QtNetworkPlatform::QtNetworkPlatform(QtThreadQueue& queue)
    : m_queue(queue), m_advertiser(std::make_unique<AvahiAdvertiser>()) {}

QtNetworkPlatform::~QtNetworkPlatform() = default;

TaskQueue& QtNetworkPlatform::transportQueue() {
    return m_queue;
}

std::optional<std::string> QtNetworkPlatform::startTcpListener(std::uint16_t port, NetworkEvents& events) {
    auto* server = new QTcpServer(m_queue.context());
    // Bursts of phones reconnecting at once should queue in the kernel rather than be refused.
    server->setListenBacklogSize(listenBacklog);
    // Any is dual-stack: IPv6 phones and IPv4 phones (as mapped addresses) reach the same listener.
    if (!server->listen(QHostAddress::Any, port)) {
        std::string error = server->errorString().toStdString();
        delete server;
        return error;
    }
    delete m_tcpServer;
    m_tcpServer = server;

    QObject::connect(server, &QTcpServer::newConnection, server, [this, server, &events] {
        while (QTcpSocket* socket = server->nextPendingConnection()) {
            applyStreamOptions(socket);
            auto connection = std::make_shared<QtConnection>(socket, m_queue);
            watchConnection(socket, connection, events);
            events.handleNewConnection(std::move(connection));
        }
    });
    const std::uint16_t bound = server->serverPort();
    // Listener states arrive as events, after this call returns, as they would from any listener.
    m_queue.post([&events, bound] { events.listenerStateChanged(ListenerState::ready, bound); });
    return std::nullopt;
}

std::optional<std::string> QtNetworkPlatform::startUdpListener(std::uint16_t port, NetworkEvents& events) {
    auto* socket = new QUdpSocket(m_queue.context());
    if (!socket->bind(QHostAddress::Any, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        std::string error = socket->errorString().toStdString();
        delete socket;
        return error;
    }
    delete m_udpSocket;
    m_udpSocket = socket;
    QObject::connect(socket, &QUdpSocket::readyRead, socket, [socket, &events] {
        while (socket->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket->receiveDatagram(maxDatagramBytes);
            if (!datagram.isValid())
                continue;
            const QByteArray data = datagram.data();
            const std::string sender = datagram.senderAddress().toString().toStdString();
            events.handleDatagram(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                            static_cast<std::size_t>(data.size())),
                                  sender);
        }
    });
    return std::nullopt;
}

void QtNetworkPlatform::advertise(std::string_view name, std::string_view type, std::uint16_t port) {
    m_advertiser->advertise(std::string(name), std::string(type), port);
}

} // namespace vemdo::platform

// SPDX-License-Identifier: MIT
#include "platform/qt_network.h"

#include "platform/avahi_advertiser.h"
#include "platform/qt_task_queue.h"

#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <atomic>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vemdo::platform {

namespace {

constexpr qint64 maxReceiveBytes = 4096;
// One receive never delivers more than this; a datagram is judged by its first 13 bytes.
constexpr std::size_t maxDatagramBytes = 16;
// Datagrams taken off the socket with one system call when several are waiting.
constexpr unsigned datagramsPerRead = 16;
constexpr int keepAliveIdleSeconds = 2;
constexpr int listenBacklog = 512;
// A peer that stops reading must not keep a closed connection half-open for ever.
constexpr int closeGraceMilliseconds = 2000;

class QtConnection final : public Connection {
public:
    QtConnection(QTcpSocket* socket, TaskQueue& queue)
        : m_id(newConnectionId()), m_socket(socket), m_queue(queue),
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

} // namespace

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

namespace {

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

// The UDP socket, read straight from its descriptor: a move datagram is on the latency-critical path, and
// Qt's datagram socket spends several system calls and allocations on each one (peeking for more, sizing,
// a datagram object, the sender as new text). Here one call takes every waiting datagram, and the sender's
// text is made again only when the sender changes.
class DatagramSocket final : public QObject {
public:
    static DatagramSocket* open(std::uint16_t port, NetworkEvents& events, std::string& error) {
        // Dual-stack where the system has IPv6, so that IPv4 phones arrive as mapped addresses.
        int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const bool ipv6 = fd >= 0;
        if (!ipv6)
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = 0;
        if (ipv6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(port);
            in6.sin6_addr = in6addr_any;
            length = sizeof in6;
        } else {
            auto& in = reinterpret_cast<sockaddr_in&>(address);
            in.sin_family = AF_INET;
            in.sin_port = htons(port);
            in.sin_addr.s_addr = htonl(INADDR_ANY);
            length = sizeof in;
        }
        const int off = 0, on = 1;
        if (fd < 0 || (ipv6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) ||
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            error = std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return nullptr;
        }
        return new DatagramSocket(fd, events);
    }

    ~DatagramSocket() override {
        m_notifier.setEnabled(false);
        ::close(m_fd);
    }

private:
    DatagramSocket(int fd, NetworkEvents& events) : m_fd(fd), m_notifier(fd, QSocketNotifier::Read) {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, this, [this, &events] { readAll(events); });
    }

    void readAll(NetworkEvents& events) {
        std::array<std::array<std::uint8_t, maxDatagramBytes>, datagramsPerRead> data{};
        std::array<sockaddr_storage, datagramsPerRead> senders{};
        std::array<iovec, datagramsPerRead> pieces{};
        std::array<mmsghdr, datagramsPerRead> messages{};
        for (unsigned i = 0; i < datagramsPerRead; ++i) {
            pieces[i] = {data[i].data(), data[i].size()};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(m_fd, messages.data(), datagramsPerRead, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < count; ++i) {
            const auto size = std::min<std::size_t>(messages[i].msg_len, maxDatagramBytes);
            events.handleDatagram(std::span<const std::uint8_t>(data[i].data(), size),
                                  senderText(senders[i], messages[i].msg_hdr.msg_namelen));
        }
    }

    const std::string& senderText(const sockaddr_storage& sender, socklen_t length) {
        if (length == m_lastSenderLength && std::memcmp(&sender, &m_lastSender, length) == 0)
            return m_lastSenderText;
        std::memcpy(&m_lastSender, &sender, length);
        m_lastSenderLength = length;
        std::array<char, INET6_ADDRSTRLEN + IF_NAMESIZE + 1> text{};
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sender);
        if (sender.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            // An IPv4 phone on the dual-stack socket: its plain IPv4 text, as the transport compares it.
            ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text.data(), text.size());
            m_lastSenderText = text.data();
        } else if (sender.ss_family == AF_INET6) {
            ::inet_ntop(AF_INET6, &in6.sin6_addr, text.data(), INET6_ADDRSTRLEN);
            m_lastSenderText = text.data();
            // A link-local address means nothing without its interface, as Qt writes it too.
            if (in6.sin6_scope_id != 0 && ::if_indextoname(in6.sin6_scope_id, text.data()))
                m_lastSenderText += "%" + std::string(text.data());
        } else {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(sender).sin_addr, text.data(), text.size());
            m_lastSenderText = text.data();
        }
        return m_lastSenderText;
    }

    const int m_fd;
    QSocketNotifier m_notifier;
    sockaddr_storage m_lastSender{};
    socklen_t m_lastSenderLength = 0;
    std::string m_lastSenderText;
};

} // namespace

ConnectionId newConnectionId() {
    static std::atomic<ConnectionId> next{1};
    return next.fetch_add(1);
}

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
    std::string error;
    auto* socket = DatagramSocket::open(port, events, error);
    if (!socket)
        return error;
    socket->setParent(m_queue.context());
    delete m_udpSocket;
    m_udpSocket = socket;
    return std::nullopt;
}

void QtNetworkPlatform::advertise(std::string_view name, std::string_view type, std::uint16_t port) {
    m_advertiser->advertise(std::string(name), std::string(type), port);
}

} // namespace vemdo::platform

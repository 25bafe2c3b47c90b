// SPDX-License-Identifier: MIT
#include "platform/qt_network.h"

#include "platform/avahi_advertiser.h"
#include "platform/qt_task_queue.h"
#include "transport/peer_budget.h"
#include "transport/transport.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <atomic>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace vemdo::platform {

namespace {

constexpr std::size_t maxReceiveBytes = 4096;
// One receive never delivers more than this; a datagram is judged by its first 13 bytes.
constexpr std::size_t maxDatagramBytes = 16;
// Datagrams taken off the socket with one system call when several are waiting.
constexpr unsigned datagramsPerRead = 16;
constexpr int keepAliveIdleSeconds = 2;
// Replies are a few hundred bytes; left to itself the kernel would let a peer that never reads pin
// megabytes per connection beyond the bound kept on what waits in the server (maxUnsentBytes).
constexpr int sendBufferBytes = 16384;
constexpr int listenBacklog = 4096;
// Connections accepted at one wake-up of a listener, so that connections already open get their turn in a flood.
constexpr int acceptsPerWake = 64;
// How long a listener that ran out of descriptors waits before it accepts again.
constexpr int acceptPauseMilliseconds = 100;

// The text of a socket address as the transport compares it: IPv4 (also when it reached a dual-stack
// socket as a mapped address), or IPv6 with the interface of a link-local address.
std::string addressText(const sockaddr_storage& address) {
    std::array<char, INET6_ADDRSTRLEN + IF_NAMESIZE + 1> text{};
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (address.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text.data(), text.size());
        return text.data();
    }
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text.data(), text.size());
        return text.data();
    }
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text.data(), INET6_ADDRSTRLEN);
    std::string result = text.data();
    if (in6.sin6_scope_id != 0 && ::if_indextoname(in6.sin6_scope_id, text.data()))
        result += "%" + std::string(text.data());
    return result;
}

// One phone's TCP connection, read and written straight through its descriptor. A move line is on the
// latency-critical path, and Qt's stream socket spends a system call (sizing the read), a copy into its
// own buffer and a signal on every receive; here a receive is one read into the transport.
//
// It holds a place in the peer budget until its descriptor is closed; the budget may end it at any time.
class StreamSocket final : public QObject {
public:
    StreamSocket(int fd, ConnectionId id, NetworkEvents& events, PeerBudget& budget, std::string_view source,
                 FixedDelay& grace)
        : m_fd(fd), m_id(id), m_events(events), m_budget(budget), m_ticket(budget.add(source, [this] { end(); })),
          m_grace(grace), m_reader(fd, QSocketNotifier::Read), m_writer(fd, QSocketNotifier::Write) {
        m_writer.setEnabled(false);
        QObject::connect(&m_reader, &QSocketNotifier::activated, this, [this] { receive(); });
        QObject::connect(&m_writer, &QSocketNotifier::activated, this, [this] { flush(); });
    }
    ~StreamSocket() override {
        if (m_ended)
            return;
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        ::close(m_fd);
        m_budget.release(m_ticket);
    }

    void send(std::string_view bytes) {
        if (m_ended || m_closing)
            return;
        m_unsent.append(bytes);
        if (!m_receiving)
            flush();
        if (m_unsent.size() > maxUnsentBytes)
            end();
    }

    std::size_t unsentBytes() const { return m_unsent.size(); }

    // Writes what is still queued first. Closing with unread bytes in the socket would reset the connection
    // and could destroy replies the peer has not read yet, so then only our side of the stream is ended
    // and the socket is closed after the grace period; a peer that does not take what is queued within
    // it is cut off.
    void close() {
        if (m_ended || m_closing)
            return;
        m_closing = true;
        m_reader.setEnabled(false);
        flush();
        if (!m_ended)
            m_grace.after(this, [this] { end(); });
    }

private:
    // One read a notification: what stays in the socket wakes the loop again.
    void receive() {
        std::array<char, maxReceiveBytes> buffer;
        const ssize_t count = ::read(m_fd, buffer.data(), buffer.size());
        if (count > 0) {
            // The replies to one receive leave together: one segment, not one per line. A peer with a small
            // receive buffer drops a stream of tiny segments and stalls both directions for seconds.
            m_receiving = true;
            m_events.processReceivedData(m_id, std::string_view(buffer.data(), static_cast<std::size_t>(count)));
            m_receiving = false;
            flush();
        } else if (count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR))
            end();
    }

    void flush() {
        while (!m_unsent.empty() && !m_ended) {
            const ssize_t sent = ::send(m_fd, m_unsent.data(), m_unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno != EAGAIN)
                return end();
            if (sent <= 0)
                break;
            m_unsent.erase(0, static_cast<std::size_t>(sent));
        }
        m_writer.setEnabled(!m_unsent.empty() && !m_ended);
        if (!m_unsent.empty() || !m_closing || m_ended)
            return;
        int unread = 0;
        if (::ioctl(m_fd, FIONREAD, &unread) == 0 && unread == 0)
            return end();
        ::shutdown(m_fd, SHUT_WR);
    }

    // Reported once, never from inside a call the transport made (send and close come from it).
    void end() {
        if (m_ended)
            return;
        m_ended = true;
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        ::close(m_fd);
        m_budget.release(m_ticket);
        m_unsent = {};
        QTimer::singleShot(0, this, [this] {
            m_events.connectionEnded(m_id);
            deleteLater();
        });
    }

    const int m_fd;
    const ConnectionId m_id;
    NetworkEvents& m_events;
    PeerBudget& m_budget;
    const PeerBudget::Ticket m_ticket;
    FixedDelay& m_grace;
    QSocketNotifier m_reader;
    QSocketNotifier m_writer;
    std::string m_unsent;
    bool m_closing = false;
    bool m_receiving = false;
    bool m_ended = false;
};

class StreamConnection final : public Connection {
public:
    StreamConnection(StreamSocket* socket, ConnectionId id, std::string address, TaskQueue& queue)
        : m_id(id), m_socket(socket), m_queue(queue), m_address(std::move(address)) {}

    ConnectionId id() const override { return m_id; }
    std::string remoteAddress() const override { return m_address; }
    ConnectionKind kind() const override { return ConnectionKind::phoneApp; }

    void send(std::string_view bytes) override {
        if (StreamSocket* socket = m_socket.data())
            socket->send(bytes);
    }

    std::size_t unsentBytes() const override {
        const StreamSocket* socket = m_socket.data();
        return socket ? socket->unsentBytes() : 0;
    }

    void cancel() override {
        // The end must be reported after this call returns, so the close runs as a later task.
        m_queue.post([socket = m_socket] {
            if (socket)
                socket->close();
        });
    }

private:
    const ConnectionId m_id;
    QPointer<StreamSocket> m_socket;
    TaskQueue& m_queue;
    const std::string m_address;
};

// No write coalescing, a small kernel send buffer, keep-alive after 2 idle seconds. Set on the listening
// socket: accepted connections inherit them, which saves four system calls on each in a flood.
void applyStreamOptions(int fd) {
    const int on = 1, idle = keepAliveIdleSeconds, sendBuffer = sendBufferBytes;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    // Without an idle time of our own a vanished phone would linger for two hours.
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
}

// A socket of `type` bound to `port` on every address: dual-stack where the system has IPv6, so that IPv4
// peers arrive as mapped addresses. -1, with the error's description, when it cannot be had.
int boundSocket(int type, std::uint16_t port, std::string& error) {
    int fd = ::socket(AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool ipv6 = fd >= 0;
    if (!ipv6)
        fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
        return -1;
    }
    return fd;
}

bool connectionWaiting(int listening) {
    pollfd waiting{listening, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1;
}

} // namespace

struct FixedDelay::Waiting {
    std::chrono::steady_clock::time_point due;
    QPointer<QObject> context;
    std::function<void()> task;
};

FixedDelay::FixedDelay(std::chrono::milliseconds delay, QObject* parent)
    : QObject(parent), m_delay(delay), m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    QObject::connect(m_timer, &QTimer::timeout, this, [this] { runDue(); });
}

FixedDelay::~FixedDelay() = default;

void FixedDelay::after(QObject* context, std::function<void()> task) {
    // One delay for all: the waiting are in the order they fall due.
    m_waiting.push_back({std::chrono::steady_clock::now() + m_delay, context, std::move(task)});
    if (!m_timer->isActive())
        m_timer->start(m_delay);
}

void FixedDelay::runDue() {
    const auto now = std::chrono::steady_clock::now();
    while (!m_waiting.empty() && m_waiting.front().due <= now) {
        Waiting due = std::move(m_waiting.front());
        m_waiting.pop_front();
        if (due.context)
            due.task();
    }
    if (!m_waiting.empty())
        m_timer->start(std::chrono::ceil<std::chrono::milliseconds>(m_waiting.front().due - now));
}

StreamListener* StreamListener::open(std::uint16_t port, PeerBudget& budget, Accepted accepted, QObject* parent,
                                     std::string& error) {
    const int fd = boundSocket(SOCK_STREAM, port, error);
    if (fd < 0)
        return nullptr;
    applyStreamOptions(fd);
    // Bursts of phones reconnecting at once should queue in the kernel rather than be refused.
    if (::listen(fd, listenBacklog) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return new StreamListener(fd, budget, std::move(accepted), parent);
}

StreamListener::StreamListener(int fd, PeerBudget& budget, Accepted accepted, QObject* parent)
    : QObject(parent), m_fd(fd), m_budget(budget), m_accepted(std::move(accepted)),
      m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)) {
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, [this] { acceptWaiting(); });
}

StreamListener::~StreamListener() {
    m_notifier->setEnabled(false);
    ::close(m_fd);
}

std::uint16_t StreamListener::port() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    // The port sits at the same place in both families.
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

void StreamListener::acceptWaiting() {
    for (int accepted = 0; accepted < acceptsPerWake; ++accepted) {
        // A full budget gives up a peer only for a connection that is really there to take its place.
        if (m_budget.size() >= m_budget.capacity()) {
            if (!connectionWaiting(m_fd))
                return;
            m_budget.makeRoom();
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            m_accepted(fd, addressText(peer));
        } else if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Something besides the peers took the descriptors kept in reserve: retrying at once would spin
            // on a connection that cannot be taken.
            m_notifier->setEnabled(false);
            QTimer::singleShot(acceptPauseMilliseconds, this, [this] { m_notifier->setEnabled(true); });
            return;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        }
        // Anything else (reset before it was taken, a network error passed on) concerns that connection only.
    }
}

namespace {

// The UDP socket, read straight from its descriptor: a move datagram is on the latency-critical path, and
// Qt's datagram socket spends several system calls and allocations on each one (peeking for more, sizing,
// a datagram object, the sender as new text). Here one call takes every waiting datagram, and the sender's
// text is made again only when the sender changes.
class DatagramSocket final : public QObject {
public:
    static DatagramSocket* open(std::uint16_t port, NetworkEvents& events, std::string& error) {
        const int fd = boundSocket(SOCK_DGRAM, port, error);
        return fd < 0 ? nullptr : new DatagramSocket(fd, events);
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
        if (length != m_lastSenderLength || std::memcmp(&sender, &m_lastSender, length) != 0) {
            std::memcpy(&m_lastSender, &sender, length);
            m_lastSenderLength = length;
            m_lastSenderText = addressText(sender);
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

QtNetworkPlatform::QtNetworkPlatform(QtThreadQueue& queue, PeerBudget& budget)
    : m_queue(queue), m_budget(budget), m_advertiser(std::make_unique<AvahiAdvertiser>()) {}

QtNetworkPlatform::~QtNetworkPlatform() = default;

TaskQueue& QtNetworkPlatform::transportQueue() {
    return m_queue;
}

std::optional<std::string> QtNetworkPlatform::startTcpListener(std::uint16_t port, NetworkEvents& events) {
    std::string error;
    if (!m_closeGrace)
        m_closeGrace = new FixedDelay(closeGrace, m_queue.context());
    auto accepted = [this, &events](int fd, const std::string& address) {
        const ConnectionId id = newConnectionId();
        auto* socket = new StreamSocket(fd, id, events, m_budget, networkSource(address), *m_closeGrace);
        socket->setParent(m_queue.context());
        events.handleNewConnection(std::make_shared<StreamConnection>(socket, id, address, m_queue));
    };
    auto* listener = StreamListener::open(port, m_budget, accepted, m_queue.context(), error);
    if (!listener)
        return error;
    delete m_tcpListener;
    m_tcpListener = listener;
    const std::uint16_t bound = listener->port();
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

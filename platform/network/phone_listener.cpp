// SPDX-License-Identifier: MIT
#include "platform/network/phone_listener.h"

#include "platform/host/qt_task_queue.h"
#include "platform/network/avahi_advertiser.h"
#include "platform/network/sockets.h"
#include "transport/peer_budget.h"
#include "transport/transport.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <array>

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

PhoneListener::PhoneListener(QtThreadQueue& queue, PeerBudget& budget)
    : m_queue(queue), m_budget(budget), m_advertiser(std::make_unique<AvahiAdvertiser>()) {}

PhoneListener::~PhoneListener() = default;

TaskQueue& PhoneListener::transportQueue() {
    return m_queue;
}

std::optional<std::string> PhoneListener::startTcpListener(std::uint16_t port, NetworkEvents& events) {
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

std::optional<std::string> PhoneListener::startUdpListener(std::uint16_t port, NetworkEvents& events) {
    std::string error;
    auto* socket = DatagramSocket::open(port, events, error);
    if (!socket)
        return error;
    socket->setParent(m_queue.context());
    delete m_udpSocket;
    m_udpSocket = socket;
    return std::nullopt;
}

void PhoneListener::advertise(std::string_view name, std::string_view type, std::uint16_t port) {
    m_advertiser->advertise(std::string(name), std::string(type), port);
}

} // namespace vemdo::platform

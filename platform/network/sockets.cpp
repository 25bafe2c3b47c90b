// SPDX-License-Identifier: MIT
#include "platform/network/sockets.h"

#include "transport/peer_budget.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
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
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vemdo::platform {

namespace {

constexpr int keepAliveIdleSeconds = 2;
// Replies are a few hundred bytes; left to itself the kernel would let a peer that never reads pin
// megabytes per connection beyond the bound kept on what waits in the server (maxUnsentBytes).
constexpr int sendBufferBytes = 16384;
constexpr int listenBacklog = 4096;
// Connections accepted at one wake-up of a listener, so that connections already open get their turn in a flood.
constexpr int acceptsPerWake = 64;
// How long a listener that ran out of descriptors waits before it accepts again.
constexpr int acceptPauseMilliseconds = 100;

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

bool connectionWaiting(int listening) {
    pollfd waiting{listening, POLLIN, 0};
    return ::poll(&waiting, 1, 0) == 1;
}

} // namespace

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

ConnectionId newConnectionId() {
    static std::atomic<ConnectionId> next{1};
    return next.fetch_add(1);
}

void raiseDescriptorLimit() {
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

std::size_t peerDescriptorBudget() {
    rlimit limit{};
    return budgetForDescriptorLimit(::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024);
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

} // namespace vemdo::platform

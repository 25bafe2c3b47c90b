// SPDX-License-Identifier: MIT
#pragma once

#include "platform/network/http_request.h"
#include "transport/network.h"
#include "transport/peer_budget.h"

#include <QByteArray>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QObject;
class QWebSocket;
class QWebSocketServer;

namespace vemdo::platform {

class FixedDelay;
class PageSocket;
class StreamListener;

// The browser page's listener: plain HTTP for the page's files and, at /ws, WebSocket connections that
// join the transport through the same NetworkEvents calls as its TCP connections, so the transport's gate,
// limits and count apply to them unchanged. Each binary message reaches the transport whole, and what the
// transport sends goes out as one binary message; the page sends nothing else, so a text message closes
// its WebSocket.
//
// Lives on the transport thread: it is made there, and every call and every event happens there.
class WebListener {
public:
    // Path ("/index.html") to contents.
    using Files = std::map<std::string, QByteArray>;

    static constexpr std::chrono::milliseconds defaultHeaderTimeout{5000};
    // Requests still being read; beyond this one is dropped, the oldest of the network source that holds the
    // most (see PeerBudget), so idle sockets cannot pile up and a flood from one host drops only its own.
    static constexpr std::size_t maxPendingRequests = 64;
    // A larger frame or message closes its WebSocket.
    static constexpr std::uint64_t maxMessageBytes = 64 * 1024;
    // A WebSocket whose peer pings more often than this (in a burst, or a second on average) is closed: the
    // WebSocket layer answers every ping by itself, and browsers do not ping.
    static constexpr double pingBurst = 10;
    static constexpr double pingsPerSecond = 2;

    // A request whose head has not arrived within headerTimeout is answered 408 and closed. Every socket of
    // the port holds a place in `budget` (shared with the app's listener) until its descriptor is closed.
    WebListener(NetworkEvents& events, TaskQueue& queue, QObject* context, PeerBudget& budget, Files files,
                std::chrono::milliseconds headerTimeout = defaultHeaderTimeout);
    ~WebListener();
    WebListener(const WebListener&) = delete;
    WebListener& operator=(const WebListener&) = delete;

    // Opens the port (IPv4 and IPv6; 0 lets the system choose). The error's description when it cannot.
    std::optional<std::string> listen(std::uint16_t port);
    std::uint16_t port() const;

    // The page's files, compiled into the program.
    static Files pageFiles();
    // This computer's names on `port`, as they are now (addresses come and go with networks).
    static web::LocalNames localNames(std::uint16_t port);

private:
    void admit(int fd, const std::string& address);
    void inspect(PageSocket* socket);
    void answer(PageSocket* socket, const std::string& response);
    void handOver(PageSocket* socket, const std::string& host);
    void join(QWebSocket* socket);
    bool forget(PageSocket* socket);

    NetworkEvents& m_events;
    TaskQueue& m_queue;
    PeerBudget& m_budget;
    Files m_files;
    std::chrono::milliseconds m_headerTimeout;
    std::set<std::string> m_fileNames;
    // The parent of every Qt object the listener makes (its sockets among them): they go with it.
    QObject* m_objects;
    FixedDelay* m_headerDeadline;
    FixedDelay* m_closeGrace;
    StreamListener* m_listener = nullptr;
    QWebSocketServer* m_webSockets = nullptr;
    // Sockets whose request is still being read.
    PeerBudget m_pending{maxPendingRequests};
    // The Host of each WebSocket request handed to the WebSocket layer, by the peer's address and port, until
    // its WebSocket joins.
    std::map<std::string, std::pair<std::string, const PageSocket*>> m_upgradeHosts;
};

} // namespace vemdo::platform

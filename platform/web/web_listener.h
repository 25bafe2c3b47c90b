// SPDX-License-Identifier: MIT
#pragma once

#include "platform/web/http_request.h"
#include "transport/network.h"

#include <QByteArray>
#include <QPointer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QObject;
class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

namespace vemdo::platform {

// This computer's addresses on interfaces that are up, as text, and its host name. Any thread.
std::vector<std::string> localAddresses();
std::string localHostName();

// The browser page's listener: plain HTTP for the page's files and, at /ws, WebSocket connections that
// join the transport through the same NetworkEvents calls as its TCP connections, so the transport's gate,
// limits and count apply to them unchanged. Each text message reaches the transport as one line.
//
// Lives on the transport thread: it is made there, and every call and every event happens there.
class WebListener {
public:
    // Path ("/index.html") to contents.
    using Files = std::map<std::string, QByteArray>;

    static constexpr std::chrono::milliseconds defaultHeaderTimeout{5000};
    // Requests still being read; beyond this the oldest is dropped, so idle sockets cannot pile up.
    static constexpr std::size_t maxPendingRequests = 64;
    // A larger frame or message closes its WebSocket.
    static constexpr std::uint64_t maxMessageBytes = 64 * 1024;

    // A request whose head has not arrived within headerTimeout is answered 408 and closed.
    WebListener(NetworkEvents& events, TaskQueue& queue, QObject* context, Files files,
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
    void admit(QTcpSocket* socket);
    void inspect(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const std::string& response);
    void handOver(QTcpSocket* socket);
    void join(QWebSocket* socket);
    bool forget(QTcpSocket* socket);

    NetworkEvents& m_events;
    TaskQueue& m_queue;
    QObject* m_context;
    Files m_files;
    std::chrono::milliseconds m_headerTimeout;
    std::set<std::string> m_fileNames;
    QTcpServer* m_server = nullptr;
    QWebSocketServer* m_webSockets = nullptr;
    // Sockets whose request is still being read, oldest first.
    std::deque<QPointer<QTcpSocket>> m_pending;
};

} // namespace vemdo::platform

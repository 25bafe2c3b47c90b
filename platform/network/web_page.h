// SPDX-License-Identifier: MIT
#pragma once

#include "transport/network.h"

#include <cstdint>
#include <optional>

namespace vemdo {
class PeerBudget;
class StringTable;
class TaskQueue;
} // namespace vemdo

namespace vemdo::platform {

class QtThreadQueue;
class WebListener;

// The browser page as the rest of the program sees it: its listener, made and run on the transport thread,
// and the port it serves, published to the main thread.
class WebPage {
public:
    // `port` 0 serves no page. `events` is the transport, which the page's WebSockets join.
    WebPage(NetworkEvents& events, QtThreadQueue& transportThread, PeerBudget& budget, TaskQueue& mainQueue,
            const StringTable& strings, std::uint16_t port);
    WebPage(const WebPage&) = delete;
    WebPage& operator=(const WebPage&) = delete;

    // Main thread, once: opens the listener on the transport thread. When the port cannot be had, one line
    // on standard error says so and the rest runs on.
    void start();
    // Main thread: the page's port once it is served.
    std::optional<std::uint16_t> port() const { return m_servedPort; }

private:
    NetworkEvents& m_events;
    QtThreadQueue& m_transportThread;
    PeerBudget& m_budget;
    TaskQueue& m_mainQueue;
    const StringTable& m_strings;
    const std::uint16_t m_port;
    // Made on the transport thread and kept until the process ends, as the transport thread keeps running.
    WebListener* m_listener = nullptr;
    std::optional<std::uint16_t> m_servedPort;
};

} // namespace vemdo::platform

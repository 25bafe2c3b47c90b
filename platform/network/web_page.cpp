// SPDX-License-Identifier: MIT
#include "platform/network/web_page.h"

#include "platform/host/qt_task_queue.h"
#include "platform/network/web_listener.h"
#include "transport/string_table.h"

#include <cstdio>
#include <string>

namespace vemdo::platform {

WebPage::WebPage(NetworkEvents& events, QtThreadQueue& transportThread, PeerBudget& budget, TaskQueue& mainQueue,
                 const StringTable& strings, std::uint16_t port)
    : m_events(events), m_transportThread(transportThread), m_budget(budget), m_mainQueue(mainQueue),
      m_strings(strings), m_port(port) {}

void WebPage::start() {
    if (m_port == 0)
        return;
    m_transportThread.post([this] {
        m_listener = new WebListener(m_events, m_transportThread, m_transportThread.context(), m_budget,
                                     WebListener::pageFiles());
        if (auto error = m_listener->listen(m_port)) {
            // On standard error like the other warnings that leave the server running, so that the status
            // blocks on standard output stay whole.
            const std::string line =
                "vemdo-trackpad: " + m_strings.text("web.listener_error", "Browser page listener creation error") +
                " (port " + std::to_string(m_port) + "): " + *error + "\n";
            std::fputs(line.c_str(), stderr);
            return;
        }
        const std::uint16_t bound = m_listener->port();
        m_mainQueue.post([this, bound] { m_servedPort = bound; });
    });
}

} // namespace vemdo::platform

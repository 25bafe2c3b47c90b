// SPDX-License-Identifier: MIT
#pragma once

#include "transport/task_queue.h"

#include <chrono>
#include <functional>
#include <vector>

namespace vemdo::testing {

// A task queue that runs nothing until the test drains it, with delayed tasks ordered on a virtual
// clock that only advance() moves. Single-threaded by design.
class ManualTaskQueue final : public TaskQueue {
public:
    void post(std::function<void()> task) override { postDelayed(std::chrono::milliseconds(0), std::move(task)); }
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override {
        m_tasks.push_back({m_now + delay, m_sequence++, std::move(task)});
    }

    // Runs every task that is due, including tasks that due tasks post. Returns how many ran.
    int runDue() {
        int ran = 0;
        while (true) {
            auto next = m_tasks.end();
            for (auto it = m_tasks.begin(); it != m_tasks.end(); ++it) {
                if (it->due <= m_now && (next == m_tasks.end() || it->due < next->due ||
                                         (it->due == next->due && it->sequence < next->sequence)))
                    next = it;
            }
            if (next == m_tasks.end())
                return ran;
            auto task = std::move(next->task);
            m_tasks.erase(next);
            task();
            ++ran;
        }
    }
    // Moves the virtual clock forward and runs whatever fell due.
    int advance(std::chrono::milliseconds by) {
        m_now += by;
        return runDue();
    }
    std::size_t pending() const { return m_tasks.size(); }

private:
    struct Entry {
        std::chrono::milliseconds due;
        unsigned long long sequence;
        std::function<void()> task;
    };
    std::vector<Entry> m_tasks;
    std::chrono::milliseconds m_now{0};
    unsigned long long m_sequence = 0;
};

} // namespace vemdo::testing

// SPDX-License-Identifier: MIT
#pragma once

#include "transport/task_queue.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

namespace vemdo::platform {

class TaskRunner;

// Runs tasks in posting order on the thread of a context object, through that thread's Qt event loop.
// Used for the main thread (context: the application object) and for the transport thread.
class QtTaskQueue : public TaskQueue {
public:
    // Made and destroyed on the context's thread, or while that thread is not running.
    explicit QtTaskQueue(QObject* context);
    ~QtTaskQueue() override;
    void post(std::function<void()> task) override;
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;

private:
    QPointer<TaskRunner> m_runner;
};

// A serial queue on a dedicated named thread with its own event loop. The thread runs until the queue is
// destroyed; the process-wide queue never is, because listeners and connections live as long as the process.
class QtThreadQueue final : public TaskQueue {
public:
    explicit QtThreadQueue(std::string_view name);
    ~QtThreadQueue() override;
    void post(std::function<void()> task) override { m_queue->post(std::move(task)); }
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override {
        m_queue->postDelayed(delay, std::move(task));
    }
    // Lives on the queue's thread: the parent of every object created for the queue's work.
    QObject* context() const { return m_context; }

private:
    std::unique_ptr<QThread> m_thread;
    QObject* m_context;
    std::unique_ptr<QtTaskQueue> m_queue;
    std::atomic<bool> m_finished{false};
};

} // namespace vemdo::platform

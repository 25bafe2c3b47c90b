// SPDX-License-Identifier: MIT
#pragma once

#include "transport/task_queue.h"

#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>
#include <string_view>

namespace vemdo::platform {

// Runs tasks on the thread of a context object through Qt's event loop, in posting order. Used for the
// main thread (context: the application object) and for the transport thread.
class QtTaskQueue : public TaskQueue {
public:
    explicit QtTaskQueue(QObject* context) : m_context(context) {}
    void post(std::function<void()> task) override;
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override;
    QObject* context() const { return m_context; }

private:
    QPointer<QObject> m_context;
};

// A serial queue on a dedicated named thread with its own event loop. The thread runs until the process
// ends: it is never stopped, because listeners and connections live for the life of the process.
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
    QThread* thread() const { return m_thread.get(); }

private:
    std::unique_ptr<QThread> m_thread;
    QObject* m_context;
    std::unique_ptr<QtTaskQueue> m_queue;
};

} // namespace vemdo::platform

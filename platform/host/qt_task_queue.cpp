// SPDX-License-Identifier: MIT
#include "platform/host/qt_task_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

namespace vemdo::platform {

// Tasks wait in our own locked list and Qt only carries a bare wake-up event. Qt's queue alone would order
// them just as well, but it hands the closures over inside uninstrumented libraries, where the race
// detector cannot see the synchronisation; this way every hand-over goes through a mutex it understands.
class TaskRunner final : public QObject {
public:
    using QObject::QObject;

    void enqueue(std::function<void()> task) {
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
    }

protected:
    // Any event is a reason to drain; the event itself is never read, and an empty list makes it a no-op.
    bool event(QEvent* event) override {
        drain();
        return QObject::event(event);
    }

private:
    void drain() {
        while (true) {
            std::function<void()> task;
            {
                std::lock_guard lock(m_mutex);
                if (m_tasks.empty())
                    return;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
};

// Not a child of the context: the context may be deleted by a task that this very runner is running.
QtTaskQueue::QtTaskQueue(QObject* context) : m_runner(new TaskRunner) {
    m_runner->moveToThread(context->thread());
}

QtTaskQueue::~QtTaskQueue() {
    delete m_runner.data();
}

void QtTaskQueue::post(std::function<void()> task) {
    if (TaskRunner* runner = m_runner.data())
        runner->enqueue(std::move(task));
}

void QtTaskQueue::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    TaskRunner* runner = m_runner.data();
    if (!runner)
        return;
    // Timers belong to the thread that starts them, so the timer is started from the queue's own thread.
    runner->enqueue(
        [runner, delay, task = std::move(task)]() mutable { QTimer::singleShot(delay, runner, std::move(task)); });
}

QtThreadQueue::QtThreadQueue(std::string_view name) : m_thread(std::make_unique<QThread>()), m_context(new QObject) {
    m_thread->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    m_context->moveToThread(m_thread.get());
    m_queue = std::make_unique<QtTaskQueue>(m_context);
    QObject::connect(
        m_thread.get(), &QThread::finished, m_thread.get(),
        [this] { m_finished.store(true, std::memory_order_release); }, Qt::DirectConnection);
    m_thread->start();
}

QtThreadQueue::~QtThreadQueue() {
    // The context and its sockets die on their own thread, as the queue's last task; what their destruction
    // reports still finds everything it uses alive.
    m_queue->post([context = m_context] {
        delete context;
        QThread::currentThread()->quit();
    });
    m_thread->wait();
    // Joining happens inside Qt; this acquire makes the thread's last writes visible as such to the race
    // detector too.
    (void)m_finished.load(std::memory_order_acquire);
}

} // namespace vemdo::platform

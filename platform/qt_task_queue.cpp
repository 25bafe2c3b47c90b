// SPDX-License-Identifier: MIT
#include "platform/qt_task_queue.h"

#include <QMetaObject>
#include <QTimer>

namespace vemdo::platform {

void QtTaskQueue::post(std::function<void()> task) {
    QObject* context = m_context.data();
    if (!context)
        return;
    QMetaObject::invokeMethod(
        context, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtTaskQueue::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    QObject* context = m_context.data();
    if (!context)
        return;
    // Timers belong to the thread that starts them, so the timer is started from the queue's own thread.
    QMetaObject::invokeMethod(
        context,
        [context, delay, task = std::move(task)]() mutable { QTimer::singleShot(delay, context, std::move(task)); },
        Qt::QueuedConnection);
}

QtThreadQueue::QtThreadQueue(std::string_view name) : m_thread(std::make_unique<QThread>()), m_context(new QObject) {
    m_thread->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    m_context->moveToThread(m_thread.get());
    m_queue = std::make_unique<QtTaskQueue>(m_context);
    m_thread->start();
}

QtThreadQueue::~QtThreadQueue() {
    m_thread->quit();
    m_thread->wait();
    // The thread has ended, so nothing else can touch the context or its children any more.
    delete m_context;
}

} // namespace vemdo::platform

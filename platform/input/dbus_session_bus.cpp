// SPDX-License-Identifier: MIT
#include "platform/input/dbus_session_bus.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QMetaObject>

namespace vemdo {

DBusSessionBus::DBusSessionBus(const QString& name)
    : m_name(name), m_connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)) {
    m_thread.setObjectName(name);
    m_thread.start();
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
}

DBusSessionBus::~DBusSessionBus() {
    {
        std::lock_guard lock(m_mutex);
        for (const Subscription& subscription : m_subscriptions) {
            m_connection.disconnect(subscription.service, subscription.path, subscription.interface, subscription.name,
                                    subscription.receiver, SLOT(receive(QDBusMessage)));
        }
    }
    m_thread.quit();
    m_thread.wait();
    // The thread has ended, so nothing can be delivered to these any more.
    for (const Subscription& subscription : m_subscriptions)
        delete subscription.receiver;
    delete m_context;
    QDBusConnection::disconnectFromBus(m_name);
}

bool DBusSessionBus::hasOwner(const QString& service) {
    QDBusConnectionInterface* bus = m_connection.interface();
    return bus && bus->isServiceRegistered(service).value();
}

QDBusMessage DBusSessionBus::call(const QString& service, const QString& path, const QString& interface,
                                  const QString& method, const QVariantList& arguments, int timeoutMs) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return m_connection.call(message, QDBus::Block, timeoutMs);
}

bool DBusSessionBus::send(const QString& service, const QString& path, const QString& interface, const QString& method,
                          const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return m_connection.send(message);
}

QVariant DBusSessionBus::property(const QString& service, const QString& path, const QString& interface,
                                  const QString& name) {
    QDBusMessage reply = call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                              {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant();
}

DBusSignalReceiver* DBusSessionBus::subscribe(const QString& service, const QString& path, const QString& interface,
                                              const QString& name, std::function<void(const QDBusMessage&)> handler) {
    auto* receiver = new DBusSignalReceiver(std::move(handler));
    receiver->moveToThread(&m_thread);
    std::lock_guard lock(m_mutex);
    m_subscriptions.push_back({service, path, interface, name, receiver});
    m_connection.connect(service, path, interface, name, receiver, SLOT(receive(QDBusMessage)));
    return receiver;
}

void DBusSessionBus::unsubscribe(DBusSignalReceiver* receiver) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_subscriptions.begin(); it != m_subscriptions.end(); ++it) {
        if (it->receiver != receiver)
            continue;
        m_connection.disconnect(it->service, it->path, it->interface, it->name, receiver, SLOT(receive(QDBusMessage)));
        // It may be handing out a signal right now: delete it once its thread is done with it.
        receiver->deleteLater();
        m_subscriptions.erase(it);
        return;
    }
}

void DBusSessionBus::post(std::function<void()> work) {
    QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
}

QVariantMap variantMapArgument(const QDBusMessage& message, int index) {
    const QVariantList arguments = message.arguments();
    if (index >= arguments.size())
        return {};
    const QVariant& argument = arguments.at(index);
    if (argument.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
    return argument.toMap();
}

} // namespace vemdo

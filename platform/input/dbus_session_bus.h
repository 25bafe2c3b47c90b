// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QThread>
#include <QVariantMap>

#include <functional>
#include <list>
#include <mutex>

namespace vemdo {

// Hands one D-Bus signal to a function; lives on the thread the signals are received on.
class DBusSignalReceiver final : public QObject {
    Q_OBJECT
public:
    explicit DBusSignalReceiver(std::function<void(const QDBusMessage&)> handler) : m_handler(std::move(handler)) {}

public Q_SLOTS:
    void receive(const QDBusMessage& message) { m_handler(message); }

private:
    std::function<void(const QDBusMessage&)> m_handler;
};

// A private connection to the session bus for one remote-desktop session, and a thread of its own on which
// its signals arrive and its slower work runs, whichever thread (with or without an event loop) made it.
// The desktop ends a remote-desktop session when the connection that made it goes, so this connection
// lives as long as the session does.
//
// Threads: call() and send() from any thread (QtDBus serialises them); subscribed handlers and posted work
// run on the connection's own thread, one at a time.
class DBusSessionBus final {
public:
    // `name` tells this connection apart from others of the process.
    explicit DBusSessionBus(const QString& name);
    ~DBusSessionBus();
    DBusSessionBus(const DBusSessionBus&) = delete;
    DBusSessionBus& operator=(const DBusSessionBus&) = delete;

    bool connected() const { return m_connection.isConnected(); }
    QDBusConnection& connection() { return m_connection; }
    // Whether some program owns the name now.
    bool hasOwner(const QString& service);

    // A method call that waits for its answer (an error message when none came in time).
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}, int timeoutMs = 5000);
    // A method call whose answer nobody waits for; false only when it could not be queued.
    bool send(const QString& service, const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments);
    // A property, or an invalid value when it cannot be read.
    QVariant property(const QString& service, const QString& path, const QString& interface, const QString& name);

    // Calls `handler` on the connection's thread with every matching signal, until unsubscribe().
    DBusSignalReceiver* subscribe(const QString& service, const QString& path, const QString& interface,
                                  const QString& name, std::function<void(const QDBusMessage&)> handler);
    void unsubscribe(DBusSignalReceiver* receiver);
    // Runs `work` on the connection's thread.
    void post(std::function<void()> work);

private:
    struct Subscription {
        QString service, path, interface, name;
        DBusSignalReceiver* receiver;
    };

    QString m_name;
    QDBusConnection m_connection;
    QThread m_thread;
    QObject* m_context = nullptr;
    std::mutex m_mutex;
    std::list<Subscription> m_subscriptions;
};

// The a{sv} argument at `index` of a message; empty when there is none.
QVariantMap variantMapArgument(const QDBusMessage& message, int index);

} // namespace vemdo

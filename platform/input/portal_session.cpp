// SPDX-License-Identifier: MIT
#include "platform/input/portal_session.h"

#include "platform/input/dbus_session_bus.h"
#include "platform/input/wayland_connection.h"
#include "security/defaults_store.h"

#include <QDBusObjectPath>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vemdo {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktopInterface = QStringLiteral("org.freedesktop.portal.RemoteDesktop");

constexpr std::uint32_t keyboardDevice = 1;
constexpr std::uint32_t pointerDevice = 2;
// Remembered until the user revokes it.
constexpr std::uint32_t persistUntilRevoked = 2;
// The first version with persist_mode and restore tokens.
constexpr std::uint32_t restoreTokenVersion = 2;
constexpr std::uint32_t responseSuccess = 0;
constexpr std::uint32_t responseFailed = 2;

// A portal that restores a remembered session asks nobody, so its answer is worth waiting for at start.
constexpr auto restoreWait = std::chrono::seconds(5);

QVariant unsignedValue(std::uint32_t value) {
    return QVariant::fromValue(value);
}

} // namespace

struct PortalSession::Impl {
    PortalSession& self;
    DefaultsStore* store;
    DBusSessionBus bus{QStringLiteral("vemdo-portal")};
    std::unique_ptr<WaylandConnection> wayland;
    std::uint32_t version = 0;
    bool available = false;
    bool asked = false;
    unsigned requests = 0;
    // Set on the bus's thread before the session turns ready.
    QString session;

    std::mutex decisionMutex;
    std::condition_variable decided;

    Impl(PortalSession& owner, DefaultsStore* defaults) : self(owner), store(defaults) {}

    std::string storedToken() const {
        if (!store)
            return {};
        return store->data(restoreTokenKey).value_or(std::string());
    }

    // A portal request: the method's answer comes later, as the Response signal of a request object whose
    // path we choose through handle_token. Subscribed before the call, so that no answer can slip by.
    void request(const QString& method, QVariantList arguments, QVariantMap options,
                 std::function<void(std::uint32_t, const QVariantMap&)> answered) {
        const QString token = QStringLiteral("vemdo%1").arg(++requests);
        options.insert(QStringLiteral("handle_token"), token);
        QString sender = bus.connection().baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
        auto receiver = std::make_shared<DBusSignalReceiver*>(nullptr);
        *receiver = bus.subscribe(portalService, path, QStringLiteral("org.freedesktop.portal.Request"),
                                  QStringLiteral("Response"), [this, receiver, answered](const QDBusMessage& message) {
                                      bus.unsubscribe(*receiver);
                                      const QVariantList values = message.arguments();
                                      answered(values.isEmpty() ? responseFailed : values.at(0).toUInt(),
                                               variantMapArgument(message, 1));
                                  });
        arguments.append(options);
        if (bus.call(portalService, portalPath, remoteDesktopInterface, method, arguments).type() !=
            QDBusMessage::ReplyMessage) {
            bus.unsubscribe(*receiver);
            answered(responseFailed, {});
        }
    }

    // On the bus's thread from here on: the user's answer may take as long as the user likes.
    void createSession() {
        QVariantMap options{{QStringLiteral("session_handle_token"), QStringLiteral("vemdo")}};
        request(QStringLiteral("CreateSession"), {}, options, [this](std::uint32_t code, const QVariantMap& results) {
            const QVariant handle = results.value(QStringLiteral("session_handle"));
            const QString path =
                handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
            if (code != responseSuccess || path.isEmpty())
                return refuse();
            bus.subscribe(portalService, path, QStringLiteral("org.freedesktop.portal.Session"),
                          QStringLiteral("Closed"), [this](const QDBusMessage&) { closed(); });
            selectDevices(path);
        });
    }

    void selectDevices(const QString& path) {
        QVariantMap options{{QStringLiteral("types"), unsignedValue(keyboardDevice | pointerDevice)}};
        if (version >= restoreTokenVersion) {
            options.insert(QStringLiteral("persist_mode"), unsignedValue(persistUntilRevoked));
            const std::string token = storedToken();
            if (!token.empty())
                options.insert(QStringLiteral("restore_token"), QString::fromStdString(token));
        }
        request(QStringLiteral("SelectDevices"), {QVariant::fromValue(QDBusObjectPath(path))}, options,
                [this, path](std::uint32_t code, const QVariantMap&) {
                    if (code != responseSuccess)
                        return refuse();
                    start(path);
                });
    }

    void start(const QString& path) {
        request(QStringLiteral("Start"), {QVariant::fromValue(QDBusObjectPath(path)), QString()}, {},
                [this, path](std::uint32_t code, const QVariantMap& results) {
                    const std::uint32_t devices = results.value(QStringLiteral("devices")).toUInt();
                    if (version >= restoreTokenVersion && store) {
                        // The token handed in is spent either way: keep only the one handed back, if any.
                        store->setData(restoreTokenKey,
                                       results.value(QStringLiteral("restore_token")).toString().toStdString());
                    }
                    if (code != responseSuccess || (devices & (keyboardDevice | pointerDevice)) == 0)
                        return refuse();
                    session = path;
                    self.becomeReady();
                    announceDecision();
                });
    }

    void refuse() {
        self.setObstacle(InputObstacle::refused);
        std::fprintf(stderr, "vemdo: the desktop did not allow remote control through the portal; input stays off "
                             "until Vemdo Trackpad is started again\n");
        announceDecision();
    }

    void announceDecision() {
        // Taking the lock orders the new state before a waiter's check of it, so no wake-up is lost.
        { std::lock_guard lock(decisionMutex); }
        decided.notify_all();
    }

    void closed() {
        self.setObstacle(InputObstacle::connectionLost);
        std::fprintf(stderr, "vemdo: the desktop ended the portal's remote-desktop session\n");
    }

    // The posting thread calls only once the session is ready, which publishes `session` to it.
    void notify(const QString& method, QVariantList values, const QVariantMap& options = {}) {
        if (session.isEmpty())
            return;
        values.prepend(options);
        values.prepend(QVariant::fromValue(QDBusObjectPath(session)));
        bus.send(portalService, portalPath, remoteDesktopInterface, method, values);
    }
};

PortalSession::PortalSession(DefaultsStore* store) : m_impl(std::make_unique<Impl>(*this, store)) {
    Impl& m = *m_impl;
    if (!m.bus.connected()) {
        std::fprintf(stderr, "vemdo: no D-Bus session bus for the desktop portal\n");
        return;
    }
    // Reading a property starts the portal when it is started on demand.
    const QVariant version =
        m.bus.property(portalService, portalPath, remoteDesktopInterface, QStringLiteral("version"));
    const std::uint32_t devices =
        m.bus.property(portalService, portalPath, remoteDesktopInterface, QStringLiteral("AvailableDeviceTypes"))
            .toUInt();
    m.version = version.toUInt();
    m.available = version.isValid() && (devices & (keyboardDevice | pointerDevice)) != 0;
    if (!m.available) {
        setObstacle(InputObstacle::unsupportedCompositor);
        return;
    }
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display && *display) {
        m.wayland = std::make_unique<WaylandConnection>();
        m.wayland->start();
    }
    setObstacle(InputObstacle::awaitingApproval);
}

PortalSession::~PortalSession() = default;

bool PortalSession::available() const {
    return m_impl->available;
}

bool PortalSession::requestAccess() {
    Impl& m = *m_impl;
    if (!m.available || m.asked)
        return obstacle() == InputObstacle::none;
    m.asked = true;
    const bool restoring = m.version >= restoreTokenVersion && !m.storedToken().empty();
    m.bus.post([&m] { m.createSession(); });
    if (restoring) {
        std::unique_lock lock(m.decisionMutex);
        m.decided.wait_for(lock, restoreWait, [this] { return obstacle() != InputObstacle::awaitingApproval; });
    }
    return obstacle() == InputObstacle::none;
}

void PortalSession::settle() {
    m_impl->bus.property(portalService, portalPath, remoteDesktopInterface, QStringLiteral("version"));
}

std::vector<Rect> PortalSession::frames() const {
    if (!m_impl->wayland || !m_impl->wayland->alive())
        return {};
    return m_impl->wayland->outputFrames();
}

void PortalSession::motionRelative(double dx, double dy) {
    m_impl->notify(QStringLiteral("NotifyPointerMotion"), {dx, dy});
}

void PortalSession::button(std::uint16_t linuxButton, bool down) {
    m_impl->notify(QStringLiteral("NotifyPointerButton"), {int(linuxButton), unsignedValue(down ? 1 : 0)});
}

void PortalSession::axis(double dx, double dy, bool finish) {
    m_impl->notify(QStringLiteral("NotifyPointerAxis"), {dx, dy}, {{QStringLiteral("finish"), finish}});
}

void PortalSession::keysym(std::uint32_t keysym, bool down) {
    m_impl->notify(QStringLiteral("NotifyKeyboardKeysym"), {int(keysym), unsignedValue(down ? 1 : 0)});
}

void PortalSession::keycode(std::uint16_t linuxCode, bool down) {
    m_impl->notify(QStringLiteral("NotifyKeyboardKeycode"), {int(linuxCode), unsignedValue(down ? 1 : 0)});
}

} // namespace vemdo

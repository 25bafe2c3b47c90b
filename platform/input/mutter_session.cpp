// SPDX-License-Identifier: MIT
#include "platform/input/mutter_session.h"

#include "platform/input/dbus_session_bus.h"

#include <QDBusArgument>
#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace vemdo {

namespace {

const QString remoteDesktopService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString remoteDesktopPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
const QString sessionInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
const QString screenCastService = QStringLiteral("org.gnome.Mutter.ScreenCast");
const QString screenCastPath = QStringLiteral("/org/gnome/Mutter/ScreenCast");
const QString displayConfigService = QStringLiteral("org.gnome.Mutter.DisplayConfig");
const QString displayConfigPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");

// mutter's layout modes: logical monitors measured in logical pixels (scaled) or in physical ones.
constexpr std::uint32_t logicalLayoutMode = 1;

struct Monitor {
    QString connector;
    Rect frame;
};

// An absolute position in a stream is in the stream's pixels, from the top-left corner of its monitor.
struct Stream {
    QString path;
    QString connector;
    Rect frame;
    double scale = 1;
};

bool failed(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

QString objectPath(const QDBusMessage& reply) {
    if (failed(reply) || reply.arguments().isEmpty())
        return {};
    return qvariant_cast<QDBusObjectPath>(reply.arguments().at(0)).path();
}

// GetCurrentState's monitors, a((ssss)a(siiddada{sv})a{sv}): each connector's current mode size.
std::vector<std::pair<QString, std::pair<int, int>>> currentModes(const QDBusArgument& monitors) {
    std::vector<std::pair<QString, std::pair<int, int>>> modes;
    monitors.beginArray();
    while (!monitors.atEnd()) {
        monitors.beginStructure();
        QString connector, vendor, product, serial;
        monitors.beginStructure();
        monitors >> connector >> vendor >> product >> serial;
        monitors.endStructure();
        monitors.beginArray();
        while (!monitors.atEnd()) {
            QString id;
            int width = 0, height = 0;
            double refresh = 0, preferredScale = 0;
            QList<double> scales;
            QVariantMap properties;
            monitors.beginStructure();
            monitors >> id >> width >> height >> refresh >> preferredScale >> scales >> properties;
            monitors.endStructure();
            if (properties.value(QStringLiteral("is-current")).toBool())
                modes.push_back({connector, {width, height}});
        }
        monitors.endArray();
        QVariantMap properties;
        monitors >> properties;
        monitors.endStructure();
    }
    monitors.endArray();
    return modes;
}

} // namespace

struct MutterSession::Impl {
    MutterSession& self;
    DBusSessionBus bus{QStringLiteral("vemdo-mutter")};
    Availability availability = Availability::absent;

    mutable std::mutex mutex;
    std::vector<Monitor> monitors;
    QString sessionPath;
    std::vector<Stream> streams;
    DBusSignalReceiver* closedReceiver = nullptr;
    std::chrono::steady_clock::time_point setUpAt;
    std::atomic<bool> stopping = false;

    explicit Impl(MutterSession& owner) : self(owner) {}

    QString currentSession() const {
        std::lock_guard lock(mutex);
        return sessionPath;
    }

    void notify(const QString& method, const QVariantList& arguments) {
        const QString path = currentSession();
        if (!path.isEmpty())
            bus.send(remoteDesktopService, path, sessionInterface, method, arguments);
    }

    // The logical monitors as mutter lays them out, the primary one first.
    std::vector<Monitor> readMonitors() {
        QDBusMessage reply =
            bus.call(displayConfigService, displayConfigPath, QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                     QStringLiteral("GetCurrentState"));
        if (failed(reply) || reply.arguments().size() < 4)
            return {};
        const auto modes = currentModes(qvariant_cast<QDBusArgument>(reply.arguments().at(1)));
        const QVariantMap properties = variantMapArgument(reply, 3);
        const bool logical = properties.value(QStringLiteral("layout-mode")).toUInt() == logicalLayoutMode;

        std::vector<Monitor> found;
        const QDBusArgument logicalMonitors = qvariant_cast<QDBusArgument>(reply.arguments().at(2));
        logicalMonitors.beginArray();
        while (!logicalMonitors.atEnd()) {
            int x = 0, y = 0;
            double scale = 1;
            std::uint32_t transform = 0;
            bool primary = false;
            QStringList connectors;
            logicalMonitors.beginStructure();
            logicalMonitors >> x >> y >> scale >> transform >> primary;
            logicalMonitors.beginArray();
            while (!logicalMonitors.atEnd()) {
                QString connector, vendor, product, serial;
                logicalMonitors.beginStructure();
                logicalMonitors >> connector >> vendor >> product >> serial;
                logicalMonitors.endStructure();
                connectors.append(connector);
            }
            logicalMonitors.endArray();
            QVariantMap monitorProperties;
            logicalMonitors >> monitorProperties;
            logicalMonitors.endStructure();

            auto mode = std::find_if(modes.begin(), modes.end(), [&](const auto& entry) {
                return !connectors.isEmpty() && entry.first == connectors.first();
            });
            if (mode == modes.end() || scale <= 0)
                continue;
            double width = mode->second.first;
            double height = mode->second.second;
            // Odd transforms turn the monitor by a quarter.
            if (transform % 2 == 1)
                std::swap(width, height);
            if (logical) {
                width /= scale;
                height /= scale;
            }
            Monitor monitor{connectors.first(), {double(x), double(y), width, height}};
            found.insert(primary ? found.begin() : found.end(), monitor);
        }
        logicalMonitors.endArray();
        return found;
    }

    // Starts a session, with a screen cast of every monitor when mutter can make one; the session that
    // was running before ends. False when mutter would not start one.
    bool setUp() {
        setUpAt = std::chrono::steady_clock::now();
        tearDown();
        std::vector<Monitor> layout = readMonitors();
        {
            std::lock_guard lock(mutex);
            monitors = layout;
        }
        QString path;
        std::vector<Stream> recorded;
        if (!startSession(layout, true, path, recorded) && !startSession(layout, false, path, recorded))
            return false;
        {
            std::lock_guard lock(mutex);
            sessionPath = path;
            streams = recorded;
        }
        closedReceiver = bus.subscribe(remoteDesktopService, path, sessionInterface, QStringLiteral("Closed"),
                                       [this, path](const QDBusMessage&) { sessionClosed(path); });
        self.becomeReady();
        return true;
    }

    bool startSession(const std::vector<Monitor>& layout, bool withScreenCast, QString& path,
                      std::vector<Stream>& recorded) {
        QDBusMessage created =
            bus.call(remoteDesktopService, remoteDesktopPath, remoteDesktopService, QStringLiteral("CreateSession"));
        path = objectPath(created);
        if (path.isEmpty()) {
            return false;
        }
        recorded.clear();
        if (withScreenCast && !layout.empty()) {
            const QString id =
                bus.property(remoteDesktopService, path, sessionInterface, QStringLiteral("SessionId")).toString();
            QVariantMap options{{QStringLiteral("remote-desktop-session-id"), id}};
            const QString castPath = objectPath(bus.call(screenCastService, screenCastPath, screenCastService,
                                                         QStringLiteral("CreateSession"), {options}));
            for (const Monitor& monitor : layout) {
                if (castPath.isEmpty())
                    break;
                // Hidden: the cursor is not wanted in a stream that nobody watches.
                QVariantMap properties{{QStringLiteral("cursor-mode"), QVariant::fromValue(std::uint32_t(0))}};
                const QString stream = objectPath(
                    bus.call(screenCastService, castPath, QStringLiteral("org.gnome.Mutter.ScreenCast.Session"),
                             QStringLiteral("RecordMonitor"), {monitor.connector, properties}));
                if (!stream.isEmpty())
                    recorded.push_back({stream, monitor.connector, monitor.frame, 1});
            }
        }
        if (failed(bus.call(remoteDesktopService, path, sessionInterface, QStringLiteral("Start")))) {
            // Without PipeWire the screen cast, and with it the whole session, cannot start.
            bus.call(remoteDesktopService, path, sessionInterface, QStringLiteral("Stop"));
            return false;
        }
        for (Stream& stream : recorded) {
            // A stream of a scaled monitor counts in physical pixels.
            const QDBusArgument size = qvariant_cast<QDBusArgument>(
                bus.property(screenCastService, stream.path, QStringLiteral("org.gnome.Mutter.ScreenCast.Stream"),
                             QStringLiteral("Parameters"))
                    .toMap()
                    .value(QStringLiteral("size")));
            int width = 0, height = 0;
            if (size.currentType() == QDBusArgument::StructureType) {
                size.beginStructure();
                size >> width >> height;
                size.endStructure();
            }
            if (width > 0 && stream.frame.width > 0)
                stream.scale = width / stream.frame.width;
        }
        return true;
    }

    void tearDown() {
        if (closedReceiver) {
            bus.unsubscribe(closedReceiver);
            closedReceiver = nullptr;
        }
        QString path;
        {
            std::lock_guard lock(mutex);
            path = sessionPath;
            sessionPath.clear();
            streams.clear();
        }
        if (!path.isEmpty())
            bus.call(remoteDesktopService, path, sessionInterface, QStringLiteral("Stop"));
    }

    // On the bus's thread.
    void sessionClosed(const QString& path) {
        if (stopping || path != currentSession())
            return;
        self.setObstacle(InputObstacle::connectionLost);
        // A session that mutter ends at once again is not worth making a third time.
        if (std::chrono::steady_clock::now() - setUpAt < std::chrono::seconds(2) || !setUp()) {
            tearDown();
            self.setObstacle(InputObstacle::connectionLost);
            std::fprintf(stderr, "vemdo: mutter ended the remote-desktop session\n");
        }
    }

    // On the bus's thread.
    void monitorsChanged() {
        if (stopping)
            return;
        std::vector<Monitor> layout = readMonitors();
        std::vector<QString> wanted, casting;
        bool hadStreams = false;
        {
            std::lock_guard lock(mutex);
            monitors = layout;
            hadStreams = !streams.empty();
            for (const Stream& stream : streams)
                casting.push_back(stream.connector);
            for (Stream& stream : streams) {
                auto it = std::find_if(layout.begin(), layout.end(),
                                       [&](const Monitor& monitor) { return monitor.connector == stream.connector; });
                if (it != layout.end())
                    stream.frame = it->frame;
            }
        }
        for (const Monitor& monitor : layout)
            wanted.push_back(monitor.connector);
        std::sort(wanted.begin(), wanted.end());
        std::sort(casting.begin(), casting.end());
        // A monitor without a stream of its own could be reached only by relative motion.
        if (hadStreams && wanted != casting && self.obstacle() == InputObstacle::none && !setUp())
            self.setObstacle(InputObstacle::connectionLost);
    }
};

MutterSession::MutterSession() : m_impl(std::make_unique<Impl>(*this)) {
    Impl& m = *m_impl;
    if (!m.bus.connected()) {
        std::fprintf(stderr, "vemdo: no D-Bus session bus for GNOME's remote-desktop interface\n");
        return;
    }
    if (!m.bus.hasOwner(remoteDesktopService)) {
        setObstacle(InputObstacle::unsupportedCompositor);
        return;
    }
    m.availability = Availability::ready;
    if (!m.setUp()) {
        m.availability = Availability::refused;
        setObstacle(InputObstacle::unsupportedCompositor);
        std::fprintf(stderr, "vemdo: mutter would not start a remote-desktop session\n");
        return;
    }
    m.bus.subscribe(displayConfigService, displayConfigPath, QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                    QStringLiteral("MonitorsChanged"), [&m](const QDBusMessage&) { m.monitorsChanged(); });
    if (!hasScreenCast()) {
        std::fprintf(stderr, "vemdo: mutter cannot cast the screen (is PipeWire running?); the pointer moves by "
                             "relative motion from where it was last put\n");
    }
}

MutterSession::~MutterSession() {
    m_impl->stopping = true;
    m_impl->tearDown();
}

MutterSession::Availability MutterSession::availability() const {
    return m_impl->availability;
}

bool MutterSession::hasScreenCast() const {
    std::lock_guard lock(m_impl->mutex);
    return !m_impl->streams.empty();
}

void MutterSession::settle() {
    // mutter answers calls in the order they came, so an answer means everything before it was handled.
    m_impl->bus.property(remoteDesktopService, m_impl->currentSession(), sessionInterface, QStringLiteral("SessionId"));
}

std::vector<Rect> MutterSession::frames() const {
    std::lock_guard lock(m_impl->mutex);
    std::vector<Rect> frames;
    for (const Monitor& monitor : m_impl->monitors)
        frames.push_back(monitor.frame);
    return frames;
}

bool MutterSession::motionAbsolute(Point point) {
    QString session, stream;
    double x = 0, y = 0;
    {
        std::lock_guard lock(m_impl->mutex);
        session = m_impl->sessionPath;
        for (const Stream& candidate : m_impl->streams) {
            const Rect& frame = candidate.frame;
            if (point.x >= frame.x && point.x < frame.x + frame.width && point.y >= frame.y &&
                point.y < frame.y + frame.height) {
                stream = candidate.path;
                x = (point.x - frame.x) * candidate.scale;
                y = (point.y - frame.y) * candidate.scale;
                break;
            }
        }
    }
    if (session.isEmpty() || stream.isEmpty())
        return false;
    return m_impl->bus.send(remoteDesktopService, session, sessionInterface,
                            QStringLiteral("NotifyPointerMotionAbsolute"), {stream, x, y});
}

void MutterSession::motionRelative(double dx, double dy) {
    m_impl->notify(QStringLiteral("NotifyPointerMotionRelative"), {dx, dy});
}

void MutterSession::button(std::uint16_t linuxButton, bool down) {
    m_impl->notify(QStringLiteral("NotifyPointerButton"), {int(linuxButton), down});
}

void MutterSession::axis(double dx, double dy, bool finish) {
    // Flags: 1 ends the gesture, 4 says the source is a finger on a touchpad.
    const std::uint32_t flags = 4 | (finish ? 1 : 0);
    m_impl->notify(QStringLiteral("NotifyPointerAxis"), {dx, dy, QVariant::fromValue(flags)});
}

void MutterSession::keysym(std::uint32_t keysym, bool down) {
    m_impl->notify(QStringLiteral("NotifyKeyboardKeysym"), {QVariant::fromValue(keysym), down});
}

void MutterSession::keycode(std::uint16_t linuxCode, bool down) {
    m_impl->notify(QStringLiteral("NotifyKeyboardKeycode"), {QVariant::fromValue(std::uint32_t(linuxCode)), down});
}

} // namespace vemdo

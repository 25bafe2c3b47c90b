// SPDX-License-Identifier: MIT
#include "platform/input/input_backend_factory.h"

#include "platform/input/kwin_input_backend.h"
#include "platform/input/mutter_session.h"
#include "platform/input/portal_session.h"
#include "platform/input/remote_desktop_backend.h"
#include "platform/input/wayland_connection.h"
#include "platform/input/wlroots_input_backend.h"
#include "platform/input/x11_input_backend.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vemdo {

namespace {

// A Wayland desktop whose compositor offers nothing we speak (or none reachable): posts nothing and says why.
class UnavailableBackend final : public InputBackend {
public:
    UnavailableBackend(std::string name, InputObstacle obstacle) : m_name(std::move(name)), m_obstacle(obstacle) {}
    bool canPost() const override { return false; }
    InputObstacle obstacle() const override { return m_obstacle; }
    std::string name() const override { return m_name; }
    std::vector<Rect> screenFrames() const override { return {}; }
    std::optional<Point> pointerLocation() const override { return std::nullopt; }
    bool postMotion(Point) override { return false; }
    bool postButton(const ButtonEvent&) override { return false; }
    bool postScroll(const ScrollEvent&) override { return false; }
    bool postKey(const KeyEvent&) override { return false; }

private:
    std::string m_name;
    InputObstacle m_obstacle;
};

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool waylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return set("WAYLAND_DISPLAY") || (type && std::string_view(type) == "wayland");
}

std::unique_ptr<InputBackend> remoteDesktop(std::unique_ptr<RemoteDesktopSession> session) {
    return std::make_unique<RemoteDesktopInputBackend>(std::move(session));
}

// GNOME through mutter's own interface, which asks nobody; else any desktop through the portal, which asks
// the user. Newer mutter keeps its interface for the portal and its own programs: that, too, means the portal.
std::unique_ptr<InputBackend> remoteDesktopBackend(DefaultsStore* store) {
    auto mutter = std::make_unique<MutterSession>();
    if (mutter->availability() == MutterSession::Availability::ready)
        return remoteDesktop(std::move(mutter));
    mutter.reset();
    auto portal = std::make_unique<PortalSession>(store);
    if (portal->available())
        return remoteDesktop(std::move(portal));
    return std::make_unique<UnavailableBackend>("Wayland", InputObstacle::unsupportedCompositor);
}

std::unique_ptr<InputBackend> waylandBackend(InputBackendChoice choice, DefaultsStore* store) {
    auto connection = std::make_unique<WaylandConnection>();
    if (!connection->alive()) {
        return std::make_unique<UnavailableBackend>(choice == InputBackendChoice::kwin ? "KWin" : "wlroots",
                                                    InputObstacle::noDesktop);
    }
    if (choice == InputBackendChoice::automatic) {
        if (WlrootsInputBackend::suits(*connection))
            choice = InputBackendChoice::wlroots;
        else if (connection->findGlobal("org_kde_kwin_fake_input") || connection->looksLikeKWin())
            choice = InputBackendChoice::kwin;
        else
            return remoteDesktopBackend(store);
    }
    if (choice == InputBackendChoice::kwin)
        return std::make_unique<KWinInputBackend>(std::move(connection));
    return std::make_unique<WlrootsInputBackend>(std::move(connection));
}

} // namespace

std::unique_ptr<InputBackend> makeInputBackend(InputBackendChoice choice, DefaultsStore* store) {
    std::unique_ptr<InputBackend> backend;
    if (choice == InputBackendChoice::gnome) {
        backend = remoteDesktop(std::make_unique<MutterSession>());
    } else if (choice == InputBackendChoice::portal) {
        backend = remoteDesktop(std::make_unique<PortalSession>(store));
    } else if (choice == InputBackendChoice::x11 || (choice == InputBackendChoice::automatic && !waylandSession())) {
        backend = std::make_unique<X11InputBackend>();
    } else {
        backend = waylandBackend(choice, store);
        // A Wayland session whose compositor cannot be reached may still have a real X server.
        if (choice == InputBackendChoice::automatic && backend->obstacle() == InputObstacle::noDesktop &&
            set("DISPLAY"))
            backend = std::make_unique<X11InputBackend>();
    }
    // The portal asks the user later, at the launch-time question.
    if (!backend->canPost() && backend->obstacle() != InputObstacle::awaitingApproval) {
        std::fprintf(stderr, "vemdo: input cannot be injected (%s backend): %s\n", backend->name().c_str(),
                     backend->unavailableReason().c_str());
    }
    return backend;
}

} // namespace vemdo

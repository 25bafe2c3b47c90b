// SPDX-License-Identifier: MIT
#include "platform/input/kwin_input_backend.h"

#include "platform/input/key_map.h"
#include "platform/input/wayland_connection.h"

#include "fake-input-client-protocol.h"

#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <cmath>
#include <map>
#include <set>

namespace vemdo {

namespace {

// Absolute motion came with version 3 of the interface, keys with version 4.
constexpr std::uint32_t absoluteMotionVersion = 3;
constexpr std::uint32_t keysVersion = 4;
constexpr std::uint32_t released = 0;
constexpr std::uint32_t pressed = 1;

} // namespace

struct KWinInputBackend::Impl {
    std::unique_ptr<WaylandConnection> connection;
    org_kde_kwin_fake_input* fakeInput = nullptr;
    bool keys = false;
    std::optional<Point> lastPosted;
    std::set<std::uint16_t> held;
    std::map<char32_t, KeyPosition> textKeysDown;

    bool usable() const { return fakeInput && connection->alive(); }

    // False, with nothing sent, for a position that is not a number.
    bool moveTo(Point position) {
        if (!std::isfinite(position.x) || !std::isfinite(position.y))
            return false;
        org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput, wl_fixed_from_double(position.x),
                                                        wl_fixed_from_double(position.y));
        lastPosted = position;
        return true;
    }

    void key(std::uint16_t linuxCode, bool down) {
        org_kde_kwin_fake_input_keyboard_key(fakeInput, linuxCode, down ? pressed : released);
        if (down)
            held.insert(linuxCode);
        else
            held.erase(linuxCode);
    }

    // Presses or releases a key of the user's layout, with Shift around the press when the layout needs it.
    void press(const KeyPosition& position, bool down) {
        const bool shift = position.shift && down && !held.count(KEY_LEFTSHIFT) && !held.count(KEY_RIGHTSHIFT);
        if (shift)
            key(KEY_LEFTSHIFT, true);
        key(position.linuxCode, down);
        if (shift)
            key(KEY_LEFTSHIFT, false);
    }
};

KWinInputBackend::KWinInputBackend(std::unique_ptr<WaylandConnection> connection) : m_impl(std::make_unique<Impl>()) {
    Impl& m = *m_impl;
    m.connection = std::move(connection);
    if (!m.connection->alive())
        return;
    const auto* global = m.connection->findGlobal(org_kde_kwin_fake_input_interface.name);
    if (!global || global->version < absoluteMotionVersion)
        return;
    m.fakeInput = static_cast<org_kde_kwin_fake_input*>(
        m.connection->bind(org_kde_kwin_fake_input_interface.name, &org_kde_kwin_fake_input_interface, keysVersion));
    m.keys = global->version >= keysVersion;
    org_kde_kwin_fake_input_authenticate(m.fakeInput, "Vemdo Trackpad",
                                         "Lets a phone act as this computer's trackpad and keyboard");
    if (!m.connection->roundtrip()) {
        m.fakeInput = nullptr;
        return;
    }
    m.connection->start();
}

KWinInputBackend::~KWinInputBackend() {
    Impl& m = *m_impl;
    if (m.usable()) {
        for (std::uint16_t code : std::set<std::uint16_t>(m.held))
            m.key(code, false);
        m.connection->flush();
    }
    if (m.fakeInput)
        org_kde_kwin_fake_input_destroy(m.fakeInput);
}

bool KWinInputBackend::canPost() const {
    return m_impl->usable();
}

InputObstacle KWinInputBackend::obstacle() const {
    const Impl& m = *m_impl;
    if (m.usable())
        return InputObstacle::none;
    if (m.fakeInput)
        return InputObstacle::connectionLost;
    if (m.connection->alive())
        return InputObstacle::kwinNotAuthorized;
    return InputObstacle::noDesktop;
}

std::vector<Rect> KWinInputBackend::screenFrames() const {
    if (!m_impl->connection->alive())
        return {};
    return m_impl->connection->outputFrames();
}

std::optional<Point> KWinInputBackend::pointerLocation() const {
    return m_impl->lastPosted;
}

bool KWinInputBackend::postMotion(Point position) {
    Impl& m = *m_impl;
    return m.usable() && m.moveTo(position) && m.connection->flush();
}

bool KWinInputBackend::postButton(const ButtonEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable() || !m.moveTo(event.position))
        return false;
    org_kde_kwin_fake_input_button(m.fakeInput, linuxButton(event.button), event.down ? pressed : released);
    return m.connection->flush();
}

bool KWinInputBackend::postScroll(const ScrollEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    // By the pixel: KWin's fake axis is continuous. Our positive values scroll up and left; Wayland's
    // scroll down and right.
    if (event.vertical != 0) {
        org_kde_kwin_fake_input_axis(m.fakeInput, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                     wl_fixed_from_double(-double(event.vertical)));
    }
    if (event.horizontal != 0) {
        org_kde_kwin_fake_input_axis(m.fakeInput, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                     wl_fixed_from_double(-double(event.horizontal)));
    }
    return m.connection->flush();
}

bool KWinInputBackend::postKey(const KeyEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable() || !m.keys)
        return false;

    if (event.unicode) {
        const char32_t scalar = *event.unicode;
        auto position = pairTextKey(m.textKeysDown, scalar, event.down, [&] {
            auto found = findKey(m.connection->userKeymap(), keysymForScalar(scalar));
            // Typing some other character in its place would be worse than leaving it out.
            if (!found)
                warnTextDropped(name());
            return found;
        });
        if (!position)
            return false;
        m.press(*position, event.down);
        return m.connection->flush();
    }

    auto position = keyForPhoneCode(m.connection->userKeymap(), event.keyCode);
    if (!position)
        return false;
    // Control goes around the key unless it is already held.
    const bool command = event.control && !m.held.count(KEY_LEFTCTRL) && !m.held.count(KEY_RIGHTCTRL);
    if (command)
        m.key(KEY_LEFTCTRL, true);
    m.press(*position, event.down);
    if (command)
        m.key(KEY_LEFTCTRL, false);
    return m.connection->flush();
}

} // namespace vemdo

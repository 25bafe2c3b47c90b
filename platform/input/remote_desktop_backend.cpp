// SPDX-License-Identifier: MIT
#include "platform/input/remote_desktop_backend.h"

#include "platform/input/key_map.h"
#include "platform/input/wayland_connection.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <cmath>
#include <cstdlib>

namespace vemdo {

RemoteDesktopSession::~RemoteDesktopSession() {
    if (m_keymap)
        xkb_keymap_unref(m_keymap);
}

void RemoteDesktopSession::becomeReady() {
    // Shift alone does nothing on any desktop, and a motion by nothing leaves the pointer where it is.
    keysym(XKB_KEY_Shift_L, true);
    keysym(XKB_KEY_Shift_L, false);
    motionRelative(0, 0);
    settle();
    if (!m_keymap) {
        // The layout the compositor hands its clients, which now include a keyboard of ours.
        const char* display = std::getenv("WAYLAND_DISPLAY");
        std::unique_ptr<WaylandConnection> wayland;
        if (display && *display)
            wayland = std::make_unique<WaylandConnection>();
        xkb_keymap* keymap = wayland && wayland->alive() ? wayland->userKeymap() : defaultKeymap();
        m_keymap = keymap ? xkb_keymap_ref(keymap) : nullptr;
    }
    setObstacle(m_keymap ? InputObstacle::none : InputObstacle::noDesktop);
}

RemoteDesktopInputBackend::RemoteDesktopInputBackend(std::unique_ptr<RemoteDesktopSession> session)
    : m_session(std::move(session)) {}

RemoteDesktopInputBackend::~RemoteDesktopInputBackend() {
    if (!canPost())
        return;
    for (std::uint16_t button : m_heldButtons)
        m_session->button(button, false);
    for (std::uint16_t code : m_heldKeycodes)
        m_session->keycode(code, false);
    for (std::uint32_t keysym : m_heldKeysyms)
        m_session->keysym(keysym, false);
}

std::vector<Rect> RemoteDesktopInputBackend::screenFrames() const {
    return m_session->frames();
}

std::optional<Point> RemoteDesktopInputBackend::pointerLocation() const {
    {
        std::lock_guard lock(m_positionMutex);
        if (m_lastPosted)
            return m_lastPosted;
    }
    std::vector<Rect> frames = m_session->frames();
    if (frames.empty())
        return std::nullopt;
    return Point{frames[0].x + std::floor(frames[0].width / 2), frames[0].y + std::floor(frames[0].height / 2)};
}

bool RemoteDesktopInputBackend::moveTo(Point position) {
    if (!canPost() || !std::isfinite(position.x) || !std::isfinite(position.y))
        return false;
    if (!m_session->motionAbsolute(position)) {
        // Relative motion lands where we mean only while the desktop's pointer is where we left it.
        if (auto origin = pointerLocation()) {
            const double dx = position.x - origin->x;
            const double dy = position.y - origin->y;
            if (dx != 0 || dy != 0)
                m_session->motionRelative(dx, dy);
        }
    }
    std::lock_guard lock(m_positionMutex);
    m_lastPosted = position;
    return true;
}

bool RemoteDesktopInputBackend::postMotion(Point position) {
    return moveTo(position);
}

bool RemoteDesktopInputBackend::postButton(const ButtonEvent& event) {
    if (!moveTo(event.position))
        return false;
    const std::uint16_t button = linuxButton(event.button);
    m_session->button(button, event.down);
    if (event.down)
        m_heldButtons.insert(button);
    else
        m_heldButtons.erase(button);
    return true;
}

bool RemoteDesktopInputBackend::postScroll(const ScrollEvent& event) {
    if (!canPost())
        return false;
    // Our positive values scroll up and left; the desktop's scroll down and right.
    if (event.vertical != 0 || event.horizontal != 0) {
        m_session->axis(-double(event.horizontal), -double(event.vertical), false);
        m_scrolling = true;
    }
    return true;
}

bool RemoteDesktopInputBackend::postScrollEnd() {
    if (!canPost())
        return false;
    if (m_scrolling)
        m_session->axis(0, 0, true);
    m_scrolling = false;
    return true;
}

void RemoteDesktopInputBackend::key(std::uint32_t keysym, bool down) {
    m_session->keysym(keysym, down);
    if (down)
        m_heldKeysyms.insert(keysym);
    else
        m_heldKeysyms.erase(keysym);
}

bool RemoteDesktopInputBackend::postKey(const KeyEvent& event) {
    if (!canPost())
        return false;

    if (event.unicode) {
        const std::uint32_t keysym = keysymForScalar(*event.unicode);
        if (!event.down) {
            if (!m_heldKeysyms.count(keysym))
                return false;
            key(keysym, false);
            return true;
        }
        if (!findKey(m_session->keymap(), keysym)) {
            // The desktop would drop it too, silently; typing some other character instead would be worse.
            warnTextDropped(name());
            return false;
        }
        key(keysym, true);
        return true;
    }

    auto meaning = keyMeaning(event.keyCode);
    if (!meaning)
        return false;
    // Control goes around the key unless it is already held.
    const bool command = event.control && !m_heldKeysyms.count(XKB_KEY_Control_L) &&
                         !m_heldKeysyms.count(XKB_KEY_Control_R) && !m_heldKeycodes.count(KEY_LEFTCTRL) &&
                         !m_heldKeycodes.count(KEY_RIGHTCTRL);
    if (command)
        key(XKB_KEY_Control_L, true);
    if (findKey(m_session->keymap(), meaning->keysym)) {
        key(meaning->keysym, event.down);
    } else {
        // A key the layout has no symbol for still has its place on the keyboard.
        m_session->keycode(meaning->linuxCode, event.down);
        if (event.down)
            m_heldKeycodes.insert(meaning->linuxCode);
        else
            m_heldKeycodes.erase(meaning->linuxCode);
    }
    if (command)
        key(XKB_KEY_Control_L, false);
    return true;
}

} // namespace vemdo

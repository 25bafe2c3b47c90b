// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct xkb_keymap;

namespace vemdo {

// A remote-desktop session that a desktop grants over D-Bus (mutter's own interface, or the desktop
// portal's): the verbs both offer. Posting verbs send and do not wait; the desktop handles them in order.
//
// Threads: obstacle() and frames() from any thread; the posting verbs from one thread at a time.
class RemoteDesktopSession {
public:
    virtual ~RemoteDesktopSession();

    virtual std::string name() const = 0;
    // none while the session can take input.
    InputObstacle obstacle() const { return m_obstacle.load(std::memory_order_acquire); }
    // The launch-time question (see InputBackend::requestAccess).
    virtual bool requestAccess() { return obstacle() == InputObstacle::none; }
    // The monitors' logical rectangles, the primary one first.
    virtual std::vector<Rect> frames() const = 0;

    // Moves the pointer to a point of the desktop; false when the session cannot place the pointer there
    // (no screen-cast stream covers it), and then nothing was sent.
    virtual bool motionAbsolute(Point) { return false; }
    virtual void motionRelative(double dx, double dy) = 0;
    virtual void button(std::uint16_t linuxButton, bool down) = 0;
    // Scrolls by the pixel, as a touchpad does: positive values scroll down or right. `finish` ends the
    // scroll gesture (sent with no motion).
    virtual void axis(double dx, double dy, bool finish) = 0;
    // The desktop finds the key (and the Shift or AltGr it needs) on the user's layout.
    virtual void keysym(std::uint32_t keysym, bool down) = 0;
    virtual void keycode(std::uint16_t linuxCode, bool down) = 0;

    // The layout the desktop types with, read when the session became ready; never null once it is.
    xkb_keymap* keymap() const { return m_keymap; }

protected:
    // For a session the desktop has just granted: makes the desktop add our pointer and keyboard to the
    // seat now (it adds them only at their first use, and a client that binds the keyboard late loses the
    // keys sent meanwhile), reads the layout, then opens the session for posting.
    void becomeReady();
    // Waits until the desktop has handled everything sent so far.
    virtual void settle() {}
    void setObstacle(InputObstacle obstacle) { m_obstacle.store(obstacle, std::memory_order_release); }

private:
    std::atomic<InputObstacle> m_obstacle{InputObstacle::noDesktop};
    xkb_keymap* m_keymap = nullptr;
};

// Posts input through a remote-desktop session: absolute motion where the session can, else relative
// motion from the position last posted; buttons; scrolling by the pixel; keys and text by keysym through the user's
// layout. Text with a character the layout lacks is left out with one warning.
//
// Wayland tells no client where the pointer is: pointerLocation() is the position last posted, and before
// the first post a guess, the middle of the primary monitor. Where only relative motion is possible, the
// desktop's pointer and ours may differ by that guess's error until the first stop at a screen edge, where
// the desktop stops its pointer as the injector stops the tracked position.
//
// Threads: canPost() and screenFrames() from any thread; posting from one thread at a time.
class RemoteDesktopInputBackend final : public InputBackend {
public:
    explicit RemoteDesktopInputBackend(std::unique_ptr<RemoteDesktopSession> session);
    ~RemoteDesktopInputBackend() override;
    RemoteDesktopInputBackend(const RemoteDesktopInputBackend&) = delete;
    RemoteDesktopInputBackend& operator=(const RemoteDesktopInputBackend&) = delete;

    bool canPost() const override { return m_session->obstacle() == InputObstacle::none; }
    InputObstacle obstacle() const override { return m_session->obstacle(); }
    std::string name() const override { return m_session->name(); }
    bool requestAccess() override { return m_session->requestAccess(); }
    std::vector<Rect> screenFrames() const override;
    std::optional<Point> pointerLocation() const override;
    bool postMotion(Point position) override;
    bool postButton(const ButtonEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postScrollEnd() override;
    bool postKey(const KeyEvent& event) override;

private:
    // Absolute where the session can, else relative; false, with nothing sent, when input is not possible.
    bool moveTo(Point position);
    void key(std::uint32_t keysym, bool down);

    std::unique_ptr<RemoteDesktopSession> m_session;
    mutable std::mutex m_positionMutex;
    std::optional<Point> m_lastPosted;
    bool m_scrolling = false;
    std::set<std::uint32_t> m_heldKeysyms;
    std::set<std::uint16_t> m_heldKeycodes;
    std::set<std::uint16_t> m_heldButtons;
};

} // namespace vemdo

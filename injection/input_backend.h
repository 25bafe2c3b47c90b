// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// All positions and rectangles share one space: the desktop's, origin at the top-left corner, y growing
// downwards, in the window system's pixels. Screen frames, the pointer location and posted positions are
// all in it, so no conversion happens anywhere between them.
struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

enum class PointerButton : std::uint8_t { left, right, middle };

// A pointer button going down or up, with the pointer at `position` (the backend moves it there first).
struct ButtonEvent {
    PointerButton button = PointerButton::left;
    bool down = false;
    Point position;
    friend bool operator==(const ButtonEvent&, const ButtonEvent&) = default;
};

// One scroll in pixel units. Positive `vertical` scrolls up (content moves down), positive `horizontal`
// scrolls left.
struct ScrollEvent {
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

// One key going down or up. `keyCode` is the phone's virtual key code (55 is its Command key). `control`
// holds Control down around the key (unless it is held already): the phone's Command shortcuts are Control
// shortcuts here. `unicode`, when set, is the one Unicode scalar the event types instead of whatever
// `keyCode` would type; such events carry key code 0.
struct KeyEvent {
    std::uint16_t keyCode = 0;
    bool down = false;
    bool control = false;
    std::optional<char32_t> unicode;
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

// How much of a run of keys a backend can send now: the first `count`; the rest no earlier than `retryAfter`
// seconds from now.
struct KeysReady {
    std::size_t count = 0;
    double retryAfter = 0;
};

// Why a backend cannot post, as far as it tells what the user can do about it.
enum class InputObstacle : std::uint8_t {
    none,
    // Nothing to post to: no display, no compositor, or one that cannot be reached.
    noDesktop,
    // An X server without the XTEST extension.
    noXTest,
    // An X server that is Xwayland: its input reaches only X11 windows, never the Wayland desktop.
    xwayland,
    // KDE Plasma offers fake input only to programs whose installed desktop file asks for it.
    kwinNotAuthorized,
    // A Wayland compositor that offers none of the input protocols we speak.
    unsupportedCompositor,
    // The connection to the display or compositor broke after start, or the desktop ended our session.
    connectionLost,
    // The desktop asked the user whether to allow remote control and has no answer yet.
    awaitingApproval,
    // The user (or the desktop on the user's behalf) did not allow remote control; final for this run.
    refused,
};

// Why input cannot be posted, in words for the terminal; empty for none.
std::string_view obstacleReason(InputObstacle obstacle);

// Which backend to use: chosen from the session, or named on the command line.
enum class InputBackendChoice : std::uint8_t { automatic, x11, wlroots, kwin, gnome, portal };

// The seam between the injector, which decides what to post, and the window system, which receives it.
//
// Threads: canPost() may be asked from any thread at any time. Everything else belongs to the one
// thread that injects (the transport thread) and is never called concurrently.
//
// Failure: nothing throws. A post returns false when the event could not be made or delivered (no
// display, an unknown key code); the caller simply goes on.
class InputBackend {
public:
    virtual ~InputBackend() = default;

    // True when this process can post input events now (the window system is reachable and lets us).
    virtual bool canPost() const = 0;
    // Why canPost() is false; none while it is true.
    virtual InputObstacle obstacle() const { return canPost() ? InputObstacle::none : InputObstacle::noDesktop; }
    // Why canPost() is false, in words for the terminal: the obstacle's reason, or more where the backend
    // knows more (which display could not be opened, say).
    virtual std::string unavailableReason() const { return std::string(obstacleReason(obstacle())); }
    // The backend's name for the user ("X11", "wlroots", "KWin", "GNOME", "portal"); empty when it has none.
    virtual std::string name() const { return {}; }
    // The launch-time question, asked once per process: a backend whose desktop asks the user (the portal)
    // asks here and may answer before the user has decided; true when input is possible now.
    virtual bool requestAccess() { return canPost(); }

    // The frames of all attached screens, in the system's order; empty when there is no screen.
    virtual std::vector<Rect> screenFrames() const = 0;
    // Where the pointer is now; no value when it cannot be read.
    virtual std::optional<Point> pointerLocation() const = 0;

    // Moves the pointer to `position`.
    virtual bool postMotion(Point position) = 0;
    virtual bool postButton(const ButtonEvent& event) = 0;
    virtual bool postScroll(const ScrollEvent& event) = 0;
    virtual bool postKey(const KeyEvent& event) = 0;

    // Gets the first of `keys` ready to be posted (a text's characters onto keys of their own, say), as many
    // as it can without changing how a program still reading an earlier key reads it; those are then
    // posted, in order, before the next call. A key it can never post counts as ready (posting it fails).
    // The default: all of them, at once.
    virtual KeysReady prepareKeys(std::span<const KeyEvent> keys) { return {keys.size(), 0}; }
    // Typing has paused: puts the user's keyboard back as it was, as far as that is safe now. Returns the
    // seconds after which to call again, 0 when nothing is left to put back.
    virtual double restoreKeyboard() { return 0; }
    // The phone's scrolling paused: the end of a scroll gesture, for desktops that scroll by the pixel.
    virtual bool postScrollEnd() { return true; }
};

} // namespace vemdo

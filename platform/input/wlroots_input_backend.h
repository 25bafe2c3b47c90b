// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <memory>

namespace vemdo {

class WaylandConnection;

// Posts input into a wlroots compositor (sway, Hyprland, river, Wayfire, labwc) through a virtual pointer
// and a virtual keyboard, both made at construction: a seat that gains a keyboard only at our first key
// would lose the keys sent while its clients bind it.
//
// Positions are absolute over the output layout (the union of the outputs' logical rectangles). Scrolling
// is by the pixel with source finger, as a touchpad's, ended by an axis stop. Keys go
// through the user's keymap; text goes through keymaps of our own that hold the characters typed, so any
// scalar, emoji included, can be typed; the user's keymap is put back before the next ordinary key.
// Wayland tells no client where the pointer is, so pointerLocation() is the position last posted.
//
// Threads: canPost() and screenFrames() from any thread; posting from one thread at a time.
// Failure: a compositor without the two managers gives a backend that cannot post; one that goes away later
// leaves it unable to post.
class WlrootsInputBackend final : public InputBackend {
public:
    explicit WlrootsInputBackend(std::unique_ptr<WaylandConnection> connection);
    ~WlrootsInputBackend() override;
    WlrootsInputBackend(const WlrootsInputBackend&) = delete;
    WlrootsInputBackend& operator=(const WlrootsInputBackend&) = delete;

    bool canPost() const override;
    InputObstacle obstacle() const override;
    std::string name() const override { return "wlroots"; }
    std::vector<Rect> screenFrames() const override;
    std::optional<Point> pointerLocation() const override;
    bool postMotion(Point position) override;
    bool postButton(const ButtonEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postScrollEnd() override;
    bool postKey(const KeyEvent& event) override;
    KeysReady prepareKeys(std::span<const KeyEvent> keys) override;

    // Whether a compositor offers what this backend needs.
    static bool suits(const WaylandConnection& connection);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vemdo {

// Posts input into an X11 display through the XTEST extension.
//
// Positions are the root window's pixels (top-left origin), which is also the space of the RandR monitors
// and of XQueryPointer. Posted positions are clamped to the root window, because XTest coordinates are
// 16-bit on the wire. Key codes are the phone's virtual key codes, translated through one keysym table;
// characters without a key of the user's are typed through the keycodes the map leaves empty (spares),
// mapped to the characters of a text in batches, least recently used first, and emptied again once
// typing has paused.
//
// Threads: canPost() from any thread; everything else from one thread at a time (the transport thread).
// Failure: a display that cannot be opened, lacks XTEST or is Xwayland gives an backend that cannot post that
// posts nothing.
// A connection that breaks later leaves a backend that cannot post instead of ending the process.
class X11InputBackend final : public InputBackend {
public:
    // A spare keycode typed on is not mapped to another character, or emptied, for at least this long,
    // and for this many round trips to the server when that is longer: clients look a key up in the map
    // only when they get around to reading its event. Once the program typed into has answered a ping sent
    // after the key, only the shorter delay holds, for what other processes (an input method) look up.
    static constexpr double spareKeycodeReuseDelay = 0.1;
    static constexpr double spareReuseRoundTrips = 50;
    static constexpr double confirmedSpareReuseDelay = 0.05;
    // How long the program typed into may take to answer a ping before only time frees spares again, and
    // how often its answer is looked for.
    static constexpr double pingTimeout = 2;
    static constexpr double pongPoll = 0.005;

    // Opens the named display, or the one named by DISPLAY when null.
    explicit X11InputBackend(const char* displayName = nullptr);
    ~X11InputBackend() override;
    X11InputBackend(const X11InputBackend&) = delete;
    X11InputBackend& operator=(const X11InputBackend&) = delete;

    bool canPost() const override;
    InputObstacle obstacle() const override;
    std::string name() const override { return "X11"; }
    std::vector<Rect> screenFrames() const override;
    std::optional<Point> pointerLocation() const override;
    bool postMotion(Point position) override;
    bool postButton(const ButtonEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;
    KeysReady prepareKeys(std::span<const KeyEvent> keys) override;
    double restoreKeyboard() override;
    std::string unavailableReason() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

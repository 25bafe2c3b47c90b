// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <memory>

namespace vemdo {

class WaylandConnection;

// Posts input into KDE Plasma's compositor, KWin, through its fake input interface: absolute motion,
// buttons, axis and keys by Linux key code.
//
// KWin offers the interface only to a program whose installed desktop file declares
// X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input; without it the backend cannot post. Keys and text go
// through the user's keymap, so text can hold only characters the layout has; others are dropped with
// one warning. Wayland tells no client where the pointer is, so pointerLocation() is the position last
// posted.
//
// Threads: canPost() and screenFrames() from any thread; posting from one thread at a time.
class KWinInputBackend final : public InputBackend {
public:
    explicit KWinInputBackend(std::unique_ptr<WaylandConnection> connection);
    ~KWinInputBackend() override;
    KWinInputBackend(const KWinInputBackend&) = delete;
    KWinInputBackend& operator=(const KWinInputBackend&) = delete;

    bool canPost() const override;
    InputObstacle obstacle() const override;
    std::string name() const override { return "KWin"; }
    std::vector<Rect> screenFrames() const override;
    std::optional<Point> pointerLocation() const override;
    bool postMotion(Point position) override;
    bool postButton(const ButtonEvent& event) override;
    bool postScroll(const ScrollEvent& event) override;
    bool postKey(const KeyEvent& event) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/input/remote_desktop_backend.h"

#include <memory>

namespace vemdo {

// GNOME's compositor, mutter, through its own remote-desktop interface on the session bus
// (org.gnome.Mutter.RemoteDesktop): no dialog. Absolute motion goes through a screen-cast stream of each
// monitor (org.gnome.Mutter.ScreenCast), which needs a running PipeWire; without one the session takes
// relative motion only. Monitor frames come from mutter's display configuration and follow its changes; a
// session that mutter ends (a recorded monitor unplugged, say) is made again.
//
// Failure: no session bus, no mutter or a refused session give a session that is not ready, with one line
// on standard error saying why.
class MutterSession final : public RemoteDesktopSession {
public:
    enum class Availability { ready, absent, refused };

    MutterSession();
    ~MutterSession() override;

    // absent: mutter's interface is not on the bus; refused: it is, but would not make us a session (newer
    // mutter keeps it for the portal and its own programs).
    Availability availability() const;

    std::string name() const override { return "GNOME"; }
    std::vector<Rect> frames() const override;
    bool motionAbsolute(Point point) override;
    void motionRelative(double dx, double dy) override;
    void button(std::uint16_t linuxButton, bool down) override;
    void axis(double dx, double dy, bool finish) override;
    void keysym(std::uint32_t keysym, bool down) override;
    void keycode(std::uint16_t linuxCode, bool down) override;

    // Whether absolute motion is possible now.
    bool hasScreenCast() const;

protected:
    void settle() override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "platform/input/remote_desktop_backend.h"

#include <memory>

namespace vemdo {

class DefaultsStore;

// Any desktop through the desktop portal's remote-desktop interface (org.freedesktop.portal.RemoteDesktop):
// one session for the life of the process with a keyboard and a pointer, which the desktop asks the user
// to allow. Nothing is asked before requestAccess(), and nothing again after the user's answer: a refusal
// holds for the rest of the run.
//
// Where the portal's interface is version 2 or later, the session asks to be remembered until the user
// revokes it; the portal answers with a restore token, kept in the store and handed back at the next
// start, when the portal grants without asking. A token is good for one start only: each start stores the
// one it gets back. Version 1 (xdg-desktop-portal before 1.17) asks at every start.
//
// The portal moves the pointer only relative to where it is; monitor frames come from the Wayland
// compositor named by WAYLAND_DISPLAY.
class PortalSession final : public RemoteDesktopSession {
public:
    // The store's key for the restore token.
    static constexpr const char* restoreTokenKey = "com.vemdo.portalRestoreToken";

    // `store`, when not null, keeps the restore token between runs.
    explicit PortalSession(DefaultsStore* store);
    ~PortalSession() override;

    // Whether the portal offers remote desktop with a keyboard and a pointer.
    bool available() const;

    std::string name() const override { return "portal"; }
    bool requestAccess() override;
    std::vector<Rect> frames() const override;
    void motionRelative(double dx, double dy) override;
    void button(std::uint16_t linuxButton, bool down) override;
    void axis(double dx, double dy, bool finish) override;
    void keysym(std::uint32_t keysym, bool down) override;
    void keycode(std::uint16_t linuxCode, bool down) override;

protected:
    void settle() override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

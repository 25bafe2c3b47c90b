// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct wl_interface;
struct wl_seat;
struct xkb_keymap;

namespace vemdo {

// One client connection to a Wayland compositor, shared by the Wayland input backends: the compositor's
// globals, the outputs' logical geometry as they come and go, the seat, and the user's keymap.
//
// Threads: made and prepared on one thread; after start() a thread of its own reads and dispatches the
// compositor's events, while requests may be sent from the injecting thread (libwayland serialises them).
// outputFrames() and alive() may be asked from any thread.
// Failure: a compositor that cannot be reached gives a connection that is not alive; one that goes away
// later turns it not alive. Nothing ends the process.
class WaylandConnection final {
public:
    struct Global {
        std::uint32_t name = 0;
        std::string interface;
        std::uint32_t version = 0;
    };

    // Connects to the named display, or the one WAYLAND_DISPLAY names when null, and reads its globals.
    explicit WaylandConnection(const char* displayName = nullptr);
    ~WaylandConnection();
    WaylandConnection(const WaylandConnection&) = delete;
    WaylandConnection& operator=(const WaylandConnection&) = delete;

    bool alive() const;
    // A global offered at connection time.
    const Global* findGlobal(std::string_view interface) const;
    // Whether the compositor looks like KDE's KWin (it offers KDE's own globals).
    bool looksLikeKWin() const;

    // Binds a global at the lower of its version and `version`; null when it is not offered.
    void* bind(std::string_view interface, const wl_interface* type, std::uint32_t version);
    wl_seat* seat() const;
    // The keymap of the seat's keyboard at connection time, else the default keymap; may be null.
    xkb_keymap* userKeymap() const;
    // The user's keymap as text, for uploading to a keyboard of our own; empty when there is none.
    const std::string& userKeymapText() const;

    // Sends queued requests and waits until the compositor has handled them; false once the connection broke.
    bool roundtrip();
    // Starts the event thread. Before it, the caller may roundtrip; after it, only send and flush.
    void start();
    // Sends queued requests; false once the connection broke.
    bool flush();
    // Whether the last flush left requests queued because the compositor is not reading yet. A client
    // whose queue fills up is cut off, so whoever sends much waits while this holds.
    bool backedUp() const;

    // The outputs' logical rectangles in the compositor's global space, in the order they appeared.
    std::vector<Rect> outputFrames() const;

    // Milliseconds for the time argument of input requests.
    static std::uint32_t timestamp();

    // Public only for the compositor's callbacks.
    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "platform/input/x11_input_backend.h"

#include "platform/input/key_map.h"
#include "platform/input/wheel_steps.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vemdo {

namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Xlib's default handler ends the process on any protocol error. A request that fails here (a keymap
// change racing another client, say) must only cost that one event.
int ignoreProtocolError(Display*, XErrorEvent* error) {
    static std::atomic<int> reported = 0;
    if (reported.fetch_add(1) < 10) {
        std::fprintf(stderr, "vemdo: X11 request failed (error %d, request %d.%d); ignored\n", error->error_code,
                     error->request_code, error->minor_code);
    }
    return 0;
}

int clampToRange(double value, int size) {
    if (!std::isfinite(value))
        return 0;
    double rounded = std::round(value);
    return static_cast<int>(std::clamp(rounded, 0.0, double(std::max(size, 1) - 1)));
}

unsigned int xButton(PointerButton button) {
    switch (button) {
    case PointerButton::left:
        return Button1;
    case PointerButton::right:
        return Button3;
    case PointerButton::middle:
        break;
    }
    return Button2;
}

// Xwayland 23.1 and later announce themselves with the XWAYLAND extension; older ones (Debian 12 has 22.1)
// only name their RandR outputs XWAYLAND0, XWAYLAND1, ...
bool isXwayland(Display* display) {
    int opcode = 0, firstEvent = 0, firstError = 0;
    if (XQueryExtension(display, "XWAYLAND", &opcode, &firstEvent, &firstError))
        return true;
    int rrEvent = 0, rrError = 0;
    if (!XRRQueryExtension(display, &rrEvent, &rrError))
        return false;
    bool found = false;
    if (XRRScreenResources* resources = XRRGetScreenResources(display, DefaultRootWindow(display))) {
        for (int i = 0; i < resources->noutput && !found; ++i) {
            if (XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i])) {
                found = std::string_view(output->name, std::size_t(output->nameLen)).starts_with("XWAYLAND");
                XRRFreeOutputInfo(output);
            }
        }
        XRRFreeScreenResources(resources);
    }
    return found;
}

} // namespace

struct X11InputBackend::Impl {
    struct Spare {
        KeyCode keycode = 0;
        KeySym mapped = NoSymbol;
        double lastUsed = -std::numeric_limits<double>::infinity();
    };

    Display* display = nullptr;
    // none once the constructor has found the display usable, and until the connection breaks.
    std::atomic<InputObstacle> obstacle = InputObstacle::none;
    // Which display could not be opened; set in the constructor only.
    std::string displayFailure;

    Window root = 0;
    int rootWidth = 0;
    int rootHeight = 0;
    bool hasMonitors = false;
    int randrEventBase = 0;
    // The monitors as last read; read again after any RandR change notice.
    std::optional<std::vector<Rect>> monitors;

    int minKeycode = 0;
    int maxKeycode = 0;
    int keysymsPerKeycode = 0;
    std::vector<KeySym> keymap;
    bool keymapStale = false;
    std::chrono::steady_clock::time_point lastSocketRead;
    std::vector<Spare> spares;
    std::set<KeyCode> held;
    std::map<char32_t, KeyCode> textKeysDown;
    bool warnedNoSpare = false;

    double verticalRemainder = 0;
    double horizontalRemainder = 0;

    bool usable() const { return obstacle.load() == InputObstacle::none; }
    bool broken() const { return obstacle.load() == InputObstacle::connectionLost; }

    void loadKeymap() {
        int count = maxKeycode - minKeycode + 1;
        int perKeycode = 0;
        KeySym* symbols = XGetKeyboardMapping(display, KeyCode(minKeycode), count, &perKeycode);
        keymap.clear();
        keysymsPerKeycode = 0;
        if (!symbols)
            return;
        keysymsPerKeycode = perKeycode;
        keymap.assign(symbols, symbols + std::size_t(count) * std::size_t(perKeycode));
        XFree(symbols);

        // Keep our own spares (still mapped as we left them, or emptied by a new keymap) with their
        // history, and adopt any keycode that is now empty.
        std::vector<Spare> kept;
        for (Spare spare : spares) {
            if (isEmpty(spare.keycode))
                spare.mapped = NoSymbol;
            if (isEmpty(spare.keycode) || symbolAt(spare.keycode, 0) == spare.mapped)
                kept.push_back(spare);
        }
        for (int keycode = maxKeycode; keycode >= minKeycode; --keycode) {
            bool known = std::any_of(kept.begin(), kept.end(), [&](const Spare& s) { return s.keycode == keycode; });
            if (!known && isEmpty(KeyCode(keycode)))
                kept.push_back({KeyCode(keycode), NoSymbol, -std::numeric_limits<double>::infinity()});
        }
        spares = std::move(kept);
        keymapStale = false;
    }

    // Re-reads one spare keycode after a change notice: our own remap leaves it as we set it, while
    // another client that took it makes it no longer ours.
    void reloadSpare(KeyCode keycode) {
        int perKeycode = 0;
        KeySym* symbols = XGetKeyboardMapping(display, keycode, 1, &perKeycode);
        if (!symbols || perKeycode != keysymsPerKeycode) {
            if (symbols)
                XFree(symbols);
            loadKeymap();
            return;
        }
        std::copy(symbols, symbols + perKeycode, keymap.begin() + std::ptrdiff_t(keycode - minKeycode) * perKeycode);
        XFree(symbols);
        auto it = std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return s.keycode == keycode; });
        if (it == spares.end())
            return;
        if (isEmpty(keycode))
            it->mapped = NoSymbol;
        else if (symbolAt(keycode, 0) != it->mapped)
            spares.erase(it);
    }

    KeySym symbolAt(KeyCode keycode, int column) const {
        if (keycode < minKeycode || keycode > maxKeycode || column >= keysymsPerKeycode)
            return NoSymbol;
        return keymap[std::size_t(keycode - minKeycode) * std::size_t(keysymsPerKeycode) + std::size_t(column)];
    }

    bool isEmpty(KeyCode keycode) const {
        for (int column = 0; column < keysymsPerKeycode; ++column) {
            if (symbolAt(keycode, column) != NoSymbol)
                return false;
        }
        return true;
    }

    bool isSpare(KeyCode keycode) const {
        return std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.keycode == keycode; });
    }

    // Whether the pointer path should look at the socket for events now. Asking the socket costs system
    // calls on every move, which is most of what the server adds to a move's latency; monitor changes are
    // picked up within this interval instead, and whatever a reply brought along is handled at once.
    bool socketReadDue() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastSocketRead < std::chrono::milliseconds(50))
            return false;
        lastSocketRead = now;
        return true;
    }

    // Picks up root resizes and keymap changes (a layout switch, another client remapping keys). A change
    // of a single spare keycode is most likely our own remap, so only that key is read again. Without
    // readSocket only events that Xlib has already read are handled.
    void drainEvents(bool readSocket = true) {
        std::set<KeyCode> sparesTouched;
        while (XEventsQueued(display, readSocket ? QueuedAfterFlush : QueuedAlready) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (hasMonitors && event.type >= randrEventBase && event.type <= randrEventBase + RRNotify) {
                XRRUpdateConfiguration(&event);
                monitors.reset();
            }
            if (event.type == ConfigureNotify && event.xconfigure.window == root) {
                rootWidth = event.xconfigure.width;
                rootHeight = event.xconfigure.height;
                monitors.reset();
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                if (event.xmapping.request != MappingKeyboard)
                    continue;
                auto first = KeyCode(event.xmapping.first_keycode);
                if (event.xmapping.count == 1 && isSpare(first))
                    sparesTouched.insert(first);
                else
                    keymapStale = true;
            }
        }
        if (keymapStale) {
            loadKeymap();
            return;
        }
        for (KeyCode keycode : sparesTouched)
            reloadSpare(keycode);
    }

    // A keycode whose unmodified symbol already is `keysym`, not counting our spares.
    std::optional<KeyCode> existingKeycode(KeySym keysym) const {
        for (int keycode = minKeycode; keycode <= maxKeycode; ++keycode) {
            if (symbolAt(KeyCode(keycode), 0) == keysym && !isSpare(KeyCode(keycode)))
                return KeyCode(keycode);
        }
        return std::nullopt;
    }

    Spare* spareMappedTo(KeySym keysym) {
        auto it = std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return s.mapped == keysym; });
        return it == spares.end() ? nullptr : &*it;
    }

    // The keycode that types `keysym` now, mapping the least recently used free spare when no key has it.
    std::optional<KeyCode> keycodeFor(KeySym keysym) {
        if (auto keycode = existingKeycode(keysym))
            return keycode;
        if (Spare* spare = spareMappedTo(keysym)) {
            spare->lastUsed = steadySeconds();
            return spare->keycode;
        }
        Spare* victim = nullptr;
        for (Spare& spare : spares) {
            if (held.count(spare.keycode))
                continue;
            if (!victim || spare.lastUsed < victim->lastUsed)
                victim = &spare;
        }
        if (!victim) {
            if (!warnedNoSpare) {
                std::fprintf(stderr, "vemdo: every keycode of the X keyboard map is in use, so characters that "
                                     "have no key of their own cannot be typed\n");
                warnedNoSpare = true;
            }
            return std::nullopt;
        }
        double sinceUse = steadySeconds() - victim->lastUsed;
        if (sinceUse < spareKeycodeReuseDelay) {
            XFlush(display);
            std::this_thread::sleep_for(std::chrono::duration<double>(spareKeycodeReuseDelay - sinceUse));
        }
        remap(victim->keycode, keysym);
        victim->mapped = keysym;
        victim->lastUsed = steadySeconds();
        return victim->keycode;
    }

    void remap(KeyCode keycode, KeySym keysym) {
        int perKeycode = std::max(keysymsPerKeycode, 2);
        std::vector<KeySym> symbols(std::size_t(perKeycode), NoSymbol);
        // The same symbol shifted and unshifted, so a held Shift cannot turn it into something else.
        if (keysym != NoSymbol) {
            symbols[0] = keysym;
            symbols[1] = keysym;
        }
        XChangeKeyboardMapping(display, keycode, perKeycode, symbols.data(), 1);
        if (perKeycode == keysymsPerKeycode) {
            std::copy(symbols.begin(), symbols.end(),
                      keymap.begin() + std::ptrdiff_t(keycode - minKeycode) * perKeycode);
        } else {
            keymapStale = true;
        }
    }

    void fakeKey(KeyCode keycode, bool down) {
        XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
        if (down)
            held.insert(keycode);
        else
            held.erase(keycode);
    }

    // Xlib calls this instead of ending the process when the connection breaks; the display is then
    // never touched again.
    static void connectionLost(Display*, void* data) {
        auto* impl = static_cast<Impl*>(data);
        impl->obstacle = InputObstacle::connectionLost;
    }

    // XTest carries 16-bit positions, so the position is clamped to the root window before it goes out.
    void moveTo(Point position) {
        drainEvents(socketReadDue());
        XTestFakeMotionEvent(display, DefaultScreen(display), clampToRange(position.x, rootWidth),
                             clampToRange(position.y, rootHeight), CurrentTime);
    }

    void clickWheel(unsigned int button, int clicks) {
        for (int i = 0; i < clicks; ++i) {
            XTestFakeButtonEvent(display, button, True, CurrentTime);
            XTestFakeButtonEvent(display, button, False, CurrentTime);
        }
    }
};

X11InputBackend::X11InputBackend(const char* displayName) : m_impl(std::make_unique<Impl>()) {
    Impl& m = *m_impl;
    m.display = XOpenDisplay(displayName);
    if (!m.display) {
        const char* name = displayName ? displayName : XDisplayName(nullptr);
        m.displayFailure = std::string("cannot open the X display \"") + (name ? name : "") + "\"";
        m.obstacle = InputObstacle::noDesktop;
        return;
    }
    static std::once_flag handlerInstalled;
    std::call_once(handlerInstalled, [] {
        XSetErrorHandler(ignoreProtocolError);
        // Xlib's default handler for a broken connection ends the process; the per-display exit handler
        // below then marks the backend unable to post instead.
        XSetIOErrorHandler([](Display*) { return 0; });
    });
    XSetIOErrorExitHandler(m.display, Impl::connectionLost, &m);
    m.root = DefaultRootWindow(m.display);

    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(m.display, &eventBase, &errorBase, &major, &minor)) {
        m.obstacle = InputObstacle::noXTest;
        return;
    }
    // Xwayland accepts XTest but delivers it only to X11 windows: the Wayland desktop around them would
    // never see the phone's input, so it must not count as a place input can go.
    if (isXwayland(m.display)) {
        m.obstacle = InputObstacle::xwayland;
        return;
    }
    // Our fake events must not be held back by another client's grab of the server.
    XTestGrabControl(m.display, True);

    XWindowAttributes attributes;
    if (XGetWindowAttributes(m.display, m.root, &attributes)) {
        m.rootWidth = attributes.width;
        m.rootHeight = attributes.height;
    }
    XSelectInput(m.display, m.root, StructureNotifyMask);

    int rrEvent = 0, rrError = 0, rrMajor = 0, rrMinor = 0;
    m.hasMonitors = XRRQueryExtension(m.display, &rrEvent, &rrError) &&
                    XRRQueryVersion(m.display, &rrMajor, &rrMinor) && (rrMajor > 1 || (rrMajor == 1 && rrMinor >= 5));

    XDisplayKeycodes(m.display, &m.minKeycode, &m.maxKeycode);
    // Xlib asks the server for keymap change notices only once it has looked a key up; until then a layout
    // switch would go unnoticed here.
    XKeyEvent probe{};
    probe.type = KeyPress;
    probe.display = m.display;
    probe.root = m.root;
    probe.window = m.root;
    probe.keycode = static_cast<unsigned int>(m.minKeycode);
    char ignored[8];
    XLookupString(&probe, ignored, sizeof ignored, nullptr, nullptr);
    m.loadKeymap();
}

X11InputBackend::~X11InputBackend() {
    Impl& m = *m_impl;
    if (!m.display)
        return;
    if (!m.broken()) {
        if (m.usable()) {
            for (KeyCode keycode : std::set<KeyCode>(m.held))
                m.fakeKey(keycode, false);
            for (const Impl::Spare& spare : m.spares) {
                if (spare.mapped != NoSymbol)
                    m.remap(spare.keycode, NoSymbol);
            }
        }
        XCloseDisplay(m.display);
    }
}

bool X11InputBackend::canPost() const {
    return m_impl->usable();
}

InputObstacle X11InputBackend::obstacle() const {
    return m_impl->obstacle.load();
}

std::string X11InputBackend::unavailableReason() const {
    return m_impl->displayFailure.empty() ? InputBackend::unavailableReason() : m_impl->displayFailure;
}

std::vector<Rect> X11InputBackend::screenFrames() const {
    Impl& m = *m_impl;
    if (!m.display || m.broken())
        return {};
    m.drainEvents(m.socketReadDue());
    if (m.monitors)
        return *m.monitors;
    std::vector<Rect> frames;
    if (m.hasMonitors) {
        int count = 0;
        if (XRRMonitorInfo* monitors = XRRGetMonitors(m.display, m.root, True, &count)) {
            for (int i = 0; i < count; ++i)
                frames.push_back({double(monitors[i].x), double(monitors[i].y), double(monitors[i].width),
                                  double(monitors[i].height)});
            XRRFreeMonitors(monitors);
        }
    }
    // Without RandR monitors (old servers, every output switched off) the root window is still a place the
    // pointer can be.
    if (frames.empty() && m.rootWidth > 0 && m.rootHeight > 0)
        frames.push_back({0, 0, double(m.rootWidth), double(m.rootHeight)});
    if (m.hasMonitors && !m.broken())
        m.monitors = frames;
    return frames;
}

std::optional<Point> X11InputBackend::pointerLocation() const {
    Impl& m = *m_impl;
    if (!m.display || m.broken())
        return std::nullopt;
    Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(m.display, m.root, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask))
        return std::nullopt;
    if (m.broken())
        return std::nullopt;
    return Point{double(rootX), double(rootY)};
}

bool X11InputBackend::postMotion(Point position) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    m.moveTo(position);
    XFlush(m.display);
    return !m.broken();
}

bool X11InputBackend::postButton(const ButtonEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    m.moveTo(event.position);
    XTestFakeButtonEvent(m.display, xButton(event.button), event.down ? True : False, CurrentTime);
    XFlush(m.display);
    return !m.broken();
}

bool X11InputBackend::postScroll(const ScrollEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    m.drainEvents(m.socketReadDue());
    int vertical = takeWheelClicks(m.verticalRemainder, event.vertical);
    int horizontal = takeWheelClicks(m.horizontalRemainder, event.horizontal);
    // X wheel buttons: 4 up, 5 down, 6 left, 7 right.
    m.clickWheel(vertical > 0 ? 4 : 5, std::abs(vertical));
    m.clickWheel(horizontal > 0 ? 6 : 7, std::abs(horizontal));
    XFlush(m.display);
    return !m.broken();
}

bool X11InputBackend::postKey(const KeyEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    m.drainEvents();

    if (event.unicode) {
        const char32_t scalar = *event.unicode;
        auto keycode =
            pairTextKey(m.textKeysDown, scalar, event.down, [&] { return m.keycodeFor(keysymForScalar(scalar)); });
        if (!keycode)
            return false;
        m.fakeKey(*keycode, event.down);
        XFlush(m.display);
        return !m.broken();
    }

    auto meaning = keyMeaning(event.keyCode);
    if (!meaning)
        return false;
    auto keycode = m.keycodeFor(meaning->keysym);
    if (!keycode)
        return false;

    // The Command flag means Control here; press it around the key unless it is already held.
    std::optional<KeyCode> control;
    if (event.control) {
        control = m.keycodeFor(XK_Control_L);
        bool controlHeld = std::any_of(m.held.begin(), m.held.end(), [&](KeyCode held) {
            KeySym symbol = m.symbolAt(held, 0);
            return symbol == XK_Control_L || symbol == XK_Control_R;
        });
        if (controlHeld)
            control.reset();
    }
    if (control)
        m.fakeKey(*control, true);
    m.fakeKey(*keycode, event.down);
    if (control)
        m.fakeKey(*control, false);
    XFlush(m.display);
    return !m.broken();
}

} // namespace vemdo

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
#include <span>
#include <string_view>
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
    // The last round trip to the server, smoothed; see reuseDelay().
    double roundTrip = 0;
    Atom wmProtocols = 0;
    Atom wmPing = 0;
    // The last _NET_WM_PING sent to the program typed into, 0 once answered, and its number; when the last
    // one answered was sent (every key typed before it has been read).
    double pingSent = 0;
    unsigned long pingNumber = 0;
    bool focusAnswers = true;
    bool wantPing = false;
    double confirmed = -std::numeric_limits<double>::infinity();

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

    // Re-reads a run of spare keycodes after a change notice: our own changes leave them as we set them,
    // while another client that took one makes it no longer ours.
    void reloadSpares(KeyCode first, int count) {
        int perKeycode = 0;
        KeySym* symbols = XGetKeyboardMapping(display, first, count, &perKeycode);
        if (!symbols || perKeycode != keysymsPerKeycode) {
            if (symbols)
                XFree(symbols);
            loadKeymap();
            return;
        }
        std::copy(symbols, symbols + std::ptrdiff_t(count) * perKeycode,
                  keymap.begin() + std::ptrdiff_t(first - minKeycode) * perKeycode);
        XFree(symbols);
        for (int keycode = first; keycode < first + count; ++keycode) {
            auto it = std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return s.keycode == keycode; });
            if (it == spares.end())
                continue;
            if (isEmpty(KeyCode(keycode)))
                it->mapped = NoSymbol;
            else if (symbolAt(KeyCode(keycode), 0) != it->mapped)
                spares.erase(it);
        }
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
    // of spare keycodes alone is most likely our own, so only those keys are read again. Without
    // readSocket only events that Xlib has already read are handled.
    void drainEvents(bool readSocket = true) {
        std::vector<std::pair<KeyCode, int>> sparesTouched;
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
            } else if (event.type == ClientMessage && event.xclient.message_type == wmProtocols &&
                       Atom(event.xclient.data.l[0]) == wmPing &&
                       static_cast<unsigned long>(event.xclient.data.l[1]) == pingNumber && pingSent > 0) {
                confirmed = pingSent;
                pingSent = 0;
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                if (event.xmapping.request != MappingKeyboard)
                    continue;
                const int first = event.xmapping.first_keycode, count = event.xmapping.count;
                bool onlySpares = count > 0;
                for (int keycode = first; keycode < first + count && onlySpares; ++keycode)
                    onlySpares = isSpare(KeyCode(keycode));
                if (onlySpares)
                    sparesTouched.emplace_back(KeyCode(first), count);
                else
                    keymapStale = true;
            }
        }
        if (keymapStale) {
            loadKeymap();
            return;
        }
        for (auto [first, count] : sparesTouched)
            reloadSpares(first, count);
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

    // How long a spare keycode must have been left alone before it may be mapped to something else: long
    // enough for every client to have looked up the last key typed on it. Xlib reads a changed map again
    // only at its next lookup, so a client that is behind with its events reads the map as it is then,
    // not as it was when the key was pressed. A loaded machine is slow for every client alike, so the
    // delay grows with the round trip to the server, measured at each change of the map.
    double reuseDelay() const { return std::clamp(spareReuseRoundTrips * roundTrip, spareKeycodeReuseDelay, 2.0); }

    // The keycode that types `keysym` now: a key of the user's, or a spare that prepare() mapped to it.
    std::optional<KeyCode> keycodeFor(KeySym keysym) {
        if (auto keycode = existingKeycode(keysym))
            return keycode;
        if (Spare* spare = spareMappedTo(keysym))
            return spare->keycode;
        if (spares.empty() && !warnedNoSpare) {
            std::fprintf(stderr, "vemdo: every keycode of the X keyboard map is in use, so characters that "
                                 "have no key of their own cannot be typed\n");
            warnedNoSpare = true;
        }
        // Posted without being prepared (never so by the injector): only a spare that is free now will do.
        std::map<KeyCode, KeySym> changes;
        if (!claimSpare(keysym, steadySeconds(), {}, changes))
            return std::nullopt;
        applyChanges(changes);
        return changes.begin()->first;
    }

    // Seconds until `spare` may be mapped anew, 0 when it may now. A program that answers _NET_WM_PING (as
    // every toolkit's do) answers only once it has handled the events before the ping, key lookups
    // included: its answer frees every spare typed on before the ping was sent, however far behind the
    // program was. For a program that does not answer, only time frees a spare. Notes in wantPing when an
    // answer is needed; pingIfWanted() then asks for it.
    double freeIn(const Spare& spare, double now) {
        const double since = now - spare.lastUsed;
        if (held.count(spare.keycode))
            return spareKeycodeReuseDelay;
        if (spare.lastUsed <= confirmed)
            return std::max(0.0, X11InputBackend::confirmedSpareReuseDelay - since);
        if (focusAnswers && pingSent > 0 && now - pingSent > X11InputBackend::pingTimeout)
            focusAnswers = false; // a program that hangs, or a focus that moved: time decides
        wantPing = wantPing || pingSent == 0 || pingSent < spare.lastUsed;
        if (!focusAnswers)
            return std::max(0.0, reuseDelay() - since);
        return X11InputBackend::pongPoll;
    }

    void pingIfWanted(double now) {
        if (wantPing)
            focusAnswers = ping(now);
        wantPing = false;
    }

    // Sends _NET_WM_PING to the top-level window of the focus, when it takes one; false when not.
    bool ping(double now) {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        for (Window window = focus; window && window != root && window != PointerRoot;) {
            Atom* protocols = nullptr;
            int count = 0;
            bool pings = false;
            if (XGetWMProtocols(display, window, &protocols, &count)) {
                pings = std::find(protocols, protocols + count, wmPing) != protocols + count;
                XFree(protocols);
            }
            if (pings) {
                XEvent event{};
                event.xclient.type = ClientMessage;
                event.xclient.window = window;
                event.xclient.message_type = wmProtocols;
                event.xclient.format = 32;
                event.xclient.data.l[0] = long(wmPing);
                event.xclient.data.l[1] = long(++pingNumber);
                event.xclient.data.l[2] = long(window);
                XSendEvent(display, window, False, NoEventMask, &event);
                XFlush(display);
                pingSent = now;
                return true;
            }
            Window parent = 0, rootReturn = 0, *children = nullptr;
            unsigned int childCount = 0;
            if (!XQueryTree(display, window, &rootReturn, &parent, &children, &childCount))
                break;
            if (children)
                XFree(children);
            window = parent;
        }
        return false;
    }

    // Picks the least recently used spare that is free for `keysym`: not held, not relied on by `kept`,
    // not picked already, and left alone long enough.
    bool claimSpare(KeySym keysym, double now, const std::set<KeyCode>& kept, std::map<KeyCode, KeySym>& changes) {
        Spare* victim = nullptr;
        for (Spare& spare : spares) {
            if (kept.count(spare.keycode) || changes.count(spare.keycode) || freeIn(spare, now) > 0)
                continue;
            if (!victim || spare.lastUsed < victim->lastUsed)
                victim = &spare;
        }
        if (victim)
            changes[victim->keycode] = keysym;
        return victim != nullptr;
    }

    Spare* spareAt(KeyCode keycode) {
        auto it = std::find_if(spares.begin(), spares.end(), [&](const Spare& s) { return s.keycode == keycode; });
        return it == spares.end() ? nullptr : &*it;
    }

    // Maps spares as `changes` says, with one request per run of neighbouring spares (a spare between two
    // changed ones is written again as it is): every change makes every client read the whole map again.
    void applyChanges(const std::map<KeyCode, KeySym>& changes) {
        if (changes.empty())
            return;
        const int perKeycode = std::max(keysymsPerKeycode, 2);
        for (auto it = changes.begin(); it != changes.end();) {
            const KeyCode first = it->first;
            KeyCode last = first;
            for (++it; it != changes.end(); ++it) {
                bool bridged = true;
                for (int between = last + 1; between < it->first && bridged; ++between)
                    bridged = spareAt(KeyCode(between)) != nullptr;
                if (!bridged)
                    break;
                last = it->first;
            }
            std::vector<KeySym> symbols;
            for (int keycode = first; keycode <= last; ++keycode) {
                auto change = changes.find(KeyCode(keycode));
                KeySym symbol = change != changes.end() ? change->second : spareAt(KeyCode(keycode))->mapped;
                // The same symbol shifted and unshifted, so a held Shift cannot turn it into something else.
                symbols.insert(symbols.end(), {symbol, symbol});
                symbols.insert(symbols.end(), std::size_t(perKeycode - 2), NoSymbol);
            }
            XChangeKeyboardMapping(display, first, perKeycode, symbols.data(), last - first + 1);
            if (perKeycode == keysymsPerKeycode) {
                std::copy(symbols.begin(), symbols.end(),
                          keymap.begin() + std::ptrdiff_t(first - minKeycode) * perKeycode);
            } else {
                keymapStale = true;
            }
        }
        for (const auto& [keycode, keysym] : changes)
            spareAt(keycode)->mapped = keysym;
        // Only time frees spares for a program that does not answer pings: only then is the round trip,
        // which holds this thread, worth measuring.
        if (focusAnswers) {
            XFlush(display);
            return;
        }
        const double before = steadySeconds();
        XSync(display, False);
        const double measured = steadySeconds() - before;
        // Follows a slower machine at once and a recovered one gradually.
        roundTrip = measured > roundTrip ? measured : 0.9 * roundTrip + 0.1 * measured;
    }

    // The keysyms a key needs on some key: its own (none for a text release, which goes up where it went
    // down) and Control when it asks for it.
    std::vector<KeySym> keysymsNeeded(const KeyEvent& event) const {
        std::vector<KeySym> needed;
        if (event.unicode) {
            if (event.down)
                needed.push_back(keysymForScalar(*event.unicode));
            return needed;
        }
        if (auto meaning = keyMeaning(event.keyCode))
            needed.push_back(meaning->keysym);
        if (event.control)
            needed.push_back(XK_Control_L);
        return needed;
    }

    // See InputBackend::prepareKeys: maps what the keys need onto free spares, as far as they go, in one
    // batch. A key that no spare can ever serve counts as ready: posting it fails.
    KeysReady prepare(std::span<const KeyEvent> keys) {
        if (!usable())
            return {keys.size(), 0};
        drainEvents();
        const double now = steadySeconds();
        std::set<KeyCode> kept;
        std::map<KeyCode, KeySym> changes;
        std::size_t ready = 0;
        for (bool fits = true; fits && ready < keys.size(); ready += fits ? 1 : 0) {
            for (KeySym keysym : keysymsNeeded(keys[ready])) {
                if (existingKeycode(keysym) ||
                    std::any_of(changes.begin(), changes.end(), [&](const auto& c) { return c.second == keysym; }))
                    continue;
                if (Spare* spare = spareMappedTo(keysym)) {
                    kept.insert(spare->keycode);
                    continue;
                }
                fits = spares.empty() || claimSpare(keysym, now, kept, changes);
                if (!fits)
                    break;
            }
        }
        applyChanges(changes);
        if (ready == keys.size())
            return {ready, 0};
        // The spares this batch relies on are typed on right after it, so they count as used now.
        double wait = reuseDelay();
        for (const Spare& spare : spares) {
            if (!kept.count(spare.keycode) && !changes.count(spare.keycode))
                wait = std::min(wait, freeIn(spare, now));
        }
        pingIfWanted(now);
        return {ready, std::max(wait, X11InputBackend::pongPoll)};
    }

    // See InputBackend::restoreKeyboard: empties the spares that were left alone long enough.
    double restore() {
        if (!usable())
            return 0;
        drainEvents();
        const double now = steadySeconds();
        std::map<KeyCode, KeySym> changes;
        double wait = 0;
        for (const Spare& spare : spares) {
            if (spare.mapped == NoSymbol)
                continue;
            const double left = freeIn(spare, now);
            if (left <= 0)
                changes[spare.keycode] = NoSymbol;
            else
                wait = wait == 0 ? left : std::min(wait, left);
        }
        applyChanges(changes);
        pingIfWanted(now);
        return wait;
    }

    void fakeKey(KeyCode keycode, bool down) {
        XTestFakeKeyEvent(display, keycode, down ? True : False, CurrentTime);
        if (Spare* spare = spareAt(keycode))
            spare->lastUsed = steadySeconds();
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
    // Substructure: a program answers _NET_WM_PING on the root window.
    XSelectInput(m.display, m.root, StructureNotifyMask | SubstructureNotifyMask);
    m.wmProtocols = XInternAtom(m.display, "WM_PROTOCOLS", False);
    m.wmPing = XInternAtom(m.display, "_NET_WM_PING", False);

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
            std::map<KeyCode, KeySym> emptied;
            for (const Impl::Spare& spare : m.spares) {
                if (spare.mapped != NoSymbol)
                    emptied[spare.keycode] = NoSymbol;
            }
            m.applyChanges(emptied);
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

KeysReady X11InputBackend::prepareKeys(std::span<const KeyEvent> keys) {
    return m_impl->prepare(keys);
}

double X11InputBackend::restoreKeyboard() {
    return m_impl->restore();
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

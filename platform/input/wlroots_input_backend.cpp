// SPDX-License-Identifier: MIT
#include "platform/input/wlroots_input_backend.h"

#include "platform/input/key_map.h"
#include "platform/input/wayland_connection.h"
#include "platform/input/wheel_steps.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <linux/input-event-codes.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace vemdo {

namespace {

// Characters a text keymap holds at most: keycodes beyond 255 cannot reach X11 programs under Xwayland.
constexpr std::size_t textKeymapCapacity = 247;

// The characters that every text keymap starts with, so that ordinary text needs one upload per run.
std::vector<char32_t> baseTextScalars() {
    std::vector<char32_t> scalars = {U'\b', U'\t', U'\n'};
    for (char32_t c = 0x20; c <= 0x7E; ++c)
        scalars.push_back(c);
    return scalars;
}

// Hands keymap text to the compositor through an anonymous file, as the protocol asks.
bool uploadKeymap(zwp_virtual_keyboard_v1* keyboard, const std::string& text) {
    int fd = memfd_create("vemdo-keymap", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    const std::size_t size = text.size() + 1;
    bool written = ftruncate(fd, off_t(size)) == 0;
    if (written) {
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        written = mapped != MAP_FAILED;
        if (written) {
            std::copy(text.c_str(), text.c_str() + size, static_cast<char*>(mapped));
            munmap(mapped, size);
        }
    }
    if (written)
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, std::uint32_t(size));
    close(fd);
    return written;
}

// wlroots 0.15 gives an axis source to the axis of the latest axis request only, and forgets it at each
// frame (a frame whose two axes have different sources ends sway), so the source follows every request.
void sourceFinger(zwlr_virtual_pointer_v1* pointer) {
    zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_FINGER);
}

} // namespace

struct WlrootsInputBackend::Impl {
    std::unique_ptr<WaylandConnection> connection;
    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    bool ready = false;
    std::optional<Point> lastPosted;

    double verticalRemainder = 0;
    double horizontalRemainder = 0;
    // The axes scrolled since the last axis stop, vertical first.
    bool scrolling[2] = {false, false};

    // The characters of the text keymap in key order; typingText while it, not the user's, is uploaded.
    std::vector<char32_t> textScalars;
    bool typingText = false;
    std::set<std::uint16_t> held;
    std::map<char32_t, std::uint16_t> textKeysDown;
    // The compositor does not work out modifiers from a virtual keyboard's keys: we tell it, from a state of
    // our own over the user's keymap.
    xkb_state* modifierState = nullptr;
    std::uint32_t sentModifiers[4] = {0, 0, 0, 0};

    ~Impl() {
        if (modifierState)
            xkb_state_unref(modifierState);
    }

    bool usable() const { return ready && connection->alive(); }

    // Motion to a point of the desktop, not yet framed; false, with nothing sent, when there is no output.
    bool moveTo(Point position) {
        std::vector<Rect> frames = connection->outputFrames();
        if (frames.empty())
            return false;
        double minX = frames[0].x, minY = frames[0].y, maxX = minX + frames[0].width, maxY = minY + frames[0].height;
        for (const Rect& frame : frames) {
            minX = std::min(minX, frame.x);
            minY = std::min(minY, frame.y);
            maxX = std::max(maxX, frame.x + frame.width);
            maxY = std::max(maxY, frame.y + frame.height);
        }
        // The compositor spreads 0..extent over the layout's bounding box, so positions are offsets into it.
        auto offset = [](double value, double minimum, double maximum) {
            double clamped = std::isfinite(value) ? std::clamp(value, minimum, maximum - 1) : minimum;
            return static_cast<std::uint32_t>(std::lround(clamped - minimum));
        };
        zwlr_virtual_pointer_v1_motion_absolute(pointer, WaylandConnection::timestamp(), offset(position.x, minX, maxX),
                                                offset(position.y, minY, maxY), std::uint32_t(maxX - minX),
                                                std::uint32_t(maxY - minY));
        lastPosted = position;
        return true;
    }

    void sendModifiers(bool force) {
        std::uint32_t current[4] = {0, 0, 0, 0};
        if (modifierState && !typingText) {
            current[0] = xkb_state_serialize_mods(modifierState, XKB_STATE_MODS_DEPRESSED);
            current[1] = xkb_state_serialize_mods(modifierState, XKB_STATE_MODS_LATCHED);
            current[2] = xkb_state_serialize_mods(modifierState, XKB_STATE_MODS_LOCKED);
            current[3] = xkb_state_serialize_layout(modifierState, XKB_STATE_LAYOUT_EFFECTIVE);
        }
        if (!force && std::equal(std::begin(current), std::end(current), std::begin(sentModifiers)))
            return;
        zwp_virtual_keyboard_v1_modifiers(keyboard, current[0], current[1], current[2], current[3]);
        std::copy(std::begin(current), std::end(current), std::begin(sentModifiers));
    }

    void key(std::uint16_t linuxCode, bool down) {
        zwp_virtual_keyboard_v1_key(keyboard, WaylandConnection::timestamp(), linuxCode,
                                    down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
        if (down)
            held.insert(linuxCode);
        else
            held.erase(linuxCode);
        if (modifierState && !typingText) {
            xkb_state_update_key(modifierState, linuxCode + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
            sendModifiers(false);
        }
    }

    bool useUserKeymap() {
        if (!typingText)
            return true;
        // A key of the text keymap still down would come up as some other key of the user's layout.
        for (const auto& [scalar, code] : textKeysDown)
            key(code, false);
        textKeysDown.clear();
        if (!uploadKeymap(keyboard, connection->userKeymapText()))
            return false;
        typingText = false;
        sendModifiers(true);
        return true;
    }

    // Uploads a text keymap that holds the `wanted` characters, unless the one uploaded does: one upload for
    // a whole run of text, since the compositor and every client compile each keymap they get. New
    // characters are added to the ones it holds while there is room, else it starts afresh from the base
    // characters. Returns how many of `wanted`, from the first, the keymap holds.
    std::size_t loadText(const std::vector<char32_t>& wanted) {
        auto holds = [](const std::vector<char32_t>& scalars, char32_t scalar) {
            return std::find(scalars.begin(), scalars.end(), scalar) != scalars.end();
        };
        std::vector<char32_t> scalars = textScalars;
        for (char32_t scalar : wanted) {
            if (!holds(scalars, scalar))
                scalars.push_back(scalar);
        }
        if (scalars.size() > textKeymapCapacity) {
            scalars = baseTextScalars();
            for (auto it = wanted.begin(); it != wanted.end() && scalars.size() < textKeymapCapacity; ++it) {
                if (!holds(scalars, *it))
                    scalars.push_back(*it);
            }
        }
        if (scalars != textScalars || !typingText) {
            // A text key still down would come up as another character.
            for (const auto& [down, code] : textKeysDown)
                key(code, false);
            textKeysDown.clear();
            if (!uploadKeymap(keyboard, keymapTypingScalars(scalars)))
                return 0;
            textScalars = std::move(scalars);
            typingText = true;
            // Text is typed without modifiers, whatever the user's keys hold.
            sendModifiers(true);
        }
        return std::size_t(
            std::find_if(wanted.begin(), wanted.end(), [&](char32_t c) { return !holds(textScalars, c); }) -
            wanted.begin());
    }

    // The key that types `scalar` in the text keymap, uploading one that holds it when needed.
    std::optional<std::uint16_t> textKey(char32_t scalar) {
        if (loadText({scalar}) == 0)
            return std::nullopt;
        auto index = std::find(textScalars.begin(), textScalars.end(), scalar) - textScalars.begin();
        return static_cast<std::uint16_t>(index + 1);
    }
};

bool WlrootsInputBackend::suits(const WaylandConnection& connection) {
    return connection.findGlobal(zwlr_virtual_pointer_manager_v1_interface.name) &&
           connection.findGlobal(zwp_virtual_keyboard_manager_v1_interface.name);
}

WlrootsInputBackend::WlrootsInputBackend(std::unique_ptr<WaylandConnection> connection)
    : m_impl(std::make_unique<Impl>()) {
    Impl& m = *m_impl;
    m.connection = std::move(connection);
    if (!m.connection->alive() || !suits(*m.connection) || !m.connection->seat())
        return;
    m.pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(m.connection->bind(
        zwlr_virtual_pointer_manager_v1_interface.name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    m.keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(m.connection->bind(
        zwp_virtual_keyboard_manager_v1_interface.name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    m.pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(m.pointerManager, m.connection->seat());
    m.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m.keyboardManager, m.connection->seat());
    m.textScalars = baseTextScalars();
    if (xkb_keymap* keymap = m.connection->userKeymap())
        m.modifierState = xkb_state_new(keymap);
    if (!uploadKeymap(m.keyboard, m.connection->userKeymapText())) {
        std::fprintf(stderr, "vemdo: cannot hand a keymap to the compositor\n");
        return;
    }
    // A compositor that refuses the devices ends the connection with a protocol error; see it now.
    m.ready = m.connection->roundtrip();
    m.connection->start();
}

WlrootsInputBackend::~WlrootsInputBackend() {
    Impl& m = *m_impl;
    if (m.usable()) {
        for (std::uint16_t code : std::set<std::uint16_t>(m.held))
            m.key(code, false);
        zwlr_virtual_pointer_v1_destroy(m.pointer);
        zwp_virtual_keyboard_v1_destroy(m.keyboard);
        m.connection->flush();
    }
    if (m.pointerManager)
        zwlr_virtual_pointer_manager_v1_destroy(m.pointerManager);
    if (m.keyboardManager)
        zwp_virtual_keyboard_manager_v1_destroy(m.keyboardManager);
}

bool WlrootsInputBackend::canPost() const {
    return m_impl->usable();
}

InputObstacle WlrootsInputBackend::obstacle() const {
    const Impl& m = *m_impl;
    if (m.usable())
        return InputObstacle::none;
    if (m.ready)
        return InputObstacle::connectionLost;
    if (m.connection->alive() && !suits(*m.connection))
        return InputObstacle::unsupportedCompositor;
    return InputObstacle::noDesktop;
}

std::vector<Rect> WlrootsInputBackend::screenFrames() const {
    if (!m_impl->connection->alive())
        return {};
    return m_impl->connection->outputFrames();
}

std::optional<Point> WlrootsInputBackend::pointerLocation() const {
    return m_impl->lastPosted;
}

bool WlrootsInputBackend::postMotion(Point position) {
    Impl& m = *m_impl;
    if (!m.usable() || !m.moveTo(position))
        return false;
    zwlr_virtual_pointer_v1_frame(m.pointer);
    return m.connection->flush();
}

bool WlrootsInputBackend::postButton(const ButtonEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable() || !m.moveTo(event.position))
        return false;
    zwlr_virtual_pointer_v1_button(m.pointer, WaylandConnection::timestamp(), linuxButton(event.button),
                                   event.down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(m.pointer);
    return m.connection->flush();
}

bool WlrootsInputBackend::postScroll(const ScrollEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    if (event.vertical == 0 && event.horizontal == 0)
        return true;
    // By the pixel, as a touchpad scrolls; the whole wheel clicks the pixels add up to go along for programs
    // that count clicks. Our positive values scroll up and left; Wayland's scroll down and right.
    const std::uint32_t time = WaylandConnection::timestamp();
    for (auto [axis, pixels, remainder] :
         {std::tuple{WL_POINTER_AXIS_VERTICAL_SCROLL, event.vertical, &m.verticalRemainder},
          std::tuple{WL_POINTER_AXIS_HORIZONTAL_SCROLL, event.horizontal, &m.horizontalRemainder}}) {
        if (pixels == 0)
            continue;
        const int clicks = -takeWheelClicks(*remainder, pixels);
        const wl_fixed_t value = wl_fixed_from_double(-double(pixels));
        if (clicks != 0)
            zwlr_virtual_pointer_v1_axis_discrete(m.pointer, time, axis, value, clicks);
        else
            zwlr_virtual_pointer_v1_axis(m.pointer, time, axis, value);
        sourceFinger(m.pointer);
        m.scrolling[axis] = true;
    }
    zwlr_virtual_pointer_v1_frame(m.pointer);
    return m.connection->flush();
}

bool WlrootsInputBackend::postScrollEnd() {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;
    if (!m.scrolling[0] && !m.scrolling[1])
        return true;
    const std::uint32_t time = WaylandConnection::timestamp();
    for (std::uint32_t axis : {WL_POINTER_AXIS_VERTICAL_SCROLL, WL_POINTER_AXIS_HORIZONTAL_SCROLL}) {
        if (m.scrolling[axis]) {
            zwlr_virtual_pointer_v1_axis_stop(m.pointer, time, axis);
            sourceFinger(m.pointer);
        }
        m.scrolling[axis] = false;
    }
    m.verticalRemainder = m.horizontalRemainder = 0;
    zwlr_virtual_pointer_v1_frame(m.pointer);
    return m.connection->flush();
}

KeysReady WlrootsInputBackend::prepareKeys(std::span<const KeyEvent> keys) {
    Impl& m = *m_impl;
    if (!m.usable())
        return {keys.size(), 0};
    // A compositor busy compiling keymaps reads late: more keys wait rather than overfill the connection.
    if (m.connection->flush() && m.connection->backedUp())
        return {0, 0.005};
    // Ordinary keys up to the next text, or the text up to the next ordinary key, which needs the user's
    // keymap back.
    if (!keys.empty() && !keys[0].unicode) {
        auto text = std::find_if(keys.begin(), keys.end(), [](const KeyEvent& key) { return key.unicode; });
        return {std::size_t(text - keys.begin()), 0};
    }
    std::vector<char32_t> wanted;
    std::vector<std::size_t> ends;
    std::size_t count = 0;
    for (; count < keys.size() && keys[count].unicode; ++count) {
        if (keys[count].down) {
            wanted.push_back(*keys[count].unicode);
            ends.push_back(count);
        }
    }
    const std::size_t held = m.loadText(wanted);
    if (held == 0) // no keymap could be handed over: posting fails as it comes
        return {keys.size(), 0};
    return {held < wanted.size() ? ends[held] : count, 0};
}

bool WlrootsInputBackend::postKey(const KeyEvent& event) {
    Impl& m = *m_impl;
    if (!m.usable())
        return false;

    if (event.unicode) {
        const char32_t scalar = *event.unicode;
        // Keys are remembered only while the text keymap is uploaded: putting the user's back releases them.
        auto code = pairTextKey(m.textKeysDown, scalar, event.down, [&] { return m.textKey(scalar); });
        if (!code)
            return false;
        m.key(*code, event.down);
        return m.connection->flush();
    }

    if (!m.useUserKeymap())
        return false;
    auto position = keyForPhoneCode(m.connection->userKeymap(), event.keyCode);
    if (!position)
        return false;
    // Control goes around the key unless it is already held.
    const bool command = event.control && !m.held.count(KEY_LEFTCTRL) && !m.held.count(KEY_RIGHTCTRL);
    const bool shift = position->shift && !m.held.count(KEY_LEFTSHIFT);
    if (command)
        m.key(KEY_LEFTCTRL, true);
    if (shift && event.down)
        m.key(KEY_LEFTSHIFT, true);
    m.key(position->linuxCode, event.down);
    if (shift && event.down)
        m.key(KEY_LEFTSHIFT, false);
    if (command)
        m.key(KEY_LEFTCTRL, false);
    return m.connection->flush();
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "injection/cg_event_injector.h"

#include "injection/monotonic_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace vemdo {

namespace {

struct ButtonEvents {
    MouseEventType press;
    MouseEventType release;
};

ButtonEvents buttonEvents(MouseButton button) {
    switch (button) {
    case MouseButton::left:
        return {MouseEventType::leftMouseDown, MouseEventType::leftMouseUp};
    case MouseButton::right:
        return {MouseEventType::rightMouseDown, MouseEventType::rightMouseUp};
    case MouseButton::middle:
        break;
    }
    return {MouseEventType::otherMouseDown, MouseEventType::otherMouseUp};
}

// The order of the two comparisons matters: a NaN fails both and so lands on the minimum edge, and an
// empty desktop (maximum - 1 below minimum) always gives the minimum.
double clampToBounds(double value, double minimum, double maximum) {
    double clamped =
        (maximum - CGEventInjector::upperClampMargin < value) ? maximum - CGEventInjector::upperClampMargin : value;
    return (minimum <= clamped) ? clamped : minimum;
}

Rect unite(const Rect& a, const Rect& b) {
    double minX = std::min(a.x, b.x);
    double minY = std::min(a.y, b.y);
    double maxX = std::max(a.x + a.width, b.x + b.width);
    double maxY = std::max(a.y + a.height, b.y + b.height);
    return {minX, minY, maxX - minX, maxY - minY};
}

// Wheel deltas are 32-bit: a doubled delta that is not finite scrolls nothing, one beyond the range
// scrolls as far as the range allows.
std::int32_t wheelDelta(float delta) {
    float doubled = CGEventInjector::scrollScaleFactor * delta;
    if (!std::isfinite(doubled))
        return 0;
    double wide = doubled;
    if (wide >= double(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (wide <= double(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(wide);
}

// Decodes the next scalar of UTF-8 text. A malformed sequence yields no scalar and skips one byte, so
// text that slipped past validation cannot stall the walk or type garbage.
std::optional<char32_t> nextScalar(std::string_view text, std::size_t& index) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(index);
    std::size_t length = 0;
    char32_t scalar = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++index;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        scalar = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        scalar = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        scalar = lead & 0x07;
        minimum = 0x10000;
    } else {
        ++index;
        return std::nullopt;
    }
    if (index + length > text.size()) {
        ++index;
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char continuation = byte(index + i);
        if ((continuation & 0xC0) != 0x80) {
            ++index;
            return std::nullopt;
        }
        scalar = (scalar << 6) | (continuation & 0x3F);
    }
    if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        ++index;
        return std::nullopt;
    }
    index += length;
    return scalar;
}

} // namespace

CGEventInjector::CGEventInjector(InputBackend& backend, const MonotonicClock& clock)
    : m_backend(backend), m_clock(clock) {
    if (auto location = m_backend.pointerLocation()) {
        m_lastX = location->x;
        m_lastY = location->y;
    }
    m_lastPointerActivity = m_clock.seconds();
}

void CGEventInjector::handle(const Packet& packet) {
    switch (packet.kind) {
    case Kind::move:
        moveMouse(packet.dx.value_or(0), packet.dy.value_or(0));
        break;
    case Kind::scroll:
        scroll(packet.scrollX.value_or(0), packet.scrollY.value_or(0));
        break;
    case Kind::click:
    case Kind::down:
    case Kind::up:
        mouseButton(packet);
        break;
    case Kind::keyDown:
    case Kind::keyUp:
        keyEvent(packet);
        break;
    case Kind::text:
        typeText(packet);
        break;
    case Kind::pairRequest:
    case Kind::pairResponse:
    case Kind::auth:
    case Kind::gestureBegin:
    case Kind::gestureUpdate:
    case Kind::gestureEnd:
        break;
    }
}

// Continuous motion keeps using the tracked position, with no round trip per event; only after a pause,
// when the user may have moved the real mouse, is the real pointer read again, so that the phone carries
// on from where the pointer is instead of teleporting it back.
void CGEventInjector::resyncPointerIfIdle() {
    double now = m_clock.seconds();
    if (now - m_lastPointerActivity >= pointerResyncInterval) {
        if (auto location = m_backend.pointerLocation()) {
            m_lastX = location->x;
            m_lastY = location->y;
        }
    }
    m_lastPointerActivity = now;
}

Rect CGEventInjector::desktopBounds() const {
    Rect bounds;
    for (const Rect& frame : m_backend.screenFrames())
        bounds = unite(bounds, frame);
    return bounds;
}

void CGEventInjector::moveMouse(float dx, float dy) {
    if (!m_backend.isTrusted())
        return;
    resyncPointerIfIdle();
    m_lastX += pointerScaleFactor * double(dx);
    m_lastY += pointerScaleFactor * double(dy);

    Rect bounds = desktopBounds();
    m_lastX = clampToBounds(m_lastX, bounds.x, bounds.x + bounds.width);
    m_lastY = clampToBounds(m_lastY, bounds.y, bounds.y + bounds.height);

    MouseEventType type = m_isLeftButtonDown ? MouseEventType::leftMouseDragged : MouseEventType::mouseMoved;
    m_backend.postMouse({type, {m_lastX, m_lastY}, 0});
}

void CGEventInjector::mouseButton(const Packet& packet) {
    if (!packet.button)
        return;
    MouseButton button = *packet.button;
    bool press = packet.kind == Kind::down || packet.kind == Kind::click;
    bool release = packet.kind == Kind::up || packet.kind == Kind::click;
    if (!press && !release)
        return;

    // A tap after the user moved the real mouse should land where the pointer is now, not where the
    // phone last left it.
    resyncPointerIfIdle();
    Point position{m_lastX, m_lastY};
    ButtonEvents events = buttonEvents(button);
    auto number = static_cast<std::uint32_t>(button);
    if (press) {
        m_backend.postMouse({events.press, position, number});
        if (button == MouseButton::left)
            m_isLeftButtonDown = true;
    }
    if (release) {
        m_backend.postMouse({events.release, position, number});
        if (button == MouseButton::left)
            m_isLeftButtonDown = false;
    }
}

void CGEventInjector::scroll(float deltaX, float deltaY) {
    if (!m_backend.isTrusted())
        return;
    m_backend.postScroll({wheelDelta(deltaY), wheelDelta(deltaX)});
}

void CGEventInjector::keyEvent(const Packet& packet) {
    if (!packet.keyCode)
        return;
    if (!m_backend.isTrusted())
        return;
    std::uint16_t keyCode = *packet.keyCode;
    bool down = packet.kind == Kind::keyDown;
    if (keyCode == commandKeyCode)
        m_commandPressed = down;

    KeyEvent event{keyCode, down, std::nullopt, std::nullopt};
    if (keyCode != commandKeyCode && m_commandPressed)
        event.flags = commandFlag;
    m_backend.postKey(event);
}

void CGEventInjector::typeText(const Packet& packet) {
    if (!packet.text || packet.text->empty())
        return;
    std::string_view text = *packet.text;
    std::size_t index = 0;
    while (index < text.size()) {
        auto scalar = nextScalar(text, index);
        if (!scalar)
            continue;
        m_backend.postKey({textKeyCode, true, std::nullopt, *scalar});
        m_backend.postKey({textKeyCode, false, std::nullopt, *scalar});
    }
}

void CGEventInjector::releaseHeldInput() {
    if (m_isLeftButtonDown) {
        m_backend.postMouse({MouseEventType::leftMouseUp, {m_lastX, m_lastY}, 0});
        m_isLeftButtonDown = false;
    }
    if (m_commandPressed) {
        if (m_backend.isTrusted())
            m_backend.postKey({commandKeyCode, false, std::nullopt, std::nullopt});
        m_commandPressed = false;
    }
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "injection/input_injector.h"

#include "injection/monotonic_clock.h"
#include "protocol/utf8.h"
#include "transport/task_queue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

namespace vemdo {

namespace {

PointerButton pointerButton(MouseButton button) {
    switch (button) {
    case MouseButton::left:
        return PointerButton::left;
    case MouseButton::right:
        return PointerButton::right;
    case MouseButton::middle:
        break;
    }
    return PointerButton::middle;
}

// The order of the two comparisons matters: a NaN fails both and so lands on the minimum edge, and an
// empty desktop (maximum - 1 below minimum) always gives the minimum.
double clampToBounds(double value, double minimum, double maximum) {
    double clamped =
        (maximum - InputInjector::upperClampMargin < value) ? maximum - InputInjector::upperClampMargin : value;
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
    float doubled = InputInjector::scrollScaleFactor * delta;
    if (!std::isfinite(doubled))
        return 0;
    double wide = doubled;
    if (wide >= double(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (wide <= double(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(wide);
}

} // namespace

InputInjector::InputInjector(InputBackend& backend, const MonotonicClock& clock, TaskQueue& transportQueue)
    : m_backend(backend), m_clock(clock), m_queue(transportQueue), m_self(std::make_shared<InputInjector*>(this)) {
    if (auto location = m_backend.pointerLocation()) {
        m_lastX = location->x;
        m_lastY = location->y;
    }
    m_lastPointerActivity = m_clock.seconds();
}

void InputInjector::handle(const Packet& packet) {
    switch (packet.kind) {
    case Kind::move:
        movePointer(packet.dx.value_or(0), packet.dy.value_or(0));
        break;
    case Kind::scroll:
        scroll(packet.scrollX.value_or(0), packet.scrollY.value_or(0));
        break;
    case Kind::click:
    case Kind::down:
    case Kind::up:
        pressButton(packet);
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
void InputInjector::resyncPointerIfIdle() {
    double now = m_clock.seconds();
    if (now - m_lastPointerActivity >= pointerResyncInterval) {
        if (auto location = m_backend.pointerLocation()) {
            m_lastX = location->x;
            m_lastY = location->y;
        }
    }
    m_lastPointerActivity = now;
}

Rect InputInjector::desktopBounds() const {
    Rect bounds;
    for (const Rect& frame : m_backend.screenFrames())
        bounds = unite(bounds, frame);
    return bounds;
}

void InputInjector::movePointer(float dx, float dy) {
    if (!m_backend.canPost())
        return;
    resyncPointerIfIdle();
    m_lastX += pointerScaleFactor * double(dx);
    m_lastY += pointerScaleFactor * double(dy);

    Rect bounds = desktopBounds();
    m_lastX = clampToBounds(m_lastX, bounds.x, bounds.x + bounds.width);
    m_lastY = clampToBounds(m_lastY, bounds.y, bounds.y + bounds.height);
    m_backend.postMotion({m_lastX, m_lastY});
}

void InputInjector::pressButton(const Packet& packet) {
    if (!packet.button)
        return;
    const PointerButton button = pointerButton(*packet.button);
    bool press = packet.kind == Kind::down || packet.kind == Kind::click;
    bool release = packet.kind == Kind::up || packet.kind == Kind::click;
    if (!press && !release)
        return;

    // A tap after the user moved the real mouse should land where the pointer is now, not where the
    // phone last left it.
    resyncPointerIfIdle();
    const Point position{m_lastX, m_lastY};
    if (press) {
        m_backend.postButton({button, true, position});
        if (button == PointerButton::left)
            m_isLeftButtonDown = true;
    }
    if (release) {
        m_backend.postButton({button, false, position});
        if (button == PointerButton::left)
            m_isLeftButtonDown = false;
    }
}

template <typename Task> void InputInjector::later(double seconds, Task task) {
    auto delay = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(std::clamp(seconds, 0.0, 60.0) * 1000)));
    // At least a millisecond: a timer, not a task run at once, lets the event loop read the sockets first.
    m_queue.postDelayed(std::max(delay, std::chrono::milliseconds(1)),
                        [self = std::weak_ptr<InputInjector*>(m_self), task = std::move(task)] {
                            if (auto injector = self.lock())
                                task(**injector);
                        });
}

void InputInjector::scroll(float deltaX, float deltaY) {
    if (!m_backend.canPost())
        return;
    m_backend.postScroll({wheelDelta(deltaY), wheelDelta(deltaX)});
    const std::uint64_t scroll = ++m_scrolls;
    later(std::chrono::duration<double>(scrollEndDelay).count(), [scroll](InputInjector& injector) {
        if (injector.m_scrolls == scroll)
            injector.m_backend.postScrollEnd();
    });
}

void InputInjector::queueKey(const KeyEvent& event) {
    m_waitingKeys.push_back(event);
    if (!m_typingScheduled)
        typeWaitingKeys();
}

void InputInjector::typeWaitingKeys() {
    m_typingScheduled = false;
    std::size_t posted = 0;
    while (!m_waitingKeys.empty()) {
        if (posted >= keysPerStep) {
            m_typingScheduled = true;
            later(0, [](InputInjector& injector) { injector.typeWaitingKeys(); });
            return;
        }
        std::vector<KeyEvent> run(m_waitingKeys.begin(),
                                  m_waitingKeys.begin() + std::ptrdiff_t(std::min(m_waitingKeys.size(), keysPrepared)));
        const KeysReady ready = m_backend.prepareKeys(run);
        const std::size_t count = std::min({ready.count, run.size(), keysPerStep - posted});
        for (std::size_t i = 0; i < count; ++i)
            m_backend.postKey(run[i]);
        m_waitingKeys.erase(m_waitingKeys.begin(), m_waitingKeys.begin() + std::ptrdiff_t(count));
        posted += count;
        if (ready.count < run.size() && count == ready.count) {
            m_typingScheduled = true;
            later(ready.retryAfter, [](InputInjector& injector) { injector.typeWaitingKeys(); });
            return;
        }
    }
    restoreKeyboard();
}

void InputInjector::restoreKeyboard() {
    // Typing comes back here when it is done, and a pending restore calls again itself.
    if (m_restoreScheduled || !m_waitingKeys.empty())
        return;
    const double again = m_backend.restoreKeyboard();
    if (again > 0) {
        m_restoreScheduled = true;
        later(again, [](InputInjector& injector) {
            injector.m_restoreScheduled = false;
            injector.restoreKeyboard();
        });
    }
}

void InputInjector::keyEvent(const Packet& packet) {
    if (!packet.keyCode)
        return;
    if (!m_backend.canPost())
        return;
    std::uint16_t keyCode = *packet.keyCode;
    bool down = packet.kind == Kind::keyDown;
    if (keyCode == commandKeyCode)
        m_commandPressed = down;

    queueKey({keyCode, down, keyCode != commandKeyCode && m_commandPressed, std::nullopt});
}

void InputInjector::typeText(const Packet& packet) {
    if (!packet.text || packet.text->empty())
        return;
    std::string_view text = *packet.text;
    if (m_waitingKeys.size() + 2 * text.size() > maxWaitingKeys)
        return;
    std::size_t index = 0;
    while (index < text.size()) {
        auto scalar = nextUtf8Scalar(text, index);
        if (!scalar)
            continue;
        m_waitingKeys.push_back({textKeyCode, true, false, *scalar});
        m_waitingKeys.push_back({textKeyCode, false, false, *scalar});
    }
    if (!m_typingScheduled)
        typeWaitingKeys();
}

void InputInjector::releaseHeldInput() {
    if (m_isLeftButtonDown) {
        m_backend.postButton({PointerButton::left, false, {m_lastX, m_lastY}});
        m_isLeftButtonDown = false;
    }
    if (m_commandPressed) {
        // After the keys it was held for.
        if (m_backend.canPost())
            queueKey({commandKeyCode, false, false, std::nullopt});
        m_commandPressed = false;
    }
}

} // namespace vemdo

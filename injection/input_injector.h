// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"
#include "protocol/packet.h"

#include <cstdint>
#include <optional>

namespace vemdo {

class MonotonicClock;

// Turns accepted input packets into posted input events: a relatively driven pointer with its tracked
// position, buttons, scrolling, keys with the Command modifier, and Unicode text.
//
// Threads: every operation runs on the transport thread, one at a time; the injector holds no lock.
// Nothing reports an error to the caller: input that cannot be injected is dropped.
class InputInjector final {
public:
    static constexpr double pointerScaleFactor = 2;
    static constexpr float scrollScaleFactor = 2;
    // The tracked position stays at least this far below the maximum edges of the desktop.
    static constexpr double upperClampMargin = 1;
    static constexpr std::uint16_t commandKeyCode = 55;
    static constexpr std::uint16_t textKeyCode = 0;
    // After this long without pointer activity from us the real pointer is read again, because the user
    // may have moved it with a real mouse meanwhile.
    static constexpr double pointerResyncInterval = 0.5;

    // Reads the current pointer location as the starting tracked position.
    InputInjector(InputBackend& backend, const MonotonicClock& clock);
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    void handle(const Packet& packet);

    // Lets go of whatever the injector holds down (the left button, the Command key), so that a phone
    // that vanishes mid-drag or mid-shortcut leaves no stuck input behind. Called by the transport when
    // the last authenticated connection ends.
    void releaseHeldInput();

    double lastX() const { return m_lastX; }
    double lastY() const { return m_lastY; }

private:
    void movePointer(float dx, float dy);
    // Reads `kind` ("down", "up" or "click") and `button`.
    void pressButton(const Packet& packet);
    void scroll(float deltaX, float deltaY);
    // Reads `kind` ("keyDown" or "keyUp") and `keyCode`.
    void keyEvent(const Packet& packet);
    // Reads `text`.
    void typeText(const Packet& packet);
    void resyncPointerIfIdle();
    Rect desktopBounds() const;

    InputBackend& m_backend;
    const MonotonicClock& m_clock;
    double m_lastX = 0;
    double m_lastY = 0;
    bool m_isLeftButtonDown = false;
    bool m_commandPressed = false;
    double m_lastPointerActivity = 0;
};

} // namespace vemdo

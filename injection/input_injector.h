// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"
#include "protocol/packet.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

namespace vemdo {

class MonotonicClock;
class TaskQueue;

// Turns accepted input packets into posted input events: a relatively driven pointer with its tracked
// position, buttons, scrolling, keys with the Command modifier, and Unicode text.
//
// Keys and text go out in the order they came, in steps run on the transport queue, so that a long text
// never holds back the moves, clicks and scrolls that arrive while it is typed: those go out at once.
//
// Threads: every operation runs on the transport thread, one at a time, as do the tasks the injector posts
// to the transport queue; the injector holds no lock.
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
    // Key events posted in one step at most; what arrives meanwhile waits for no more than one step. The
    // backend prepares up to `keysPrepared` at once, so that it can map many characters in one change.
    static constexpr std::size_t keysPerStep = 32;
    static constexpr std::size_t keysPrepared = 16 * keysPerStep;
    // Key events waiting at most, those of four of the longest texts a line holds: a text that would make
    // more is dropped, so that a phone sending text faster than it can be typed cannot make the server's
    // memory grow without bound.
    static constexpr std::size_t maxWaitingKeys = 4 * 2 * 64 * 1024;
    // The phone's scrolling has ended once it has paused this long.
    static constexpr std::chrono::milliseconds scrollEndDelay{120};

    // Reads the current pointer location as the starting tracked position. `transportQueue` runs the
    // typing steps and timers; it is the queue whose thread calls handle().
    InputInjector(InputBackend& backend, const MonotonicClock& clock, TaskQueue& transportQueue);
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
    void queueKey(const KeyEvent& event);
    // Posts what the backend has ready of the waiting keys, one step's worth, and comes back for the rest.
    void typeWaitingKeys();
    void restoreKeyboard();
    // Runs `task` after `seconds` on the transport queue, unless the injector is gone by then.
    template <typename Task> void later(double seconds, Task task);

    InputBackend& m_backend;
    const MonotonicClock& m_clock;
    TaskQueue& m_queue;
    // Tasks on the queue hold this weakly: an injector destroyed before they run is not touched.
    std::shared_ptr<InputInjector*> m_self;
    std::deque<KeyEvent> m_waitingKeys;
    bool m_typingScheduled = false;
    bool m_restoreScheduled = false;
    std::uint64_t m_scrolls = 0;
    double m_lastX = 0;
    double m_lastY = 0;
    bool m_isLeftButtonDown = false;
    bool m_commandPressed = false;
    double m_lastPointerActivity = 0;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "injection/input_backend.h"
#include "injection/monotonic_clock.h"

#include <atomic>
#include <ostream>
#include <variant>
#include <vector>

namespace vemdo {

// Readable failure messages for the geometry values (found by argument-dependent lookup).
inline std::ostream& operator<<(std::ostream& out, const Point& point) {
    return out << "(" << point.x << ", " << point.y << ")";
}
inline std::ostream& operator<<(std::ostream& out, const Rect& rect) {
    return out << "{" << rect.x << ", " << rect.y << ", " << rect.width << " x " << rect.height << "}";
}

} // namespace vemdo

namespace vemdo::testing {

using InputRecord = std::variant<MouseEvent, ScrollEvent, KeyEvent>;

// Stores every posted event as a value so tests compare whole sequences. The screens, the pointer, the
// trust answer and the success of each kind of post are set by the test.
class RecordingInputBackend final : public InputBackend {
public:
    bool isTrusted() const override { return m_trusted.load(); }
    std::vector<Rect> screenFrames() const override { return m_screens; }
    std::optional<Point> pointerLocation() const override {
        ++m_pointerReads;
        return m_pointer;
    }

    bool postMouse(const MouseEvent& event) override { return record(event, m_mouseSucceeds); }
    bool postScroll(const ScrollEvent& event) override { return record(event, m_scrollSucceeds); }
    bool postKey(const KeyEvent& event) override { return record(event, m_keySucceeds); }

    void setTrusted(bool trusted) { m_trusted = trusted; }
    void setScreens(std::vector<Rect> screens) { m_screens = std::move(screens); }
    void setPointer(std::optional<Point> pointer) { m_pointer = pointer; }
    // A failing post records nothing, as an event that could not be made is never delivered.
    void setPostsSucceed(bool mouse, bool scroll, bool key) {
        m_mouseSucceeds = mouse;
        m_scrollSucceeds = scroll;
        m_keySucceeds = key;
    }

    const std::vector<InputRecord>& records() const { return m_records; }
    void clear() { m_records.clear(); }
    int pointerReads() const { return m_pointerReads; }

private:
    bool record(const InputRecord& event, bool succeeds) {
        if (!succeeds)
            return false;
        m_records.push_back(event);
        return true;
    }

    std::atomic<bool> m_trusted = true;
    std::vector<Rect> m_screens{{0, 0, 1440, 900}};
    std::optional<Point> m_pointer = Point{100, 200};
    bool m_mouseSucceeds = true;
    bool m_scrollSucceeds = true;
    bool m_keySucceeds = true;
    std::vector<InputRecord> m_records;
    mutable int m_pointerReads = 0;
};

// Interval time that moves only when the test says so.
class FakeMonotonicClock final : public MonotonicClock {
public:
    double seconds() const override { return m_now; }
    void advance(double seconds) { m_now += seconds; }

private:
    double m_now = 1000.0;
};

inline std::ostream& operator<<(std::ostream& out, const InputRecord& record) {
    if (const auto* mouse = std::get_if<MouseEvent>(&record)) {
        return out << "Mouse{type " << int(mouse->type) << ", (" << mouse->position.x << ", " << mouse->position.y
                   << "), button " << mouse->button << "}";
    }
    if (const auto* scroll = std::get_if<ScrollEvent>(&record))
        return out << "Scroll{vertical " << scroll->vertical << ", horizontal " << scroll->horizontal << "}";
    const auto& key = std::get<KeyEvent>(record);
    out << "Key{code " << key.keyCode << (key.down ? ", down" : ", up");
    if (key.flags)
        out << ", flags 0x" << std::hex << *key.flags << std::dec;
    if (key.unicode)
        out << ", U+" << std::hex << std::uint32_t(*key.unicode) << std::dec;
    return out << "}";
}

} // namespace vemdo::testing

// SPDX-License-Identifier: MIT
#include "injection/input_injector.h"

#include "support/fakes.h"

#include <gtest/gtest.h>

#include <limits>

namespace vemdo::testing {
namespace {

using Records = std::vector<InputRecord>;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

ButtonEvent button(PointerButton which, bool down, double x, double y) {
    return {which, down, {x, y}};
}
KeyEvent key(std::uint16_t code, bool down, bool control = false) {
    return {code, down, control, std::nullopt};
}
Packet keyPacket(std::string_view kind, int code) {
    return packet(kind, "\"keyCode\":" + std::to_string(code));
}
Records operator+(Records a, const Records& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Records typed(std::u32string scalars) {
    Records records;
    for (char32_t scalar : scalars)
        records.insert(records.end(), {KeyEvent{0, true, false, scalar}, KeyEvent{0, false, false, scalar}});
    return records;
}

struct InjectorTest : ::testing::Test {
    RecordingInputBackend backend;
    FakeClock clock;
    ManualTaskQueue queue;
    InputInjector injector{backend, clock, queue};
};
using namespace std::chrono_literals;

TEST(Injector, MovesAreDoubledAndClampedToTheUnionOfTheMonitors) {
    const std::vector<Rect> laptop{{0, 0, 1440, 900}};
    const std::vector<Rect> sideBySide{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    const std::vector<Rect> leftOfMain{{0, 0, 1440, 900}, {-1920, -100, 1920, 1080}};
    const std::tuple<const char*, std::vector<Rect>, Point, float, float, Point> rows[] = {
        {"doubled", laptop, {100, 200}, 3, -1.5f, {106, 197}},
        {"one pixel inside the right edge", laptop, {1430, 10}, 20, 0, {1439, 10}},
        {"one pixel inside the bottom edge", laptop, {10, 890}, 0, 50, {10, 899}},
        {"left and top edges", laptop, {5, 5}, -20, -50, {0, 0}},
        {"onto the second monitor", sideBySide, {1910, 500}, 20, 0, {1950, 500}},
        {"the union's far corner", sideBySide, {3190, 1070}, 100, 100, {3199, 1079}},
        {"a monitor left of and above the main one", leftOfMain, {100, 100}, -1000, -100, {-1900, -100}},
        {"NaN lands on the minimum edges", leftOfMain, {100, 100}, nan, nan, {-1920, -100}},
        {"infinity on the maximum edge", laptop, {100, 100}, infinity, -infinity, {1439, 0}},
        {"no monitor", {}, {300, 400}, 1, 1, {0, 0}},
    };
    for (const auto& [name, screens, start, dx, dy, expected] : rows) {
        RecordingInputBackend backend;
        FakeClock clock;
        ManualTaskQueue queue;
        std::tie(backend.screens, backend.pointer) = std::pair(screens, start);
        InputInjector injector(backend, clock, queue);
        injector.handle(move(dx, dy));
        EXPECT_EQ(backend.records(), (Records{expected})) << name;
    }
}

TEST_F(InjectorTest, ButtonsPressAndReleaseWhereThePointerIs) {
    const std::tuple<const char*, int, PointerButton, std::vector<bool>> rows[] = {
        {"down", 0, PointerButton::left, {true}},         {"up", 0, PointerButton::left, {false}},
        {"click", 0, PointerButton::left, {true, false}}, {"down", 1, PointerButton::right, {true}},
        {"up", 1, PointerButton::right, {false}},         {"click", 1, PointerButton::right, {true, false}},
        {"down", 2, PointerButton::middle, {true}},       {"click", 2, PointerButton::middle, {true, false}},
    };
    for (const auto& [kind, number, which, downs] : rows) {
        backend.clear();
        injector.handle(packet(kind, "\"button\":" + std::to_string(number)));
        Records expected;
        for (bool down : downs)
            expected.push_back(button(which, down, 100, 200));
        EXPECT_EQ(backend.records(), expected) << kind << " " << number;
    }
    backend.clear();
    injector.handle(packet("click"));
    EXPECT_TRUE(backend.records().empty()) << "a button message without a button";
}

TEST_F(InjectorTest, ScrollsAreDoubledTruncatedAndClamped) {
    constexpr auto max = std::numeric_limits<std::int32_t>::max(), min = std::numeric_limits<std::int32_t>::min();
    const std::tuple<float, float, std::int32_t, std::int32_t> rows[] = {
        {1.4f, -2.6f, -5, 2}, {-0.4f, 0.4f, 0, 0}, {1e10f, -1e10f, min, max}, {infinity, nan, 0, 0}};
    Records expected;
    for (const auto& [x, y, vertical, horizontal] : rows) {
        Packet p = packet("scroll");
        std::tie(p.scrollX, p.scrollY) = std::pair(x, y);
        injector.handle(p);
        expected.push_back(ScrollEvent{vertical, horizontal});
    }
    EXPECT_EQ(backend.records(), expected);
}

// A scroll gesture ends once the phone's scrolling has paused for the delay, and only then.
TEST_F(InjectorTest, ScrollingEndsAfterAPause) {
    for (auto pause : {100ms, 119ms, 120ms, 1000ms}) {
        injector.handle(packet("scroll", R"("scrollY":1)"));
        queue.advance(pause);
    }
    const Records scroll{ScrollEvent{2, 0}};
    EXPECT_EQ(backend.records(), (scroll + scroll + scroll + Records{ScrollEnd{}} + scroll + Records{ScrollEnd{}}));
}

// Keys wait, in order, for what the backend has ready and for the step's end, while moves go out at once;
// once typing is done the keyboard is restored, again as long as the backend asks for it.
TEST_F(InjectorTest, TypingGoesOnInStepsBesideMovesAndKeepsItsOrder) {
    backend.keysAtOnce = 4;
    backend.restoreWaits = {0.2};
    injector.handle(text("abcdef"));
    injector.handle(keyPacket("keyDown", 55));
    injector.handle(text("g"));
    injector.handle(move(1, 0));
    const Records start = typed(U"ab") + Records{Point{102, 200}};
    queue.advance(49ms);
    EXPECT_EQ(backend.records(), start);
    queue.advance(1ms);
    queue.advance(50ms);
    EXPECT_EQ(backend.records(), start + typed(U"cdef"));
    EXPECT_EQ(backend.restores, 0);
    queue.advance(50ms);
    EXPECT_EQ(backend.records(), start + typed(U"cdef") + Records{key(55, true)} + typed(U"g"));
    EXPECT_EQ(backend.restores, 1);
    queue.advance(200ms);
    EXPECT_EQ(backend.restores, 2);

    backend.clear();
    backend.keysAtOnce = SIZE_MAX;
    injector.handle(text(std::string(InputInjector::keysPerStep / 2 + 3, 'x')));
    injector.handle(move(1, 0));
    queue.advance(1ms);
    EXPECT_EQ(backend.records(),
              (typed(std::u32string(InputInjector::keysPerStep / 2, U'x')) + Records{Point{104, 200}} + typed(U"xxx")));
}

// Text that waits is bounded: beyond four of the longest texts a line holds, more is dropped.
TEST_F(InjectorTest, TextBeyondWhatMayWaitIsDropped) {
    backend.keysAtOnce = 0;
    for (int i = 0; i < 5; ++i)
        injector.handle(text(std::string(64 * 1024, 'x')));
    backend.keysAtOnce = SIZE_MAX;
    while (queue.advance(50ms) > 0) {
    }
    EXPECT_EQ(backend.records().size(), InputInjector::maxWaitingKeys);
}

TEST_F(InjectorTest, CommandPutsControlOnTheKeysPressedWhileItIsHeld) {
    for (const Packet& p : {keyPacket("keyDown", 55), keyPacket("keyDown", 8), text("x"), keyPacket("keyUp", 8),
                            keyPacket("keyUp", 55), keyPacket("keyDown", 8)})
        injector.handle(p);
    const Records expected = Records{key(55, true), key(8, true, true)} + typed(U"x") +
                             Records{key(8, false, true), key(55, false), key(8, true)};
    EXPECT_EQ(backend.records(), expected);
}

TEST_F(InjectorTest, TextIsTypedScalarByScalar) {
    const std::pair<std::string, std::u32string> rows[] = {
        {"h\xC3\xA9\xC4\x9F", U"h\u00E9\u011F"},
        {"e\xCC\x81", U"e\u0301"},
        {"a\xF0\x9F\x98\x80z", U"a\U0001F600z"},
        {"a\xFF\xC3(b\xED\xA0\x80\xF0\x9F", U"a(b"}, // malformed bytes are skipped
    };
    for (const auto& [bytes, scalars] : rows) {
        backend.clear();
        injector.handle(text(bytes));
        EXPECT_EQ(backend.records(), typed(scalars)) << bytes;
    }
}

TEST_F(InjectorTest, WhileInputIsNotPossibleMovesScrollsAndKeysAreDroppedButButtonsAndTextPass) {
    backend.allowed = false;
    for (const Packet& p : {move(10, 10), packet("scroll", R"("scrollY":1)"), keyPacket("keyDown", 8),
                            packet("down", R"("button":0)"), text("a")})
        injector.handle(p);
    EXPECT_EQ(backend.records(), (Records{button(PointerButton::left, true, 100, 200)} + typed(U"a")));
}

// Continuous motion uses the tracked position; after half a second without activity from us the real
// pointer, which the user may have moved meanwhile, is read again.
TEST_F(InjectorTest, ThePointerIsReadAgainAfterHalfASecondIdle) {
    injector.handle(move(1, 0));
    backend.pointer = Point{700, 600};
    clock.advance(0.49);
    injector.handle(move(1, 0));
    clock.advance(0.5);
    injector.handle(move(1, 0));
    backend.pointer = Point{10, 20};
    clock.advance(2);
    injector.handle(packet("click", R"("button":0)"));
    EXPECT_EQ(backend.records(),
              (Records{Point{102, 200}, Point{104, 200}, Point{702, 600}, button(PointerButton::left, true, 10, 20),
                       button(PointerButton::left, false, 10, 20)}));
}

} // namespace
} // namespace vemdo::testing

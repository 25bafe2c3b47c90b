// SPDX-License-Identifier: MIT
#include "injection/cg_event_injector.h"

#include "support/recording_input_backend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vemdo {
namespace {

using testing::FakeMonotonicClock;
using testing::InputRecord;
using testing::RecordingInputBackend;
using Records = std::vector<InputRecord>;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

Packet packet(Kind kind) {
    Packet p;
    p.kind = kind;
    return p;
}

Packet move(float dx, float dy) {
    Packet p = packet(Kind::move);
    p.dx = dx;
    p.dy = dy;
    return p;
}

Packet button(Kind kind, MouseButton which) {
    Packet p = packet(kind);
    p.button = which;
    return p;
}

Packet key(Kind kind, std::uint16_t code) {
    Packet p = packet(kind);
    p.keyCode = code;
    return p;
}

Packet text(std::string value) {
    Packet p = packet(Kind::text);
    p.text = std::move(value);
    return p;
}

Packet scroll(std::optional<float> x, std::optional<float> y) {
    Packet p = packet(Kind::scroll);
    p.scrollX = x;
    p.scrollY = y;
    return p;
}

MouseEvent mouse(MouseEventType type, double x, double y, std::uint32_t number = 0) {
    return {type, {x, y}, number};
}

KeyEvent keyRecord(std::uint16_t code, bool down, std::optional<std::uint64_t> flags = std::nullopt) {
    return {code, down, flags, std::nullopt};
}

KeyEvent textRecord(char32_t scalar, bool down) {
    return {0, down, std::nullopt, scalar};
}

class InjectorTest : public ::testing::Test {
protected:
    // Made lazily so that each test can set the starting pointer first.
    CGEventInjector& injector() {
        if (!m_injector)
            m_injector = std::make_unique<CGEventInjector>(backend, clock);
        return *m_injector;
    }

    RecordingInputBackend backend;
    FakeMonotonicClock clock;

private:
    std::unique_ptr<CGEventInjector> m_injector;
};

struct MoveCase {
    const char* name;
    std::vector<Rect> screens;
    Point start;
    float dx;
    float dy;
    Point expected;
};

TEST_F(InjectorTest, MovesScaleByTwoAndClampToTheUnionOfScreens) {
    const std::vector<Rect> laptop{{0, 0, 1440, 900}};
    const std::vector<Rect> sideBySide{{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    const std::vector<Rect> leftOfMain{{0, 0, 1440, 900}, {-1920, -100, 1920, 1080}};
    const std::vector<MoveCase> cases{
        {"scaled", laptop, {100, 200}, 3, -1.5f, {106, 197}},
        {"right edge keeps one unit inside", laptop, {1430, 10}, 20, 0, {1439, 10}},
        {"left edge", laptop, {5, 10}, -20, 0, {0, 10}},
        {"bottom edge", laptop, {10, 890}, 0, 50, {10, 899}},
        {"top edge", laptop, {10, 5}, 0, -50, {10, 0}},
        {"no screens", {}, {300, 400}, 1, 1, {0, 0}},
        {"no screens negative", {}, {-300, -400}, -1, -1, {0, 0}},
        {"NaN goes to the minimum edge", leftOfMain, {100, 100}, nan, nan, {-1920, -100}},
        {"infinity goes to the maximum edge", laptop, {100, 100}, infinity, -infinity, {1439, 0}},
        {"second monitor reachable", sideBySide, {1910, 500}, 20, 0, {1950, 500}},
        {"union right edge", sideBySide, {3190, 1070}, 100, 100, {3199, 1079}},
        {"union includes the origin", {{100, 100, 800, 600}}, {150, 150}, -100, -100, {0, 0}},
        {"zero move keeps position", laptop, {100, 200}, 0, 0, {100, 200}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingInputBackend local;
        local.setScreens(c.screens);
        local.setPointer(c.start);
        CGEventInjector injector(local, clock);
        injector.handle(move(c.dx, c.dy));
        EXPECT_EQ(injector.lastX(), c.expected.x);
        EXPECT_EQ(injector.lastY(), c.expected.y);
        EXPECT_EQ(local.records(), (Records{mouse(MouseEventType::mouseMoved, c.expected.x, c.expected.y)}));
    }
}

TEST_F(InjectorTest, AbsentDeltasMoveByNothingButStillPost) {
    injector().handle(packet(Kind::move));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 100, 200)}));
}

TEST_F(InjectorTest, NoPointerLocationStartsAtTheOrigin) {
    backend.setPointer(std::nullopt);
    injector().handle(move(1, 1));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 2, 2)}));
}

TEST_F(InjectorTest, LeftButtonHeldTurnsMovesIntoDrags) {
    injector().handle(button(Kind::down, MouseButton::left));
    injector().handle(move(1, 0));
    injector().handle(button(Kind::up, MouseButton::left));
    injector().handle(move(1, 0));
    EXPECT_EQ(backend.records(), (Records{
                                     mouse(MouseEventType::leftMouseDown, 100, 200),
                                     mouse(MouseEventType::leftMouseDragged, 102, 200),
                                     mouse(MouseEventType::leftMouseUp, 102, 200),
                                     mouse(MouseEventType::mouseMoved, 104, 200),
                                 }));
}

struct ButtonCase {
    Kind kind;
    MouseButton button;
    Records expected;
};

TEST_F(InjectorTest, ButtonTable) {
    const std::vector<ButtonCase> cases{
        {Kind::down, MouseButton::left, {mouse(MouseEventType::leftMouseDown, 100, 200, 0)}},
        {Kind::up, MouseButton::left, {mouse(MouseEventType::leftMouseUp, 100, 200, 0)}},
        {Kind::down, MouseButton::right, {mouse(MouseEventType::rightMouseDown, 100, 200, 1)}},
        {Kind::up, MouseButton::right, {mouse(MouseEventType::rightMouseUp, 100, 200, 1)}},
        {Kind::down, MouseButton::middle, {mouse(MouseEventType::otherMouseDown, 100, 200, 2)}},
        {Kind::up, MouseButton::middle, {mouse(MouseEventType::otherMouseUp, 100, 200, 2)}},
        {Kind::click,
         MouseButton::left,
         {mouse(MouseEventType::leftMouseDown, 100, 200, 0), mouse(MouseEventType::leftMouseUp, 100, 200, 0)}},
        {Kind::click,
         MouseButton::right,
         {mouse(MouseEventType::rightMouseDown, 100, 200, 1), mouse(MouseEventType::rightMouseUp, 100, 200, 1)}},
        {Kind::click,
         MouseButton::middle,
         {mouse(MouseEventType::otherMouseDown, 100, 200, 2), mouse(MouseEventType::otherMouseUp, 100, 200, 2)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kind " << int(c.kind) << " button " << int(c.button));
        RecordingInputBackend local;
        CGEventInjector injector(local, clock);
        injector.handle(button(c.kind, c.button));
        EXPECT_EQ(local.records(), c.expected);
        EXPECT_EQ(injector.isLeftButtonDown(), c.kind == Kind::down && c.button == MouseButton::left);
    }
}

TEST_F(InjectorTest, RightAndMiddleHeldLeaveMovesAsMoves) {
    injector().handle(button(Kind::down, MouseButton::right));
    injector().handle(button(Kind::down, MouseButton::middle));
    backend.clear();
    injector().handle(move(1, 1));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 102, 202)}));
}

TEST_F(InjectorTest, ButtonPacketWithoutButtonPostsNothing) {
    for (Kind kind : {Kind::down, Kind::up, Kind::click})
        injector().handle(packet(kind));
    EXPECT_TRUE(backend.records().empty());
    EXPECT_FALSE(injector().isLeftButtonDown());
}

TEST_F(InjectorTest, UntrustedDropsMovesScrollsAndKeysButNotButtonsOrText) {
    backend.setTrusted(false);
    injector().handle(move(10, 10));
    injector().handle(scroll(1, 1));
    injector().handle(key(Kind::keyDown, 55));
    injector().handle(key(Kind::keyDown, 8));
    injector().handle(button(Kind::down, MouseButton::left));
    injector().handle(text("a"));
    EXPECT_EQ(injector().lastX(), 100);
    EXPECT_EQ(injector().lastY(), 200);
    EXPECT_FALSE(injector().commandPressed());
    EXPECT_TRUE(injector().isLeftButtonDown());
    EXPECT_EQ(backend.records(), (Records{
                                     mouse(MouseEventType::leftMouseDown, 100, 200),
                                     textRecord(U'a', true),
                                     textRecord(U'a', false),
                                 }));
}

struct ScrollCase {
    std::optional<float> x;
    std::optional<float> y;
    std::int32_t vertical;
    std::int32_t horizontal;
};

TEST_F(InjectorTest, ScrollDoublesTruncatesAndClamps) {
    constexpr auto int32Max = std::numeric_limits<std::int32_t>::max();
    constexpr auto int32Min = std::numeric_limits<std::int32_t>::min();
    const std::vector<ScrollCase> cases{
        {1.4f, -2.6f, -5, 2},
        {std::nullopt, std::nullopt, 0, 0},
        {0, 0, 0, 0},
        {-0.4f, 0.4f, 0, 0},
        {nan, 3, 6, 0},
        {infinity, -infinity, 0, 0},
        {3e38f, -3e38f, 0, 0}, // doubling overflows a float
        {1e10f, -1e10f, int32Min, int32Max},
        {1073741824.0f, -1073741824.0f, int32Min, int32Max}, // exactly ±2^31 after doubling
        {1073741760.0f, 0, 0, 2147483520},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "x " << c.x.value_or(-1) << " y " << c.y.value_or(-1));
        RecordingInputBackend local;
        CGEventInjector injector(local, clock);
        injector.handle(scroll(c.x, c.y));
        EXPECT_EQ(local.records(), (Records{ScrollEvent{c.vertical, c.horizontal}}));
    }
}

TEST_F(InjectorTest, CommandFlagsOtherKeysWhileHeld) {
    injector().handle(key(Kind::keyDown, 55));
    EXPECT_TRUE(injector().commandPressed());
    injector().handle(key(Kind::keyDown, 8));
    injector().handle(key(Kind::keyUp, 8));
    injector().handle(key(Kind::keyUp, 55));
    EXPECT_FALSE(injector().commandPressed());
    injector().handle(key(Kind::keyDown, 8));
    EXPECT_EQ(backend.records(), (Records{
                                     keyRecord(55, true),
                                     keyRecord(8, true, commandFlag),
                                     keyRecord(8, false, commandFlag),
                                     keyRecord(55, false),
                                     keyRecord(8, true),
                                 }));
}

TEST_F(InjectorTest, OtherModifiersAreNotTracked) {
    injector().handle(key(Kind::keyDown, 56));
    injector().handle(key(Kind::keyDown, 0));
    EXPECT_EQ(backend.records(), (Records{keyRecord(56, true), keyRecord(0, true)}));
    EXPECT_FALSE(injector().commandPressed());
}

TEST_F(InjectorTest, KeyWithoutCodePostsNothing) {
    injector().handle(key(Kind::keyDown, 55));
    backend.clear();
    injector().handle(packet(Kind::keyUp));
    EXPECT_TRUE(backend.records().empty());
    EXPECT_TRUE(injector().commandPressed());
}

TEST_F(InjectorTest, CommandStateChangesEvenWhenTheEventCannotBeMade) {
    backend.setPostsSucceed(true, true, false);
    injector().handle(key(Kind::keyDown, 55));
    EXPECT_TRUE(injector().commandPressed());
    EXPECT_TRUE(backend.records().empty());
}

struct TextCase {
    const char* name;
    std::string text;
    std::vector<char32_t> scalars;
};

TEST_F(InjectorTest, TextIsTypedScalarByScalar) {
    const std::vector<TextCase> cases{
        {"precomposed", "h\xC3\xA9", {U'h', 0xE9}},
        {"combining accent", "e\xCC\x81", {U'e', 0x301}},
        {"g breve", "\xC4\x9F", {0x11F}},
        {"beyond the basic plane", "a\xF0\x9F\x98\x80z", {U'a', 0x1F600, U'z'}},
        {"largest scalar", "\xF4\x8F\xBF\xBF", {0x10FFFF}},
        {"malformed bytes are skipped", "a\xFF\xC3(b\xED\xA0\x80\xF0\x9F", {U'a', U'(', U'b'}},
        {"empty", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingInputBackend local;
        CGEventInjector injector(local, clock);
        injector.handle(text(c.text));
        Records expected;
        for (char32_t scalar : c.scalars) {
            expected.push_back(textRecord(scalar, true));
            expected.push_back(textRecord(scalar, false));
        }
        EXPECT_EQ(local.records(), expected);
    }
}

TEST_F(InjectorTest, TextCarriesNoCommandFlagAndAbsentTextPostsNothing) {
    injector().handle(key(Kind::keyDown, 55));
    backend.clear();
    injector().handle(packet(Kind::text));
    injector().handle(text("x"));
    EXPECT_EQ(backend.records(), (Records{textRecord(U'x', true), textRecord(U'x', false)}));
}

TEST_F(InjectorTest, OneHalfOfAKeyPairFailingDoesNotStopTheOther) {
    backend.setPostsSucceed(true, true, false);
    injector().handle(text("ab"));
    backend.setPostsSucceed(true, true, true);
    injector().handle(text("c"));
    EXPECT_EQ(backend.records(), (Records{textRecord(U'c', true), textRecord(U'c', false)}));
}

TEST_F(InjectorTest, FailedMousePostsKeepTheirStateChanges) {
    backend.setPostsSucceed(false, true, true);
    injector().handle(move(5, 5));
    injector().handle(button(Kind::down, MouseButton::left));
    EXPECT_EQ(injector().lastX(), 110);
    EXPECT_EQ(injector().lastY(), 210);
    EXPECT_TRUE(injector().isLeftButtonDown());
    EXPECT_TRUE(backend.records().empty());
}

TEST_F(InjectorTest, GesturesAndRepliesPostNothingAndChangeNothing) {
    for (Kind kind : {Kind::gestureBegin, Kind::gestureUpdate, Kind::gestureEnd, Kind::pairRequest, Kind::pairResponse,
                      Kind::auth}) {
        Packet p = packet(kind);
        p.dx = 5;
        p.button = MouseButton::left;
        p.keyCode = 55;
        p.text = "x";
        p.gestureType = GestureType::swipeUp;
        p.gestureProgress = 0.5f;
        p.fingerCount = 3;
        injector().handle(p);
    }
    EXPECT_TRUE(backend.records().empty());
    EXPECT_EQ(injector().lastX(), 100);
    EXPECT_FALSE(injector().isLeftButtonDown());
    EXPECT_FALSE(injector().commandPressed());
}

TEST_F(InjectorTest, ContinuousMotionUsesTheTrackedPositionWithoutReadingThePointer) {
    injector();
    int readsAtStart = backend.pointerReads();
    backend.setPointer(Point{700, 700});
    for (int i = 0; i < 10; ++i) {
        clock.advance(0.1);
        injector().handle(move(1, 0));
    }
    EXPECT_EQ(backend.pointerReads(), readsAtStart);
    EXPECT_EQ(injector().lastX(), 120);
    EXPECT_EQ(injector().lastY(), 200);
}

TEST_F(InjectorTest, AfterAPauseTheNextMoveStartsFromTheRealPointer) {
    injector().handle(move(1, 0));
    backend.setPointer(Point{700, 600});
    clock.advance(0.49);
    injector().handle(move(1, 0));
    clock.advance(0.5);
    injector().handle(move(1, 0));
    EXPECT_EQ(backend.records(), (Records{
                                     mouse(MouseEventType::mouseMoved, 102, 200),
                                     mouse(MouseEventType::mouseMoved, 104, 200),
                                     mouse(MouseEventType::mouseMoved, 702, 600),
                                 }));
}

TEST_F(InjectorTest, AfterAPauseAClickLandsAtTheRealPointer) {
    injector();
    backend.setPointer(Point{700, 600});
    clock.advance(2);
    injector().handle(button(Kind::click, MouseButton::left));
    EXPECT_EQ(backend.records(), (Records{
                                     mouse(MouseEventType::leftMouseDown, 700, 600),
                                     mouse(MouseEventType::leftMouseUp, 700, 600),
                                 }));
}

TEST_F(InjectorTest, UnreadablePointerAfterAPauseKeepsTheTrackedPosition) {
    injector();
    backend.setPointer(std::nullopt);
    clock.advance(2);
    injector().handle(move(1, 1));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 102, 202)}));
}

TEST_F(InjectorTest, UntrustedMovesDoNotCountAsActivity) {
    injector();
    backend.setTrusted(false);
    backend.setPointer(Point{700, 600});
    clock.advance(0.4);
    injector().handle(move(1, 0));
    clock.advance(0.4);
    backend.setTrusted(true);
    injector().handle(move(1, 0));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 702, 600)}));
}

TEST_F(InjectorTest, ReleaseHeldInputLetsGoOfTheLeftButtonAndCommand) {
    injector().handle(button(Kind::down, MouseButton::left));
    injector().handle(key(Kind::keyDown, 55));
    injector().handle(move(5, 0));
    backend.clear();
    injector().releaseHeldInput();
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::leftMouseUp, 110, 200), keyRecord(55, false)}));
    EXPECT_FALSE(injector().isLeftButtonDown());
    EXPECT_FALSE(injector().commandPressed());

    backend.clear();
    injector().releaseHeldInput();
    injector().handle(move(1, 0));
    EXPECT_EQ(backend.records(), (Records{mouse(MouseEventType::mouseMoved, 112, 200)}));
}

TEST_F(InjectorTest, ReleaseHeldInputLeavesRightAndOtherKeysAlone) {
    injector().handle(button(Kind::down, MouseButton::right));
    injector().handle(key(Kind::keyDown, 56));
    backend.clear();
    injector().releaseHeldInput();
    EXPECT_TRUE(backend.records().empty());
}

} // namespace
} // namespace vemdo

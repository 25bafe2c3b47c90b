// SPDX-License-Identifier: MIT
// The X11 backend against a real Xvfb: what the injector posts must arrive in X clients as the right
// pointer positions, buttons, wheel clicks, keys and characters.
#include "injection/cg_event_injector.h"
#include "platform/input/input_backend_factory.h"
#include "platform/input/x11_input_backend.h"

#include "support/recording_input_backend.h"
#include "x11_test_display.h"

#include <gtest/gtest.h>

// After GoogleTest, whose templates Xlib's macros (None, Bool) would break.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace vemdo {
namespace {

using testing::EventRecorder;
using testing::FakeMonotonicClock;
using testing::XvfbServer;

constexpr int screenWidth = 2000;
constexpr int screenHeight = 1200;

Packet move(float dx, float dy) {
    Packet p;
    p.kind = Kind::move;
    p.dx = dx;
    p.dy = dy;
    return p;
}

Packet button(Kind kind, MouseButton which) {
    Packet p;
    p.kind = kind;
    p.button = which;
    return p;
}

Packet key(Kind kind, std::uint16_t code) {
    Packet p;
    p.kind = kind;
    p.keyCode = code;
    return p;
}

Packet text(std::string value) {
    Packet p;
    p.kind = Kind::text;
    p.text = std::move(value);
    return p;
}

std::vector<std::string> withPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    }
    return out;
}

struct KeyLine {
    bool press = false;
    unsigned long keysym = 0;
    unsigned int state = 0;
    std::string text;
};

KeyLine parseKey(const std::string& line) {
    std::istringstream in(line);
    std::string word, action, textHex;
    unsigned int keycode = 0;
    KeyLine out;
    in >> word >> action >> keycode >> std::hex >> out.keysym >> out.state >> textHex;
    out.press = action == "press";
    if (textHex != "-") {
        for (std::size_t i = 0; i + 1 < textHex.size(); i += 2)
            out.text += static_cast<char>(std::stoi(textHex.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::vector<KeyLine> keyLines(const std::vector<std::string>& lines) {
    std::vector<KeyLine> out;
    for (const auto& line : withPrefix(lines, "key "))
        out.push_back(parseKey(line));
    return out;
}

std::string typedText(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : keyLines(lines))
        out += line.text;
    return out;
}

std::size_t scalarCount(const std::string& utf8) {
    return std::size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        if (!m_server.start(screenWidth, screenHeight, error))
            GTEST_SKIP() << "no X server for this test: " << error;
        m_probe = XOpenDisplay(m_server.displayName().c_str());
        ASSERT_NE(m_probe, nullptr);
        m_backend = std::make_unique<X11InputBackend>(m_server.displayName().c_str());
        ASSERT_TRUE(m_backend->isTrusted()) << m_backend->unavailableReason();
    }

    void TearDown() override {
        m_injector.reset();
        m_backend.reset();
        if (m_probe)
            XCloseDisplay(m_probe);
    }

    // The injector starts from wherever the pointer is now.
    CGEventInjector& injector() {
        if (!m_injector)
            m_injector = std::make_unique<CGEventInjector>(*m_backend, m_clock);
        return *m_injector;
    }

    Point realPointer() {
        // A round trip on the backend's own connection first, so the server has handled its motion.
        m_backend->pointerLocation();
        Window rootReturn, child;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned int mask = 0;
        XQueryPointer(m_probe, DefaultRootWindow(m_probe), &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask);
        return {double(rootX), double(rootY)};
    }

    void startRecorder() { ASSERT_TRUE(m_recorder.start(VEMDO_X_EVENT_RECORDER, m_server.displayName())); }

    // Waits until the recorder has printed `count` lines starting with `prefix`.
    std::vector<std::string> awaitLines(const std::string& prefix, std::size_t count, double seconds = 10) {
        m_recorder.output.readUntil([&](const auto& lines) { return withPrefix(lines, prefix).size() >= count; },
                                    seconds);
        return m_recorder.output.lines();
    }

    XvfbServer m_server;
    Display* m_probe = nullptr;
    std::unique_ptr<X11InputBackend> m_backend;
    FakeMonotonicClock m_clock;
    std::unique_ptr<CGEventInjector> m_injector;
    EventRecorder m_recorder;
};

TEST_F(X11InputTest, OneMonitorCoveringTheScreenIsTheOnlyFrame) {
    EXPECT_EQ(m_backend->screenFrames(), (std::vector<Rect>{{0, 0, screenWidth, screenHeight}}));
}

TEST_F(X11InputTest, MovesLandWhereTrackedAndClampAtTheEdges) {
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {100, 100}, 0}));
    XSync(m_probe, False);
    ASSERT_EQ(m_backend->pointerLocation(), (Point{100, 100}));

    struct Step {
        float dx, dy;
        Point expected;
    };
    const std::vector<Step> steps{
        {10, 5, {120, 110}},
        {-2.5f, 0.25f, {115, 110.5}},
        {5000, 5000, {screenWidth - 1, screenHeight - 1}},
        {-5000, -5000, {0, 0}},
        {std::numeric_limits<float>::quiet_NaN(), 300, {0, 600}},
    };
    for (const auto& step : steps) {
        injector().handle(move(step.dx, step.dy));
        EXPECT_EQ(injector().lastX(), step.expected.x);
        EXPECT_EQ(injector().lastY(), step.expected.y);
        Point real = realPointer();
        EXPECT_EQ(real.x, std::round(step.expected.x));
        EXPECT_EQ(real.y, std::round(step.expected.y));
    }
}

TEST_F(X11InputTest, AfterAPauseMovesContinueFromWhereTheRealMouseLeftThePointer) {
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {100, 100}, 0}));
    injector().handle(move(5, 0));
    EXPECT_EQ(realPointer(), (Point{110, 100}));
    // The user moves the pointer with a real mouse.
    XWarpPointer(m_probe, 0, DefaultRootWindow(m_probe), 0, 0, 0, 0, 900, 700);
    XSync(m_probe, False);
    m_clock.advance(0.2);
    injector().handle(move(5, 0)); // still continuous: the tracked position wins
    EXPECT_EQ(realPointer(), (Point{120, 100}));
    XWarpPointer(m_probe, 0, DefaultRootWindow(m_probe), 0, 0, 0, 0, 900, 700);
    XSync(m_probe, False);
    m_clock.advance(CGEventInjector::pointerResyncInterval);
    injector().handle(move(5, 0));
    EXPECT_EQ(realPointer(), (Point{910, 700}));
}

TEST_F(X11InputTest, OutOfScreenPositionsAreClampedBeforePosting) {
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {70000, -70000}, 0}));
    EXPECT_EQ(realPointer(), (Point{screenWidth - 1, 0}));
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {-1e12, 1e12}, 0}));
    EXPECT_EQ(realPointer(), (Point{0, screenHeight - 1}));
}

TEST_F(X11InputTest, TwoMonitorsGiveTheirUnion) {
    ASSERT_EQ(m_backend->screenFrames().size(), 1u);
    // Two 800 x 600 monitors side by side in the top-left corner of the larger screen.
    ASSERT_TRUE(m_server.run("xrandr --setmonitor left 800/200x600/150+0+0 screen"));
    m_backend->pointerLocation(); // a round trip: any change notice has arrived
    ASSERT_EQ(m_backend->screenFrames(), (std::vector<Rect>{{0, 0, 800, 600}}));
    ASSERT_TRUE(m_server.run("xrandr --setmonitor right 800/200x600/150+800+0 none"));
    m_backend->pointerLocation();
    auto frames = m_backend->screenFrames();
    std::sort(frames.begin(), frames.end(), [](const Rect& a, const Rect& b) { return a.x < b.x; });
    EXPECT_EQ(frames, (std::vector<Rect>{{0, 0, 800, 600}, {800, 0, 800, 600}}));

    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {700, 300}, 0}));
    injector().handle(move(100, 0));
    EXPECT_EQ(realPointer(), (Point{900, 300}));
    injector().handle(move(5000, 5000));
    EXPECT_EQ(realPointer(), (Point{1599, 599}));
}

TEST_F(X11InputTest, ClicksAndDragsArriveAsButtonEvents) {
    startRecorder();
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {300, 200}, 0}));
    injector().handle(button(Kind::click, MouseButton::left));
    injector().handle(button(Kind::click, MouseButton::right));
    injector().handle(button(Kind::click, MouseButton::middle));
    injector().handle(button(Kind::down, MouseButton::left));
    injector().handle(move(50, 25));
    injector().handle(button(Kind::up, MouseButton::left));

    auto lines = awaitLines("button ", 8);
    EXPECT_EQ(withPrefix(lines, "button "), (std::vector<std::string>{
                                                "button press 1 300 200 0",
                                                "button release 1 300 200 100",
                                                "button press 3 300 200 0",
                                                "button release 3 300 200 400",
                                                "button press 2 300 200 0",
                                                "button release 2 300 200 200",
                                                "button press 1 300 200 0",
                                                "button release 1 400 250 100",
                                            }));
    // The drag's motion arrives with the left button held.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "motion 400 250 100"), lines.end());
}

TEST_F(X11InputTest, ReleasingHeldInputEndsADrag) {
    startRecorder();
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {300, 200}, 0}));
    injector().handle(button(Kind::down, MouseButton::left));
    injector().handle(key(Kind::keyDown, 55));
    injector().releaseHeldInput();
    awaitLines("button release", 1);
    auto lines = awaitLines("key release", 1);
    EXPECT_EQ(withPrefix(lines, "button "),
              (std::vector<std::string>{"button press 1 300 200 0", "button release 1 300 200 104"}));
    auto keys = keyLines(lines);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].keysym, XK_Control_L);
    EXPECT_FALSE(keys[1].press);
}

TEST_F(X11InputTest, ScrollsArriveAsWheelClicksUpAndLeftBeingPositive) {
    startRecorder();
    ASSERT_TRUE(m_backend->postMouse({MouseEventType::mouseMoved, {300, 200}, 0}));
    constexpr int step = X11InputBackend::pixelsPerWheelClick;
    ASSERT_TRUE(m_backend->postScroll({2 * step, 0}));  // up, twice
    ASSERT_TRUE(m_backend->postScroll({-step, 0}));     // down
    ASSERT_TRUE(m_backend->postScroll({0, step}));      // left
    ASSERT_TRUE(m_backend->postScroll({0, -step - 1})); // right, with a remainder of -1
    // Slow scrolling: no click until the carried pixels add up.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(m_backend->postScroll({step / 4, 0}));
    // Through the injector: the doubled delta, positive vertical is up.
    Packet p;
    p.kind = Kind::scroll;
    p.scrollY = float(step) / 2;
    injector().handle(p);

    auto lines = awaitLines("button press", 7);
    EXPECT_EQ(withPrefix(lines, "button press"), (std::vector<std::string>{
                                                     "button press 4 300 200 0",
                                                     "button press 4 300 200 0",
                                                     "button press 5 300 200 0",
                                                     "button press 6 300 200 0",
                                                     "button press 7 300 200 0",
                                                     "button press 4 300 200 0",
                                                     "button press 4 300 200 0",
                                                 }));
}

TEST_F(X11InputTest, CommandHeldArrivesAsControl) {
    startRecorder();
    injector().handle(key(Kind::keyDown, 8)); // c, no modifier
    injector().handle(key(Kind::keyUp, 8));
    injector().handle(key(Kind::keyDown, 55));
    injector().handle(key(Kind::keyDown, 8));
    injector().handle(key(Kind::keyUp, 8));
    injector().handle(key(Kind::keyUp, 55));
    // A flagged key without a held Command gets Control pressed around it.
    ASSERT_TRUE(m_backend->postKey({9, true, commandFlag, std::nullopt}));
    ASSERT_TRUE(m_backend->postKey({9, false, commandFlag, std::nullopt}));

    auto keys = keyLines(awaitLines("key ", 12));
    ASSERT_EQ(keys.size(), 12u);
    struct Expected {
        bool press;
        unsigned long keysym;
        bool control;
    };
    const std::vector<Expected> expected{
        {true, XK_c, false},         {false, XK_c, false}, {true, XK_Control_L, false},
        {true, XK_c, true},          {false, XK_c, true},  {false, XK_Control_L, true},
        {true, XK_Control_L, false}, {true, XK_v, true},   {false, XK_Control_L, true},
        {true, XK_Control_L, false}, {false, XK_v, true},  {false, XK_Control_L, true},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(keys[i].press, expected[i].press);
        EXPECT_EQ(keys[i].keysym, expected[i].keysym);
        EXPECT_EQ((keys[i].state & ControlMask) != 0, expected[i].control);
    }
}

TEST_F(X11InputTest, KeyTableReachesTheRightKeysyms) {
    startRecorder();
    const std::vector<std::pair<std::uint16_t, unsigned long>> table{
        {0, XK_a},          {29, XK_0},          {36, XK_Return},  {48, XK_Tab},    {49, XK_space},
        {51, XK_BackSpace}, {117, XK_Delete},    {53, XK_Escape},  {123, XK_Left},  {126, XK_Up},
        {115, XK_Home},     {121, XK_Page_Down}, {122, XK_F1},     {111, XK_F12},   {90, XK_F20},
        {72, 0x1008FF13},   {74, 0x1008FF12},    {56, XK_Shift_L}, {58, XK_Alt_L},  {59, XK_Control_L},
        {27, XK_minus},     {42, XK_backslash},  {50, XK_grave},   {47, XK_period},
    };
    for (const auto& [code, keysym] : table) {
        injector().handle(key(Kind::keyDown, code));
        injector().handle(key(Kind::keyUp, code));
    }
    // An unknown code posts nothing at all.
    EXPECT_FALSE(m_backend->postKey({52, true, std::nullopt, std::nullopt}));
    injector().handle(key(Kind::keyDown, 52));

    auto keys = keyLines(awaitLines("key ", table.size() * 2));
    ASSERT_EQ(keys.size(), table.size() * 2);
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].first);
        EXPECT_EQ(keys[2 * i].keysym, table[i].second);
        EXPECT_TRUE(keys[2 * i].press);
        EXPECT_EQ(keys[2 * i + 1].keysym, table[i].second);
        EXPECT_FALSE(keys[2 * i + 1].press);
    }
    // Nothing more arrives for the unknown code.
    EXPECT_FALSE(
        m_recorder.output.readUntil([&](const auto& lines) { return keyLines(lines).size() > keys.size(); }, 0.3));
}

TEST_F(X11InputTest, TextArrivesIntact) {
    startRecorder();
    // ASCII, precomposed é, ğ, e with a combining acute, an emoji beyond the basic plane, shifted ASCII.
    const std::string sample = "Hello, w\xC3\xB6rld! a\xC3\xA9 \xC4\x9F e\xCC\x81 \xF0\x9F\x98\x80 Z~";
    injector().handle(text(sample));
    awaitLines("key release", scalarCount(sample));
    EXPECT_EQ(typedText(m_recorder.output.lines()), sample);
}

TEST_F(X11InputTest, LongTextWithManyDistinctCharactersArrivesIntact) {
    startRecorder();
    // More distinct characters than there are spare keycodes, so keycodes are reused within the text.
    std::string sample;
    for (char32_t c = 0x3B1; c <= 0x3C9; ++c) { // Greek small letters
        sample += char(0xC0 | (c >> 6));
        sample += char(0x80 | (c & 0x3F));
    }
    for (char32_t c = 0x430; c <= 0x44F; ++c) { // Cyrillic small letters
        sample += char(0xC0 | (c >> 6));
        sample += char(0x80 | (c & 0x3F));
    }
    sample += sample;
    injector().handle(text(sample));
    awaitLines("key release", scalarCount(sample), 30);
    EXPECT_EQ(typedText(m_recorder.output.lines()), sample);
}

TEST_F(X11InputTest, KeymapChangesByOtherClientsAreFollowed) {
    startRecorder();
    KeyCode yKey = XKeysymToKeycode(m_probe, XK_y);
    KeyCode zKey = XKeysymToKeycode(m_probe, XK_z);
    ASSERT_NE(yKey, 0);
    ASSERT_NE(zKey, 0);
    // Swap y and z, as switching to a German layout does.
    ASSERT_TRUE(m_server.run("xmodmap -e 'keycode " + std::to_string(yKey) + " = z Z' -e 'keycode " +
                             std::to_string(zKey) + " = y Y'"));
    injector().handle(key(Kind::keyDown, 16)); // y
    injector().handle(key(Kind::keyUp, 16));
    auto lines = withPrefix(awaitLines("key release", 1), "key press");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parseKey(lines[0]).keysym, XK_y);
    EXPECT_EQ(parseKey(lines[0]).text, "y");
}

TEST_F(X11InputTest, SpareKeycodesTakenByAnotherClientAreLeftAlone) {
    startRecorder();
    int minimum = 0, maximum = 0, perKeycode = 0;
    XDisplayKeycodes(m_probe, &minimum, &maximum);
    KeySym* map = XGetKeyboardMapping(m_probe, KeyCode(minimum), maximum - minimum + 1, &perKeycode);
    std::vector<KeyCode> taken;
    for (int k = 0; k <= maximum - minimum; ++k) {
        if (std::all_of(map + k * perKeycode, map + (k + 1) * perKeycode, [](KeySym s) { return s == NoSymbol; }))
            taken.push_back(KeyCode(minimum + k));
    }
    XFree(map);
    ASSERT_FALSE(taken.empty());
    for (KeyCode keycode : taken) {
        KeySym mine = XK_F35;
        XChangeKeyboardMapping(m_probe, keycode, 1, &mine, 1);
    }
    XSync(m_probe, False);
    m_backend->pointerLocation(); // the change notices are now on the backend's connection

    // Nothing is left to map a character onto: it is not typed, and the other client's keys stay.
    injector().handle(text("\xC3\xB1"));
    injector().handle(text("a"));
    auto lines = withPrefix(awaitLines("key release", 1), "key press");
    EXPECT_EQ(typedText(lines), "a");
    for (KeyCode keycode : taken)
        EXPECT_EQ(XkbKeycodeToKeysym(m_probe, keycode, 0, 0), XK_F35) << int(keycode);
}

TEST_F(X11InputTest, ClosingTheBackendRestoresTheSpareKeycodes) {
    auto emptyKeycodes = [&] {
        int minimum = 0, maximum = 0, perKeycode = 0;
        XDisplayKeycodes(m_probe, &minimum, &maximum);
        KeySym* map = XGetKeyboardMapping(m_probe, KeyCode(minimum), maximum - minimum + 1, &perKeycode);
        int empty = 0;
        for (int k = 0; k <= maximum - minimum; ++k) {
            bool all = true;
            for (int c = 0; c < perKeycode; ++c)
                all = all && map[k * perKeycode + c] == NoSymbol;
            empty += all;
        }
        XFree(map);
        return empty;
    };
    int before = emptyKeycodes();
    injector().handle(text("\xC3\xA9\xC4\x9F"));
    m_backend->pointerLocation(); // a round trip: the server has handled everything posted before
    EXPECT_LT(emptyKeycodes(), before);
    m_injector.reset();
    m_backend.reset();
    EXPECT_EQ(emptyKeycodes(), before);
}

TEST_F(X11InputTest, AServerThatGoesAwayLeavesAnUntrustedBackendAndARunningProcess) {
    injector().handle(move(1, 1));
    XCloseDisplay(m_probe);
    m_probe = nullptr;
    m_server.stop();
    // The first request to notice the broken connection must not end the process.
    for (int i = 0; i < 3; ++i)
        injector().handle(move(1, 1));
    m_backend->postKey({0, true, std::nullopt, U'x'});
    EXPECT_FALSE(m_backend->isTrusted());
    EXPECT_NE(m_backend->unavailableReason(), "");
    EXPECT_FALSE(m_backend->postMouse({MouseEventType::mouseMoved, {1, 1}, 0}));
    EXPECT_TRUE(m_backend->screenFrames().empty());
    EXPECT_FALSE(m_backend->pointerLocation());
}

TEST(X11InputWithoutDisplay, AnUnreachableDisplayGivesAnUntrustedBackendThatPostsNothing) {
    X11InputBackend backend(":999999");
    EXPECT_FALSE(backend.isTrusted());
    EXPECT_NE(backend.unavailableReason(), "");
    EXPECT_TRUE(backend.screenFrames().empty());
    EXPECT_FALSE(backend.pointerLocation());
    EXPECT_FALSE(backend.postMouse({MouseEventType::mouseMoved, {1, 1}, 0}));
    EXPECT_FALSE(backend.postScroll({40, 0}));
    EXPECT_FALSE(backend.postKey({0, true, std::nullopt, std::nullopt}));
    EXPECT_FALSE(backend.postKey({0, true, std::nullopt, U'x'}));

    // The injector over it drops everything without failing.
    FakeMonotonicClock clock;
    CGEventInjector injector(backend, clock);
    injector.handle(move(5, 5));
    injector.handle(text("x"));
    EXPECT_EQ(injector.lastX(), 0);
}

TEST(X11InputWithoutDisplay, TheFactoryNeverGivesNull) {
    const char* saved = std::getenv("DISPLAY");
    std::string restore = saved ? saved : "";
    setenv("DISPLAY", ":999999", 1);
    auto backend = makeInputBackend();
    if (saved)
        setenv("DISPLAY", restore.c_str(), 1);
    else
        unsetenv("DISPLAY");
    ASSERT_NE(backend, nullptr);
    EXPECT_FALSE(backend->isTrusted());
}

struct WheelCase {
    std::vector<std::int32_t> deltas;
    std::vector<int> clicks;
};

TEST(X11WheelClicks, PixelsAccumulateIntoClicksWithTheRemainderCarried) {
    constexpr int step = X11InputBackend::pixelsPerWheelClick;
    constexpr int cap = X11InputBackend::maxWheelClicksPerEvent;
    const std::vector<WheelCase> cases{
        {{step}, {1}},
        {{-step}, {-1}},
        {{step - 1, 1}, {0, 1}},
        {{step / 2, step / 2, step / 2, step / 2}, {0, 1, 0, 1}},
        {{3 * step + 5, step - 5}, {3, 1}},
        {{step - 1, -1, -step + 1}, {0, 0, -1}}, // a reversal drops what the other direction carried
        {{step - 1, -step}, {0, -1}},
        {{std::numeric_limits<std::int32_t>::max(), step}, {cap, 1}},
        {{std::numeric_limits<std::int32_t>::min()}, {-cap}},
        {{0, 0}, {0, 0}},
    };
    for (const auto& c : cases) {
        double remainder = 0;
        std::vector<int> clicks;
        for (auto delta : c.deltas)
            clicks.push_back(X11InputBackend::takeWheelClicks(remainder, delta));
        EXPECT_EQ(clicks, c.clicks) << ::testing::PrintToString(c.deltas);
    }
}

TEST(X11KeyTable, CoversTheNamedKeysAndNothingElse) {
    EXPECT_EQ(X11InputBackend::keysymForKeyCode(55), XK_Control_L);
    EXPECT_EQ(X11InputBackend::keysymForKeyCode(117), XK_Delete);
    EXPECT_EQ(X11InputBackend::keysymForKeyCode(51), XK_BackSpace);
    int functionKeys = 0;
    for (std::uint16_t code = 0; code < 256; ++code) {
        auto keysym = X11InputBackend::keysymForKeyCode(code);
        if (keysym && *keysym >= XK_F1 && *keysym <= XK_F20)
            ++functionKeys;
    }
    EXPECT_EQ(functionKeys, 20);
    for (std::uint16_t code : {52, 63, 66, 68, 70, 93, 127, 128, 200, 65535})
        EXPECT_FALSE(X11InputBackend::keysymForKeyCode(code)) << code;
}

TEST(X11KeyTable, ScalarsMapToLatin1OrUnicodeKeysyms) {
    EXPECT_EQ(X11InputBackend::keysymForScalar(U'a'), XK_a);
    EXPECT_EQ(X11InputBackend::keysymForScalar(0xE9), XK_eacute);
    EXPECT_EQ(X11InputBackend::keysymForScalar(0x11F), 0x100011Fu);
    EXPECT_EQ(X11InputBackend::keysymForScalar(0x1F600), 0x101F600u);
    EXPECT_EQ(X11InputBackend::keysymForScalar(U'\n'), XK_Return);
    EXPECT_EQ(X11InputBackend::keysymForScalar(U'\t'), XK_Tab);
    EXPECT_EQ(X11InputBackend::keysymForScalar(0x85), 0x1000085u);
}

} // namespace
} // namespace vemdo

// SPDX-License-Identifier: MIT
// The X11 backend against a real Xvfb: what the injector posts must arrive in X clients as the right
// pointer positions, buttons, wheel clicks, keys and characters.
#include "injection/input_injector.h"
#include "platform/input/input_backend_factory.h"
#include "platform/input/wheel_steps.h"
#include "platform/input/x11_input_backend.h"

#include "support/fakes.h"
#include "x11_test_display.h"

#include <gtest/gtest.h>

// After GoogleTest, whose templates Xlib's macros (None, Bool) would break.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>

namespace vemdo {
namespace {

using testing::ChildProcess;
using Lines = ChildProcess::Lines;

constexpr int screenWidth = 2000;
constexpr int screenHeight = 1200;

using testing::move;
using testing::packet;
using testing::text;

Lines withPrefix(const Lines& lines, const std::string& prefix) {
    Lines out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    return out;
}

// The recorder's "key press|release KEYCODE KEYSYM STATE TEXT-HEX" lines as "press|release KEYSYM-NAME", then
// " +Control" while Control is held, then the text typed; and the text alone.
Lines keyLines(const Lines& lines, std::string* typed = nullptr) {
    Lines keys;
    for (const auto& line : withPrefix(lines, "key ")) {
        std::istringstream in(line);
        std::string word, action, textHex, text;
        unsigned keycode = 0, state = 0;
        unsigned long keysym = 0;
        in >> word >> action >> keycode >> std::hex >> keysym >> state >> textHex;
        for (std::size_t i = 0; textHex != "-" && i + 1 < textHex.size(); i += 2)
            text += static_cast<char>(std::stoi(textHex.substr(i, 2), nullptr, 16));
        // Xlib allocates the names of Unicode keysyms, and the typed text is all that is read of them.
        const char* name = keysym >= 0x1000000 ? "U+" : keysym ? XKeysymToString(keysym) : "NoSymbol";
        keys.push_back(action + " " + name + (state & ControlMask ? " +Control" : "") +
                       (text.empty() ? "" : " " + text));
        if (typed)
            *typed += text;
    }
    return keys;
}

std::string typedText(const Lines& lines) {
    std::string typed;
    keyLines(lines, &typed);
    return typed;
}

std::size_t scalarCount(const std::string& utf8) {
    return std::size_t(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_server.displayName(), "") << "Xvfb did not start";
        m_probe = XOpenDisplay(m_server.displayName().c_str());
        ASSERT_NE(m_probe, nullptr);
        m_backend = std::make_unique<X11InputBackend>(m_server.displayName().c_str());
        ASSERT_TRUE(m_backend->canPost()) << m_backend->unavailableReason();
        m_injector = std::make_unique<InputInjector>(*m_backend, m_clock, m_queue);
    }

    void TearDown() override {
        m_injector.reset();
        m_backend.reset();
        if (m_probe)
            XCloseDisplay(m_probe);
    }

    void moveTo(double x, double y) {
        ASSERT_TRUE(m_backend->postMotion({x, y}));
        m_clock.advance(InputInjector::pointerResyncInterval); // the injector picks the spot up
    }

    Point realPointer() {
        // A round trip on the backend's own connection first, so the server has handled its motion.
        m_backend->pointerLocation();
        Window root, child;
        int x = 0, y = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        XQueryPointer(m_probe, DefaultRootWindow(m_probe), &root, &child, &x, &y, &winX, &winY, &mask);
        return {double(x), double(y)};
    }

    // The recorder's lines once it has printed `count` lines starting with `prefix`; meanwhile the
    // injector's timers run as real time passes.
    const Lines& recorded(const std::string& prefix, std::size_t count, double seconds = 10) {
        auto done = [&](const Lines& lines) { return withPrefix(lines, prefix).size() >= count; };
        for (auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
             !done(m_recorder->lines) && std::chrono::steady_clock::now() < end;) {
            runDueTasks();
            m_recorder->readUntil(done, 0.002);
        }
        return m_recorder->lines;
    }

    void runDueTasks() {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_ran);
        m_ran += elapsed;
        m_queue.advance(elapsed);
    }

    // Keycodes whose every level is empty in the display's keyboard map.
    std::vector<KeyCode> emptyKeycodes() {
        int minimum = 0, maximum = 0, perKeycode = 0;
        XDisplayKeycodes(m_probe, &minimum, &maximum);
        KeySym* map = XGetKeyboardMapping(m_probe, KeyCode(minimum), maximum - minimum + 1, &perKeycode);
        std::vector<KeyCode> empty;
        for (int k = 0; k <= maximum - minimum; ++k) {
            if (std::all_of(map + k * perKeycode, map + (k + 1) * perKeycode, [](KeySym s) { return s == NoSymbol; }))
                empty.push_back(KeyCode(minimum + k));
        }
        XFree(map);
        return empty;
    }

    // `pause`: microseconds the recorder sleeps after each event, as a busy client falls behind.
    void startRecorder(int pause = 0) {
        m_recorder.emplace(Lines{VEMDO_X_EVENT_RECORDER, std::to_string(pause)},
                           Lines{"DISPLAY=" + m_server.displayName()});
        m_recorder->readUntil([](const Lines& lines) { return !lines.empty() && lines.back() == "ready"; }, 20);
        ASSERT_EQ(m_recorder->lines, Lines{"ready"});
        m_recorder->lines.clear();
    }

    testing::XvfbServer m_server{screenWidth, screenHeight};
    std::optional<ChildProcess> m_recorder;
    testing::ManualTaskQueue m_queue;
    std::chrono::steady_clock::time_point m_ran = std::chrono::steady_clock::now();
    Display* m_probe = nullptr;
    std::unique_ptr<X11InputBackend> m_backend;
    testing::FakeClock m_clock;
    std::unique_ptr<InputInjector> m_injector;
};

TEST_F(X11InputTest, MovesAreDoubledAndClampedToTheMonitors) {
    EXPECT_EQ(m_backend->screenFrames(), (std::vector<Rect>{{0, 0, screenWidth, screenHeight}}));
    moveTo(100, 100);
    m_injector->handle(move(10, 5));
    EXPECT_EQ(realPointer(), (Point{120, 110}));
    // XTest carries 16-bit positions, so the backend clamps what it is given before posting.
    ASSERT_TRUE(m_backend->postMotion({70000, -70000}));
    EXPECT_EQ(realPointer(), (Point{screenWidth - 1, 0}));

    // Two 800 x 600 monitors side by side in the top-left corner of the larger screen: their union.
    ASSERT_TRUE(m_server.run("xrandr --setmonitor left 800/200x600/150+0+0 screen"));
    ASSERT_TRUE(m_server.run("xrandr --setmonitor right 800/200x600/150+800+0 none"));
    // Noticed while the pointer keeps moving, without a round trip that would bring the notices along.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do
        m_injector->handle(move(5000, 5000));
    while (realPointer() != Point{1599, 599} && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(realPointer(), (Point{1599, 599}));
    auto frames = m_backend->screenFrames();
    std::sort(frames.begin(), frames.end(), [](const Rect& a, const Rect& b) { return a.x < b.x; });
    EXPECT_EQ(frames, (std::vector<Rect>{{0, 0, 800, 600}, {800, 0, 800, 600}}));
    moveTo(700, 300);
    m_injector->handle(move(100, 0));
    EXPECT_EQ(realPointer(), (Point{900, 300}));
    m_injector->handle(move(5000, 5000));
    EXPECT_EQ(realPointer(), (Point{1599, 599}));

    // After a pause the injector continues from where a real mouse left the pointer.
    XWarpPointer(m_probe, 0, DefaultRootWindow(m_probe), 0, 0, 0, 0, 400, 300);
    XSync(m_probe, False);
    m_clock.advance(InputInjector::pointerResyncInterval);
    m_injector->handle(move(-5, 0));
    EXPECT_EQ(realPointer(), (Point{390, 300}));
}

TEST_F(X11InputTest, ButtonsDragsAndScrollsArriveAsXButtons) {
    startRecorder();
    moveTo(300, 200);
    for (const char* button : {R"("button":0)", R"("button":1)", R"("button":2)"})
        m_injector->handle(packet("click", button));
    m_injector->handle(packet("down", R"("button":0)"));
    m_injector->handle(move(50, 25));
    m_injector->handle(packet("up", R"("button":0)"));
    // A phone that vanishes mid-drag: the transport has the held button released.
    m_injector->handle(packet("down", R"("button":0)"));
    m_injector->releaseHeldInput();
    // Wheel: positive vertical is up (4), negative down (5), positive horizontal left (6), negative right
    // (7); the injector doubles the delta and the backend carries what does not make a whole click.
    constexpr float step = pixelsPerWheelClick;
    for (auto [x, y] : {std::pair{0.f, step}, {0.f, -step / 2}, {step / 2, 0.f}, {-step / 4, 0.f}, {-step / 4, 0.f}}) {
        Packet p = packet("scroll");
        p.scrollX = x;
        p.scrollY = y;
        m_injector->handle(p);
    }
    EXPECT_EQ(withPrefix(recorded("button ", 20), "button "),
              (Lines{
                  "button press 1 300 200 0",      "button release 1 300 200 100", "button press 3 300 200 0",
                  "button release 3 300 200 400",  "button press 2 300 200 0",     "button release 2 300 200 200",
                  "button press 1 300 200 0",      "button release 1 400 250 100", "button press 1 400 250 0",
                  "button release 1 400 250 100",  "button press 4 400 250 0",     "button release 4 400 250 800",
                  "button press 4 400 250 0",      "button release 4 400 250 800", "button press 5 400 250 0",
                  "button release 5 400 250 1000", "button press 6 400 250 0",     "button release 6 400 250 0",
                  "button press 7 400 250 0",      "button release 7 400 250 0",
              }));
    // The drag's motion arrives with the left button held.
    EXPECT_NE(std::find(m_recorder->lines.begin(), m_recorder->lines.end(), "motion 400 250 100"),
              m_recorder->lines.end());
}

TEST_F(X11InputTest, KeysArriveWithCommandAsControl) {
    startRecorder();
    // Another client swaps y and z, as switching to a German layout does: the keysym still arrives.
    KeyCode yKey = XKeysymToKeycode(m_probe, XK_y), zKey = XKeysymToKeycode(m_probe, XK_z);
    ASSERT_TRUE(m_server.run("xmodmap -e 'keycode " + std::to_string(yKey) + " = z Z' -e 'keycode " +
                             std::to_string(zKey) + " = y Y'"));
    for (auto [kind, code] : {std::pair{"keyDown", 16},
                              {"keyUp", 16},
                              {"keyDown", 55},
                              {"keyDown", 8},
                              {"keyUp", 8},
                              {"keyUp", 55},
                              {"keyDown", 36},
                              {"keyUp", 36},
                              {"keyDown", 52},
                              {"keyDown", 55}})
        m_injector->handle(packet(kind, "\"keyCode\":" + std::to_string(code)));
    // A Command still held when the last phone leaves is let go.
    m_injector->releaseHeldInput();
    // A key asking for Control without a held Command gets Control pressed around it.
    ASSERT_TRUE(m_backend->postKey({9, true, true, std::nullopt}));
    ASSERT_TRUE(m_backend->postKey({9, false, true, std::nullopt}));

    // The recorder prints the text a key press types (Control-C types U+0003).
    const Lines expected{
        "press y y",
        "release y",
        "press Control_L",
        "press c +Control \x03",
        "release c +Control",
        "release Control_L +Control",
        "press Return \r",
        "release Return",
        "press Control_L",
        "release Control_L +Control",
        "press Control_L",
        "press v +Control \x16",
        "release Control_L +Control",
        "press Control_L",
        "release v +Control",
        "release Control_L +Control",
    };
    EXPECT_EQ(keyLines(recorded("key ", expected.size())), expected);
}

// A client that reads its events slowly, on a machine that two busy loops load, reads every character as it
// was typed: a spare keycode is mapped to another character only once such a client has looked it up.
TEST_F(X11InputTest, TextArrivesIntactInASlowClientBesideMovesAndTheSpareKeycodesAreRestored) {
    const auto before = emptyKeycodes();
    ChildProcess busy[] = {{{"sh", "-c", "while :; do :; done"}}, {{"sh", "-c", "while :; do :; done"}}};
    startRecorder(1000);
    moveTo(100, 100);
    // ASCII, precomposed é and ö, ğ, e with a combining acute, an emoji beyond the basic plane, and many more
    // distinct characters (Greek, Cyrillic, CJK) than there are spare keycodes, so keycodes are reused.
    std::string sample = "Hello, w\xC3\xB6rld! a\xC3\xA9 \xC4\x9F e\xCC\x81 \xF0\x9F\x98\x80 Z~";
    for (char32_t c : {0x3B1, 0x3C9, 0x430, 0x44F}) {
        for (char32_t last = c + 30; c <= last; ++c)
            sample += {char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))};
    }
    for (char32_t c = 0x4E00; c < 0x4E00 + 200; ++c)
        sample += {char(0xE0 | (c >> 12)), char(0x80 | ((c >> 6) & 0x3F)), char(0x80 | (c & 0x3F))};
    m_injector->handle(text(sample));
    // The move waits for no more than the text's first step.
    m_injector->handle(move(10, 0));
    const Lines& lines = recorded("key release", scalarCount(sample), 120);
    EXPECT_EQ(typedText(lines), sample);
    const auto motion = std::find(lines.begin(), lines.end(), "motion 120 100 0");
    EXPECT_LE(withPrefix(Lines(lines.begin(), motion), "key press").size(), InputInjector::keysPerStep / 2);

    EXPECT_LT(emptyKeycodes().size(), before.size());
    recorded("never", 1, 3); // typing has paused: the spares are emptied
    EXPECT_EQ(emptyKeycodes(), before);
}

TEST_F(X11InputTest, SpareKeycodesTakenByAnotherClientAreLeftAlone) {
    startRecorder();
    const auto taken = emptyKeycodes();
    ASSERT_FALSE(taken.empty());
    for (KeyCode keycode : taken) {
        KeySym mine = XK_F35;
        XChangeKeyboardMapping(m_probe, keycode, 1, &mine, 1);
    }
    XSync(m_probe, False);
    m_backend->pointerLocation(); // the change notices are now on the backend's connection

    // Nothing is left to map a character onto: it is not typed, and the other client's keys stay.
    m_injector->handle(text("\xC3\xB1"));
    m_injector->handle(text("a"));
    EXPECT_EQ(typedText(withPrefix(recorded("key release", 1), "key press")), "a");
    for (KeyCode keycode : taken)
        EXPECT_EQ(XkbKeycodeToKeysym(m_probe, keycode, 0, 0), XK_F35) << int(keycode);
}

TEST_F(X11InputTest, AServerThatGoesAwayLeavesABackendThatCannotPostAndARunningProcess) {
    m_injector->handle(move(1, 1));
    XCloseDisplay(m_probe);
    m_probe = nullptr;
    m_server.stop();
    // The first request to notice the broken connection must not end the process.
    for (int i = 0; i < 3; ++i)
        m_injector->handle(move(1, 1));
    m_backend->postKey({0, true, false, U'x'});
    EXPECT_FALSE(m_backend->canPost());
    EXPECT_FALSE(m_backend->postMotion({1, 1}));
    EXPECT_TRUE(m_backend->screenFrames().empty());
}

TEST(X11InputWithoutDisplay, TheFactoryGivesABackendThatPostsNothing) {
    setenv("DISPLAY", ":999999", 1);
    auto backend = makeInputBackend();
    ASSERT_NE(backend, nullptr);
    EXPECT_FALSE(backend->canPost());
    EXPECT_FALSE(backend->pointerLocation());
    EXPECT_FALSE(backend->postMotion({1, 1}));
    EXPECT_FALSE(backend->postButton({PointerButton::left, true, {1, 1}}));
    EXPECT_FALSE(backend->postScroll({40, 0}));
    EXPECT_FALSE(backend->postKey({0, true, false, U'x'}));
}

} // namespace
} // namespace vemdo

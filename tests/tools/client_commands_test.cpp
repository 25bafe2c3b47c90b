// SPDX-License-Identifier: MIT
#include "tools/client_commands.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

namespace vemdo::client {
namespace {

std::vector<std::string> words(std::initializer_list<const char*> list) {
    return {list.begin(), list.end()};
}

struct OptionsCase {
    std::vector<std::string> args;
    bool ok;
    std::string errorContains;
};

TEST(ClientOptions, AcceptsAndRefusesCommandLines) {
    const std::vector<OptionsCase> cases = {
        {words({"pair", "123456"}), true, ""},
        {words({"--host", "10.77.0.1", "--port", "5000", "auth"}), true, ""},
        {words({"--udp", "move", "-5", "3.5"}), true, ""},
        {words({"scroll", "0", "-120"}), true, ""},
        {words({"click"}), true, ""},
        {words({"down", "middle"}), true, ""},
        {words({"key", "55", "down"}), true, ""},
        {words({"type", "héllo", "wörld"}), true, ""},
        {words({"script"}), true, ""},
        {words({"discover"}), true, ""},
        {words({}), false, "no command"},
        {words({"--host", "h", "auth"}), false, "go together"},
        {words({"--port", "0", "--host", "h", "auth"}), false, "--port"},
        {words({"--port", "65536", "--host", "h", "auth"}), false, "--port"},
        {words({"--port"}), false, "needs a value"},
        {words({"--bogus", "auth"}), false, "unknown option"},
        {words({"fly"}), false, "unknown command"},
        {words({"pair"}), false, "usage: pair"},
        {words({"pair", "1", "2"}), false, "usage: pair"},
        {words({"move", "1"}), false, "usage: move"},
        {words({"move", "1", "x"}), false, "usage: move"},
        {words({"move", "1", "2", "3"}), false, "usage: move"},
        {words({"click", "top"}), false, "usage: click"},
        {words({"key", "70000"}), false, "usage: key"},
        {words({"key", "-1"}), false, "usage: key"},
        {words({"key", "12", "sideways"}), false, "usage: key"},
        {words({"type"}), false, "usage: type"},
        {words({"auth", "now"}), false, "no arguments"},
        {words({"--timeout", "-1", "auth"}), false, "--timeout"},
    };
    for (const auto& c : cases) {
        const auto result = parseOptions(c.args);
        std::string joined;
        for (const auto& a : c.args) {
            joined += a + " ";
        }
        if (c.ok) {
            EXPECT_TRUE(std::holds_alternative<Options>(result)) << joined << std::get<std::string>(result);
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(result)) << joined;
            EXPECT_NE(std::get<std::string>(result).find(c.errorContains), std::string::npos)
                << joined << "-> " << std::get<std::string>(result);
        }
    }
}

TEST(ClientOptions, ReadsValuesAndHelp) {
    const auto parsed = parseOptions(words({"--host", "::1", "--port", "4242", "--udp", "--device-id", "phone-1",
                                            "--timeout", "2.5", "move", "-5", "1e1"}));
    const auto& o = std::get<Options>(parsed);
    EXPECT_EQ(o.host, "::1");
    EXPECT_EQ(o.port, 4242);
    EXPECT_TRUE(o.udp);
    EXPECT_EQ(o.deviceId, "phone-1");
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
    EXPECT_EQ(o.command.verb, Verb::move);
    EXPECT_EQ(o.command.a, -5.0f);
    EXPECT_EQ(o.command.b, 10.0f);

    EXPECT_TRUE(std::get<Options>(parseOptions(words({"pair", "--help"}))).help);
    EXPECT_EQ(std::get<Options>(parseOptions(words({"type", "--help"}))).command.text, "--help");
    EXPECT_TRUE(std::get<Options>(parseOptions(words({"--help"}))).help);
    EXPECT_TRUE(std::get<Options>(parseOptions(words({"-h", "bogus"}))).help);
}

TEST(ClientScript, ParsesLines) {
    struct Row {
        std::string line;
        bool command;
        bool error;
    };
    const std::vector<Row> rows = {
        {"", false, false},          {"   ", false, false},     {"# comment", false, false}, {"auth", true, false},
        {"  move 1 2", true, false}, {"sync", true, false},     {"sleep 0.5", true, false},  {"sleep -1", false, true},
        {"script", false, true},     {"discover", false, true}, {"move 1", false, true},     {"auth\r", true, false},
    };
    for (const auto& row : rows) {
        const auto parsed = parseScriptLine(row.line);
        if (row.error) {
            EXPECT_TRUE(std::holds_alternative<std::string>(parsed)) << row.line;
            continue;
        }
        ASSERT_TRUE((std::holds_alternative<std::optional<Command>>(parsed))) << row.line;
        EXPECT_EQ(std::get<std::optional<Command>>(parsed).has_value(), row.command) << row.line;
    }
}

TEST(ClientScript, TypeKeepsTheRestOfTheLineVerbatim) {
    const auto parsed = parseScriptLine("type  two  spaces, a tab\tand ğ 😀 ");
    const auto& command = std::get<std::optional<Command>>(parsed);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->verb, Verb::type);
    EXPECT_EQ(command->text, " two  spaces, a tab\tand ğ 😀 ");
}

TEST(ClientPackets, CommandsBecomeTheMessagesThePhoneSends) {
    Command key;
    key.verb = Verb::key;
    key.keyCode = 55;
    auto packets = packetsFor(key, 7);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].kind, Kind::keyDown);
    EXPECT_EQ(packets[1].kind, Kind::keyUp);
    EXPECT_EQ(packets[0].keyCode, 55);
    EXPECT_EQ(packets[1].timestamp, 7u);

    key.keyAction = KeyAction::up;
    packets = packetsFor(key, 7);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].kind, Kind::keyUp);

    Command down;
    down.verb = Verb::down;
    down.button = MouseButton::right;
    packets = packetsFor(down, 1);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].kind, Kind::down);
    EXPECT_EQ(packets[0].button, MouseButton::right);

    Command scroll;
    scroll.verb = Verb::scroll;
    scroll.a = 1.5f;
    scroll.b = -3;
    packets = packetsFor(scroll, 1);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].scrollX, 1.5f);
    EXPECT_EQ(packets[0].scrollY, -3.0f);
    EXPECT_FALSE(packets[0].dx);

    // The JSON the client writes must be what the server's strict decoder reads back.
    Command text;
    text.verb = Verb::type;
    text.text = "é\"\\\n😀";
    packets = packetsFor(text, 12345678901234ull);
    const auto json = packets.at(0).encodeJson();
    ASSERT_TRUE(json);
    EXPECT_EQ(json->find('\n'), std::string::npos);
    EXPECT_EQ(Packet::decodeJson(*json), packets[0]);
}

// Every datagram the client makes must decode, on the server's side, to the message it stands for.
TEST(ClientDatagram, EncodesWhatTheServerDecodes) {
    struct Row {
        Kind kind;
        std::optional<MouseButton> button;
        float a;
        float b;
        int type; // 0: not expressible
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Row> rows = {
        {Kind::move, std::nullopt, 3.0f, -2.0f, 1},  {Kind::move, std::nullopt, -0.0f, 1e-40f, 1},
        {Kind::move, std::nullopt, nan, inf, 1},     {Kind::scroll, std::nullopt, 1.5f, -3.0f, 2},
        {Kind::click, MouseButton::left, 0, 0, 3},   {Kind::click, MouseButton::right, 0, 0, 4},
        {Kind::down, MouseButton::left, 0, 0, 5},    {Kind::up, MouseButton::left, 0, 0, 6},
        {Kind::down, MouseButton::right, 0, 0, 7},   {Kind::up, MouseButton::right, 0, 0, 8},
        {Kind::click, MouseButton::middle, 0, 0, 0}, {Kind::down, MouseButton::middle, 0, 0, 0},
        {Kind::keyDown, std::nullopt, 0, 0, 0},      {Kind::text, std::nullopt, 0, 0, 0},
        {Kind::auth, std::nullopt, 0, 0, 0},
    };
    for (const auto& row : rows) {
        Packet p;
        p.kind = row.kind;
        p.button = row.button;
        p.timestamp = 0x1'2345'6789ull; // wider than the 32-bit stamp
        if (row.kind == Kind::move) {
            p.dx = row.a;
            p.dy = row.b;
        } else if (row.kind == Kind::scroll) {
            p.scrollX = row.a;
            p.scrollY = row.b;
        }
        const auto bytes = encodeDatagram(p);
        if (row.type == 0) {
            EXPECT_FALSE(bytes) << rawValue(row.kind);
            continue;
        }
        ASSERT_TRUE(bytes) << rawValue(row.kind);
        EXPECT_EQ((*bytes)[0], row.type);
        const auto decoded = Packet::decodeDatagram(*bytes);
        ASSERT_TRUE(decoded) << rawValue(row.kind);
        Packet expected = p;
        expected.timestamp = 0x2345'6789u;
        EXPECT_EQ(*decoded, expected) << rawValue(row.kind);
    }
}

TEST(ClientDatagram, LayoutIsLittleEndian) {
    Packet p;
    p.kind = Kind::move;
    p.dx = 1.0f;  // 0x3F800000
    p.dy = -2.0f; // 0xC0000000
    p.timestamp = 0x04030201;
    const auto bytes = encodeDatagram(p);
    ASSERT_TRUE(bytes);
    const std::array<std::uint8_t, 13> expected = {1, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 1, 2, 3, 4};
    EXPECT_EQ(*bytes, expected);
}

} // namespace
} // namespace vemdo::client

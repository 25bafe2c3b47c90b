// SPDX-License-Identifier: MIT
#include "tools/client_commands.h"

#include <gtest/gtest.h>

namespace vemdo::client {
namespace {

TEST(Client, CommandLine) {
    // The part of the error the user must see, or "" when the command line is accepted.
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"pair", "123456"}, ""},
        {{"--host", "::1", "--port", "4242", "--udp", "move", "-5", "1e1"}, ""},
        {{"key", "55", "down"}, ""},
        {{"type", "h\xC3\xA9llo", "w\xC3\xB6rld"}, ""},
        {{}, "no command"},
        {{"--host", "h", "auth"}, "go together"},
        {{"--port", "65536", "--host", "h", "auth"}, "--port"},
        {{"--bogus", "auth"}, "unknown option"},
        {{"fly"}, "unknown command"},
        {{"pair"}, "usage: pair"},
        {{"move", "1", "x"}, "usage: move"},
        {{"click", "top"}, "usage: click"},
        {{"key", "70000"}, "usage: key"},
        {{"auth", "now"}, "no arguments"},
    };
    for (const auto& [arguments, error] : rows) {
        const auto result = parseOptions(arguments);
        std::string seen;
        if (const auto* message = std::get_if<std::string>(&result))
            seen = !error.empty() && message->find(error) != std::string::npos ? error : *message;
        EXPECT_EQ(seen, error) << ::testing::PrintToString(arguments);
    }
    const auto options = std::get<Options>(parseOptions(rows[1].first));
    EXPECT_EQ(std::tuple(*options.host, *options.port, options.udp, options.command.verb, options.command.a,
                         options.command.b),
              std::tuple(std::string("::1"), 4242, true, Verb::move, -5.0f, 10.0f));
}

// What the client sends by datagram is what the server decodes, bytes in little-endian order.
TEST(Client, Datagrams) {
    Packet move;
    move.dx = 1.0f;
    move.dy = -2.0f;
    move.timestamp = 0x1'0403'0201; // wider than the datagram's 32 bits
    EXPECT_EQ(encodeDatagram(move), (std::array<std::uint8_t, 13>{1, 0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0, 1, 2, 3, 4}));
    const std::tuple<Kind, std::optional<MouseButton>, int> rows[] = {
        {Kind::click, MouseButton::left, 3},   {Kind::click, MouseButton::right, 4}, {Kind::down, MouseButton::left, 5},
        {Kind::up, MouseButton::left, 6},      {Kind::down, MouseButton::right, 7},  {Kind::up, MouseButton::right, 8},
        {Kind::click, MouseButton::middle, 0}, {Kind::keyDown, std::nullopt, 0},
    };
    for (const auto& [kind, button, type] : rows) {
        Packet packet;
        std::tie(packet.kind, packet.button) = std::tuple(kind, button);
        const auto bytes = encodeDatagram(packet);
        EXPECT_EQ(bytes ? (*bytes)[0] : 0, type) << rawValue(kind);
        if (bytes) {
            EXPECT_EQ(Packet::decodeDatagram(*bytes), packet) << rawValue(kind);
        }
    }
}

} // namespace
} // namespace vemdo::client

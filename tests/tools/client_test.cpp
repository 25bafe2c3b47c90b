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

} // namespace
} // namespace vemdo::client

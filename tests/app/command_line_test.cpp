// SPDX-License-Identifier: MIT
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace vemdo {
namespace {

TEST(CommandLine, AcceptedArguments) {
    struct Case {
        std::vector<std::string> args;
        bool headless;
        bool help;
        bool version;
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {
        {{}, false, false, false, std::nullopt},
        {{"--headless"}, true, false, false, std::nullopt},
        {{"--port", "5000"}, false, false, false, 5000},
        {{"--port=65535"}, false, false, false, 65535},
        {{"--port", "1", "--headless"}, true, false, false, 1},
        {{"--help"}, false, true, false, std::nullopt},
        {{"-h"}, false, true, false, std::nullopt},
        {{"--version"}, false, false, true, std::nullopt},
    };
    for (const auto& c : cases) {
        auto result = parseCommandLine(c.args);
        ASSERT_TRUE(result.options.has_value()) << result.error;
        EXPECT_EQ(result.options->headless, c.headless);
        EXPECT_EQ(result.options->help, c.help);
        EXPECT_EQ(result.options->version, c.version);
        EXPECT_EQ(result.options->port, c.port);
    }
}

TEST(CommandLine, RejectedArguments) {
    const std::vector<std::string> cases[] = {
        {"--port"},  {"--port", "0"},   {"--port", "65536"}, {"--port", "12a"}, {"--port", "-1"},
        {"--port="}, {"--port", " 80"}, {"--frobnicate"},    {"extra"},         {"--port", "80", "--port", "81"},
    };
    for (const auto& args : cases) {
        auto result = parseCommandLine(args);
        EXPECT_FALSE(result.options.has_value()) << args.back();
        EXPECT_FALSE(result.error.empty());
    }
}

} // namespace
} // namespace vemdo

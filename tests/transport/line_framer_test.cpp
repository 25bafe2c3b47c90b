// SPDX-License-Identifier: MIT
#include "transport/line_framer.h"

#include <gtest/gtest.h>

#include <random>

namespace vemdo {
namespace {

std::vector<std::string> frameInChunks(std::string_view stream, const std::vector<std::size_t>& cuts,
                                       bool* overflowed = nullptr) {
    LineFramer framer;
    std::vector<std::string> lines;
    std::size_t start = 0;
    auto feed = [&](std::size_t end) {
        for (auto& line : framer.append(stream.substr(start, end - start)))
            lines.push_back(std::move(line));
        start = end;
    };
    for (std::size_t cut : cuts)
        feed(cut);
    feed(stream.size());
    if (overflowed)
        *overflowed = framer.overflowed();
    return lines;
}

TEST(LineFramer, LinesDoNotDependOnWhereTheStreamIsCut) {
    const std::string stream = "{\"a\":\"ş\"}\n\n\r\nplain\n{\"b\":\"\xf0\x9f\x98\x80\"}\ntail";
    const std::vector<std::string> expected = {"{\"a\":\"ş\"}", "", "\r", "plain", "{\"b\":\"\xf0\x9f\x98\x80\"}"};
    EXPECT_EQ(frameInChunks(stream, {}), expected);

    std::mt19937 generator(1234);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::size_t> cuts;
        std::size_t at = 0;
        while (true) {
            at += std::uniform_int_distribution<std::size_t>(0, 7)(generator);
            if (at >= stream.size())
                break;
            cuts.push_back(at);
        }
        EXPECT_EQ(frameInChunks(stream, cuts), expected) << "round " << round;
    }
}

TEST(LineFramer, KeepsTheUnfinishedTailPending) {
    LineFramer framer;
    EXPECT_TRUE(framer.append("abc").empty());
    EXPECT_EQ(framer.pending(), "abc");
    EXPECT_EQ(framer.append("d\nef"), std::vector<std::string>{"abcd"});
    EXPECT_EQ(framer.pending(), "ef");
}

struct BoundCase {
    const char* name;
    std::size_t lineLength;
    bool terminated;
    bool overflows;
};

class LineFramerBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(LineFramerBound, OverflowsOnlyBeyondTheBoundWhateverTheChunking) {
    const auto& param = GetParam();
    std::string stream = "first\n" + std::string(param.lineLength, 'x') + (param.terminated ? "\n" : "");
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{4096}, std::size_t{1000}}) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = chunk; at < stream.size(); at += chunk)
            cuts.push_back(at);
        bool overflowed = false;
        const auto lines = frameInChunks(stream, cuts, &overflowed);
        EXPECT_EQ(overflowed, param.overflows) << "chunk " << chunk;
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "first");
        EXPECT_EQ(lines.size(), 1u + (param.terminated && !param.overflows ? 1u : 0u));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LineFramerBound,
                         ::testing::Values(BoundCase{"AtBoundTerminated", LineFramer::maxPendingBytes, true, false},
                                           BoundCase{"AtBoundPending", LineFramer::maxPendingBytes, false, false},
                                           BoundCase{"OneOverTerminated", LineFramer::maxPendingBytes + 1, true, true},
                                           BoundCase{"OneOverPending", LineFramer::maxPendingBytes + 1, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineFramer, NothingIsFramedAfterOverflow) {
    LineFramer framer;
    framer.append(std::string(LineFramer::maxPendingBytes + 1, 'x'));
    ASSERT_TRUE(framer.overflowed());
    EXPECT_TRUE(framer.append("\nok\n").empty());
    EXPECT_TRUE(framer.pending().empty());
}

} // namespace
} // namespace vemdo

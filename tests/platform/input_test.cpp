// SPDX-License-Identifier: MIT
#include "platform/input/wheel_steps.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace vemdo {
namespace {

TEST(WheelClicks, PixelsAccumulateIntoClicksWithTheRemainderCarried) {
    constexpr int step = pixelsPerWheelClick;
    constexpr int cap = maxWheelClicksPerEvent;
    const std::vector<std::pair<std::vector<std::int32_t>, std::vector<int>>> cases{
        {{step / 2, step / 2, step / 2, step / 2}, {0, 1, 0, 1}},
        {{-3 * step - 5, -step + 5}, {-3, -1}},
        {{step - 1, -1, -step + 1}, {0, 0, -1}}, // a reversal drops what the other direction carried
        {{std::numeric_limits<std::int32_t>::max(), step}, {cap, 1}},
        {{std::numeric_limits<std::int32_t>::min()}, {-cap}},
    };
    for (const auto& [deltas, expected] : cases) {
        double remainder = 0;
        std::vector<int> clicks;
        for (auto delta : deltas)
            clicks.push_back(takeWheelClicks(remainder, delta));
        EXPECT_EQ(clicks, expected) << ::testing::PrintToString(deltas);
    }
}

} // namespace
} // namespace vemdo

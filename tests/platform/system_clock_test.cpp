// SPDX-License-Identifier: MIT
#include "platform/system_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

namespace vemdo {
namespace {

TEST(SystemClock, CountsSecondsSince1970WithFraction) {
    SystemClock clock;
    double before = static_cast<double>(std::time(nullptr));
    double now = clock.now();
    double after = static_cast<double>(std::time(nullptr));
    EXPECT_GE(now, before);
    EXPECT_LT(now, after + 1);
    // Sub-second resolution: consecutive readings are not all whole seconds.
    int whole = 0;
    for (int i = 0; i < 100; ++i) {
        double reading = clock.now();
        whole += reading == std::floor(reading);
    }
    EXPECT_LT(whole, 100);
}

} // namespace
} // namespace vemdo

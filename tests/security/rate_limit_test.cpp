// SPDX-License-Identifier: MIT
#include "security/security_manager.h"
#include "support/security_fakes.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vemdo {
namespace {

using testing::FakeClock;
using testing::MemoryDefaultsStore;
using testing::ScriptedRandomSource;

constexpr double start = 1'700'000'000.0;

struct Attempt {
    double at; // seconds after start
    std::string deviceID;
    bool allowed;
};

class RateLimitTest : public ::testing::Test {
protected:
    void run(const std::vector<Attempt>& attempts) {
        for (const auto& attempt : attempts) {
            clock.set(start + attempt.at);
            EXPECT_EQ(security.checkRateLimit(attempt.deviceID), attempt.allowed)
                << attempt.deviceID << " at +" << attempt.at;
        }
    }

    static std::vector<Attempt> burst(const std::string& deviceID, double from, int count, bool allowed) {
        std::vector<Attempt> attempts;
        for (int i = 0; i < count; ++i)
            attempts.push_back({from + 0.1 * i, deviceID, allowed});
        return attempts;
    }

    static std::vector<Attempt> join(std::initializer_list<std::vector<Attempt>> parts) {
        std::vector<Attempt> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    MemoryDefaultsStore store;
    FakeClock clock{start};
    ScriptedRandomSource random;
    SecurityManager security{store, clock, random};
};

TEST_F(RateLimitTest, TenAllowedTheEleventhRefused) {
    run(join({burst("phone", 0, 10, true), {{1.5, "phone", false}, {59.0, "phone", false}}}));
}

TEST_F(RateLimitTest, AttemptExactlySixtySecondsOldLeavesTheWindow) {
    run(join({
        burst("phone", 0, 10, true), // at 0.0, 0.1, ..., 0.9
        {{59.999, "phone", false}},
        {{60.0, "phone", true}},   // the attempt at 0.0 is now exactly 60 s old
        {{60.05, "phone", false}}, // the one at 0.1 is not yet
        {{60.1, "phone", true}},
    }));
}

TEST_F(RateLimitTest, RefusalsDoNotExtendTheWait) {
    std::vector<Attempt> attempts = burst("phone", 0, 10, true);
    for (double t = 1; t < 60; t += 0.5)
        attempts.push_back({t, "phone", false});
    attempts.push_back({60.0, "phone", true});
    run(attempts);
}

TEST_F(RateLimitTest, DevicesCountSeparatelyAndCaseMatters) {
    run(join({burst("phone", 0, 10, true),
              burst("Phone", 1, 10, true),
              burst("tablet", 2, 10, true),
              {{3, "phone", false}, {3, "Phone", false}, {3, "PHONE", true}}}));
}

TEST_F(RateLimitTest, SpreadAttemptsSlideThroughTheWindow) {
    // One attempt every 6 s is exactly ten per minute: the eleventh, at 60 s, finds the first gone.
    std::vector<Attempt> attempts;
    for (int i = 0; i < 30; ++i)
        attempts.push_back({6.0 * i, "phone", true});
    run(attempts);
}

TEST_F(RateLimitTest, ClockSetBackKeepsFutureAttemptsCounting) {
    run(join({burst("phone", 100, 10, true), {{-30, "phone", false}, {159.9, "phone", false}, {160, "phone", true}}}));
}

TEST_F(RateLimitTest, TokenAuthenticationIsNotLimited) {
    store.setData(SecurityManager::pairedDevicesKey, R"({"phone":"secret"})");
    run(join({burst("phone", 0, 10, true), {{1, "phone", false}}}));
    EXPECT_TRUE(security.validateToken("phone", "secret"));
}

TEST_F(RateLimitTest, RestartForgetsAttempts) {
    run(join({burst("phone", 0, 10, true), {{1, "phone", false}}}));
    SecurityManager restarted(store, clock, random);
    EXPECT_TRUE(restarted.checkRateLimit("phone"));
}

struct AddressAttempt {
    double at;
    std::string deviceID;
    std::string address;
    bool allowed;
};

class AddressRateLimitTest : public RateLimitTest {
protected:
    void run(const std::vector<AddressAttempt>& attempts) {
        for (const auto& attempt : attempts) {
            clock.set(start + attempt.at);
            EXPECT_EQ(security.checkRateLimit(attempt.deviceID, attempt.address), attempt.allowed)
                << attempt.deviceID << " from " << attempt.address << " at +" << attempt.at;
        }
    }
};

TEST_F(AddressRateLimitTest, RotatingDeviceIDsDoNotLiftTheLimit) {
    std::vector<AddressAttempt> attempts;
    for (int i = 0; i < 10; ++i)
        attempts.push_back({0.1 * i, "id-" + std::to_string(i), "192.0.2.7", true});
    attempts.push_back({2, "id-fresh", "192.0.2.7", false});
    attempts.push_back({2, "id-fresh", "192.0.2.8", true});
    attempts.push_back({60, "id-fresh-2", "192.0.2.7", true});
    run(attempts);
}

TEST_F(AddressRateLimitTest, RotatingAddressesDoNotLiftTheDeviceLimit) {
    std::vector<AddressAttempt> attempts;
    for (int i = 0; i < 10; ++i)
        attempts.push_back({0.1 * i, "phone", "2001:db8::" + std::to_string(i), true});
    attempts.push_back({2, "phone", "2001:db8::ff", false});
    attempts.push_back({2, "tablet", "2001:db8::ff", true});
    run(attempts);
}

TEST_F(AddressRateLimitTest, RefusedAttemptIsRecordedInNeitherWindow) {
    std::vector<AddressAttempt> attempts;
    for (int i = 0; i < 10; ++i)
        attempts.push_back({0, "filler-" + std::to_string(i), "10.0.0.1", true});
    // Refused by the address rule: must not use up any of the device's ten.
    for (int i = 0; i < 5; ++i)
        attempts.push_back({1, "phone", "10.0.0.1", false});
    for (int i = 0; i < 10; ++i)
        attempts.push_back({2, "phone", "10.0.0.2", true});
    attempts.push_back({2, "phone", "10.0.0.3", false});
    // Refused by the device rule: must not use up any of the address's ten.
    for (int i = 0; i < 9; ++i)
        attempts.push_back({3, "other-" + std::to_string(i), "10.0.0.3", true});
    attempts.push_back({3, "last", "10.0.0.3", true});
    attempts.push_back({3, "one-more", "10.0.0.3", false});
    run(attempts);
}

TEST_F(RateLimitTest, EmptyWindowsAreDropped) {
    for (int i = 0; i < 500; ++i) {
        clock.set(start + 0.01 * i);
        ASSERT_TRUE(security.checkRateLimit("id-" + std::to_string(i), "198.51.100." + std::to_string(i % 50)));
    }
    EXPECT_EQ(security.trackedAttemptEntries(), 550u);
    clock.set(start + 4.99 + 60);
    EXPECT_EQ(security.trackedAttemptEntries(), 0u);
    EXPECT_TRUE(security.checkRateLimit("phone", "203.0.113.1"));
    EXPECT_EQ(security.trackedAttemptEntries(), 2u);
    EXPECT_TRUE(security.checkRateLimit("tablet"));
    EXPECT_EQ(security.trackedAttemptEntries(), 3u);
}

TEST_F(RateLimitTest, RefusalAddsNoEntry) {
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(security.checkRateLimit("id-" + std::to_string(i), "192.0.2.1"));
    for (int i = 0; i < 100; ++i)
        ASSERT_FALSE(security.checkRateLimit("new-" + std::to_string(i), "192.0.2.1"));
    EXPECT_EQ(security.trackedAttemptEntries(), 11u);
}

// Dropping entries must not change a single decision: compare with the plain rule that never forgets,
// over random traffic from a few devices and addresses with a clock moving forward.
TEST_F(RateLimitTest, DroppingChangesNoDecision) {
    std::map<std::string, std::vector<double>> devices;
    std::map<std::string, std::vector<double>> addresses;
    auto countRecent = [](const std::vector<double>& times, double now) {
        return std::count_if(times.begin(), times.end(), [now](double t) { return t > now - 60; });
    };
    std::mt19937 generator(7);
    std::uniform_int_distribution<int> pick(0, 5);
    std::exponential_distribution<double> gap(0.5);
    double now = start;
    int refusals = 0;
    for (int i = 0; i < 5000; ++i) {
        now += gap(generator);
        clock.set(now);
        std::string deviceID = "d" + std::to_string(pick(generator));
        std::string address = "a" + std::to_string(pick(generator) / 2);
        bool expected = countRecent(devices[deviceID], now) < 10 && countRecent(addresses[address], now) < 10;
        if (expected) {
            devices[deviceID].push_back(now);
            addresses[address].push_back(now);
        } else {
            ++refusals;
        }
        ASSERT_EQ(security.checkRateLimit(deviceID, address), expected) << "attempt " << i;
    }
    EXPECT_GT(refusals, 100); // the traffic really reaches the limits
}

} // namespace
} // namespace vemdo

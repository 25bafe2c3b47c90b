// SPDX-License-Identifier: MIT
#include "security/security_manager.h"
#include "support/security_fakes.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <regex>

namespace vemdo {
namespace {

using testing::FakeClock;
using testing::MemoryDefaultsStore;
using testing::ScriptedRandomSource;

// A deterministic stand-in for a good generator (xorshift64*), for counting how codes are spread.
class PseudoRandomSource final : public RandomSource {
public:
    void fill(std::span<std::uint8_t> bytes) override {
        for (auto& byte : bytes) {
            m_state ^= m_state >> 12;
            m_state ^= m_state << 25;
            m_state ^= m_state >> 27;
            byte = static_cast<std::uint8_t>((m_state * 0x2545F4914F6CDD1DULL) >> 56);
        }
    }

private:
    std::uint64_t m_state = 0x9E3779B97F4A7C15ULL;
};

std::vector<std::uint8_t> bigEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct DrawCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string code;
    std::size_t bytesDrawn;
};

// 4294800000 is the largest multiple of 900000 below 2^32: draws from there up must be redrawn.
TEST(PairingCode, DrawsUniformlyByRejectingTheTopOfTheRange) {
    const std::vector<DrawCase> cases = {
        {"lowest", concat(bigEndian(0), bigEndian(1)), "100000", 4},
        {"highest of the first block", bigEndian(899'999), "999999", 4},
        {"start of the second block", bigEndian(900'000), "100000", 4},
        {"last accepted draw", bigEndian(4'294'799'999u), "999999", 4},
        {"first rejected draw", concat(bigEndian(4'294'800'000u), bigEndian(5)), "100005", 8},
        {"all ones rejected", concat(bigEndian(0xFFFF'FFFFu), bigEndian(123'456)), "223456", 8},
        {"two rejections", concat(concat(bigEndian(0xFFFF'FFFFu), bigEndian(4'294'900'000u)), bigEndian(7)), "100007",
         12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDefaultsStore store;
        FakeClock clock;
        ScriptedRandomSource random(c.bytes);
        SecurityManager security(store, clock, random);
        EXPECT_EQ(security.generateNewPairingCode(), c.code);
        EXPECT_EQ(random.bytesDrawn(), c.bytesDrawn);
    }
}

TEST(PairingCode, CodesAreSixDigitsSpreadEvenly) {
    MemoryDefaultsStore store;
    FakeClock clock;
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    const std::regex format("[1-9][0-9]{5}");
    constexpr int draws = 45'000;
    std::array<int, 10> firstDigits{};
    std::array<int, 10> lastDigits{};
    for (int i = 0; i < draws; ++i) {
        std::string code = security.generateNewPairingCode();
        ASSERT_TRUE(std::regex_match(code, format)) << code;
        ++firstDigits[static_cast<std::size_t>(code.front() - '0')];
        ++lastDigits[static_cast<std::size_t>(code.back() - '0')];
    }
    // Expected 5000 per first digit (1-9) and 4500 per last digit; a bound of about six standard deviations.
    EXPECT_EQ(firstDigits[0], 0);
    for (int digit = 1; digit <= 9; ++digit)
        EXPECT_NEAR(firstDigits[static_cast<std::size_t>(digit)], 5000, 400) << "first digit " << digit;
    for (int digit = 0; digit <= 9; ++digit)
        EXPECT_NEAR(lastDigits[static_cast<std::size_t>(digit)], 4500, 400) << "last digit " << digit;
}

TEST(PairingCode, BrokenSourceStillEndsWithACode) {
    MemoryDefaultsStore store;
    FakeClock clock;
    ScriptedRandomSource random({0xFF});
    SecurityManager security(store, clock, random);
    EXPECT_TRUE(std::regex_match(security.generateNewPairingCode(), std::regex("[1-9][0-9]{5}")));
}

TEST(PairingCode, PersistsAndIsReplacedWhole) {
    MemoryDefaultsStore store;
    FakeClock clock;
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    EXPECT_EQ(security.currentPairingCode(), std::nullopt);

    std::string first = security.generateNewPairingCode();
    EXPECT_EQ(security.currentPairingCode(), first);
    std::string second = security.generateNewPairingCode();
    ASSERT_NE(first, second);
    EXPECT_EQ(security.currentPairingCode(), second);

    // A later run over the same store finds the code without making a new one.
    PseudoRandomSource otherRandom;
    SecurityManager restarted(store, clock, otherRandom);
    EXPECT_EQ(restarted.currentPairingCode(), second);
}

TEST(PairingCode, ReadsEveryTimeFromTheStore) {
    MemoryDefaultsStore store;
    FakeClock clock;
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    security.generateNewPairingCode();
    store.setData(SecurityManager::pairingCodeKey, R"({"code":"654321","timestamp":1})");
    EXPECT_EQ(security.currentPairingCode(), "654321");
}

TEST(PairingCode, TimestampCountsFrom2001) {
    MemoryDefaultsStore store;
    FakeClock clock(978'307'300.0); // 2001-01-01 00:01:40 UTC
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    std::string code = security.generateNewPairingCode();

    auto stored = store.data(SecurityManager::pairingCodeKey);
    ASSERT_TRUE(stored);
    auto record = PairingCode::decodeJson(*stored);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->code, code);
    EXPECT_EQ(record->timestamp, 100.0);
}

TEST(PairingCode, EncodesExactlyTheTwoMembers) {
    PairingCode record{"123456", 0.25};
    EXPECT_EQ(record.encodeJson(), R"({"code":"123456","timestamp":0.25})");
    EXPECT_EQ((PairingCode{"1", std::nan("")}.encodeJson()), "");
}

TEST(PairingCode, DecodesStoredRecords) {
    struct Case {
        const char* name;
        std::string json;
        std::optional<std::string> code;
    };
    const std::vector<Case> cases = {
        {"plain", R"({"code":"123456","timestamp":100.5})", "123456"},
        {"integral timestamp", R"({"timestamp":100,"code":"123456"})", "123456"},
        {"extra member", R"({"code":"123456","timestamp":1,"note":[1,{"x":null}]})", "123456"},
        {"hand-edited code kept as is", R"({"code":" 12a","timestamp":1})", " 12a"},
        {"long ago", R"({"code":"999999","timestamp":-9.5e8})", "999999"},
        {"escaped", R"({"code":"1\u00e92","timestamp":1})",
         "1\xC3\xA9"
         "2"},
        {"no timestamp", R"({"code":"123456"})", std::nullopt},
        {"no code", R"({"timestamp":1})", std::nullopt},
        {"numeric code", R"({"code":123456,"timestamp":1})", std::nullopt},
        {"text timestamp", R"({"code":"123456","timestamp":"1"})", std::nullopt},
        {"null timestamp", R"({"code":"123456","timestamp":null})", std::nullopt},
        {"array", R"(["123456",1])", std::nullopt},
        {"not JSON", "123456", std::nullopt},
        {"empty", "", std::nullopt},
        {"trailing text", R"({"code":"123456","timestamp":1}x)", std::nullopt},
        {"invalid UTF-8", "{\"code\":\"12\xFF\",\"timestamp\":1}", std::nullopt},
        {"deeply nested extra member",
         R"({"code":"1","timestamp":1,"x":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto record = PairingCode::decodeJson(c.json);
        EXPECT_EQ((record ? std::optional(record->code) : std::nullopt), c.code);

        MemoryDefaultsStore store;
        FakeClock clock;
        ScriptedRandomSource random;
        SecurityManager security(store, clock, random);
        store.setData(SecurityManager::pairingCodeKey, c.json);
        EXPECT_EQ(security.currentPairingCode(), c.code);
    }
}

TEST(PairingCode, UnstorableCodeIsNotShown) {
    MemoryDefaultsStore store;
    FakeClock clock;
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    std::string inEffect = security.generateNewPairingCode();

    store.failWrites(true);
    EXPECT_EQ(security.generateNewPairingCode(), inEffect);
    EXPECT_EQ(security.currentPairingCode(), inEffect);
}

TEST(PairingCode, UnstorableFirstCodeIsStillMade) {
    MemoryDefaultsStore store;
    store.failWrites(true);
    FakeClock clock(std::numeric_limits<double>::quiet_NaN());
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    EXPECT_TRUE(std::regex_match(security.generateNewPairingCode(), std::regex("[1-9][0-9]{5}")));
    EXPECT_EQ(security.currentPairingCode(), std::nullopt);
}

TEST(PairingCode, UnencodableRecordLeavesTheStoredOne) {
    MemoryDefaultsStore store;
    FakeClock clock;
    PseudoRandomSource random;
    SecurityManager security(store, clock, random);
    std::string inEffect = security.generateNewPairingCode();
    clock.set(std::numeric_limits<double>::infinity());
    EXPECT_EQ(security.generateNewPairingCode(), inEffect);
    EXPECT_EQ(security.currentPairingCode(), inEffect);
}

} // namespace
} // namespace vemdo

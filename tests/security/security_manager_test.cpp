// SPDX-License-Identifier: MIT
#include "security/security_manager.h"
#include "support/fakes.h"

#include <gtest/gtest.h>

#include <regex>

namespace vemdo {
namespace {

using namespace vemdo::testing;

struct SecurityTest : ::testing::Test {
    SecurityTest() { store.setData(SecurityManager::pairingCodeKey, R"({"code":"123456","timestamp":1})"); }
    std::string pair(const std::string& device) {
        EXPECT_EQ(security.validatePairing(device, "123456"), Verdict::accepted) << device;
        return security.loadPairedDevices()[device];
    }
    MemoryDefaultsStore store;
    FakeClock clock;
    ScriptedRandomSource random{{3, 141, 59, 26, 53, 58, 97}};
    SecurityManager security{store, clock, random};
};

std::vector<std::uint8_t> bigEndian(std::initializer_list<std::uint32_t> draws) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t draw : draws)
        bytes.insert(bytes.end(),
                     {std::uint8_t(draw >> 24), std::uint8_t(draw >> 16), std::uint8_t(draw >> 8), std::uint8_t(draw)});
    return bytes;
}

// 4294800000 is the largest multiple of 900000 below 2^32: a draw from there up is drawn again, so that
// every code is equally likely.
TEST(PairingCode, SixDigitsDrawnWithoutBias) {
    const std::pair<std::vector<std::uint8_t>, std::string> rows[] = {
        {bigEndian({0}), "100000"},
        {bigEndian({899'999}), "999999"},
        {bigEndian({4'294'800'000u, 5}), "100005"},
    };
    for (const auto& [bytes, code] : rows) {
        MemoryDefaultsStore store;
        FakeClock clock;
        ScriptedRandomSource random(bytes);
        SecurityManager security(store, clock, random);
        EXPECT_EQ(security.generateNewPairingCode(), code);
        EXPECT_EQ(security.currentPairingCode(), code);
    }
}

TEST_F(SecurityTest, CodeIsKeptAcrossRestartsAndAnUnstorableOneIsNeverShown) {
    const std::string code = security.generateNewPairingCode();
    ASSERT_NE(code, "123456");
    SecurityManager restarted(store, clock, random);
    EXPECT_EQ(restarted.currentPairingCode(), code);
    store.failWrites(true);
    EXPECT_EQ(restarted.generateNewPairingCode(), code);
}

TEST_F(SecurityTest, TokensAuthenticateOnlyTheirOwnDevice) {
    const std::string a = pair("phone-a"), b = pair("phone-b");
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{64}"))) << a;
    std::string upper = a;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::tuple<std::string, std::string, bool> rows[] = {
        {"phone-a", a, true},        {"phone-b", b, true},      {"phone-a", b, false},
        {"phone-a", "", false},      {"stranger", "", false},   {"stranger", a, false},
        {"PHONE-A", a, false},       {"phone-a", upper, false}, {"phone-a", a.substr(0, 63), false},
        {"phone-a", a + "0", false},
    };
    for (const auto& [device, token, valid] : rows)
        EXPECT_EQ(security.validateToken(device, token) == Verdict::accepted, valid) << device << " " << token;

    // Pairing again replaces the token; a new code leaves tokens alone.
    const std::string again = pair("phone-a");
    EXPECT_NE(again, a);
    EXPECT_EQ(security.validateToken("phone-a", a), Verdict::refused);
    security.generateNewPairingCode();
    EXPECT_EQ(security.validateToken("phone-a", again), Verdict::accepted);
}

TEST_F(SecurityTest, WrongCodeFailsThePairingAndChangesNothing) {
    const std::string token = pair("phone");
    for (const char* code : {"654321", "123456 ", "0123456", "12345", ""})
        EXPECT_EQ(security.validatePairing("phone", code), Verdict::refused) << code;
    EXPECT_EQ(security.validatePairing(std::string(257, 'x'), "123456"), Verdict::refused);
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
}

// A store that cannot be read or written decides nothing: no guess counts, no token is refused, no pairing is
// lost, and the manager says so until the store works again.
TEST_F(SecurityTest, AnUnusableStoreIsNeitherAWrongCodeNorAWrongToken) {
    const std::string token = pair("phone");
    const struct {
        bool failReads, failWrites;
        Verdict rightCode, wrongCode, knownToken;
    } rows[] = {
        {false, true, Verdict::storeUnavailable, Verdict::refused, Verdict::accepted},
        {true, false, Verdict::storeUnavailable, Verdict::storeUnavailable, Verdict::accepted},
    };
    for (const auto& row : rows) {
        store.failReads(row.failReads);
        store.failWrites(row.failWrites);
        EXPECT_EQ(security.validatePairing("new", "123456"), row.rightCode);
        EXPECT_EQ(security.validatePairing("new", "654321"), row.wrongCode);
        EXPECT_EQ(security.validateToken("phone", token), row.knownToken);
        EXPECT_TRUE(security.storeFailing());
        store.failReads(false);
        store.failWrites(false);
    }
    // Pairings not yet read are unknown while the store cannot be read, and must not be replaced.
    SecurityManager restarted(store, clock, random);
    store.failReads(true);
    EXPECT_EQ(restarted.validateToken("phone", token), Verdict::storeUnavailable);
    store.failReads(false);
    EXPECT_EQ(restarted.validatePairing("new", "123456"), Verdict::accepted);
    EXPECT_FALSE(restarted.storeFailing());
    EXPECT_EQ(restarted.validateToken("phone", token), Verdict::accepted);

    // The count of wrong guesses survives a moment without the store: one short of the budget, then one more.
    for (int i = 1; i < SecurityManager::maxWrongGuessesPerCode; ++i)
        restarted.validatePairing("guesser", "654321");
    store.failReads(true);
    EXPECT_EQ(restarted.validatePairing("guesser", "654321"), Verdict::storeUnavailable);
    store.failReads(false);
    EXPECT_FALSE(restarted.pairingStopped());
    restarted.validatePairing("guesser", "654321");
    EXPECT_TRUE(restarted.pairingStopped());
    store.failReads(true);
    EXPECT_TRUE(restarted.pairingStopped());
}

// A damaged map reads as empty, so the next pairing would hold the new device alone: the damaged bytes are
// kept under a key of their own first, and when that cannot be done nothing is replaced.
TEST_F(SecurityTest, DamagedMapIsKeptAsideBeforeItIsReplaced) {
    const std::string unreadable(SecurityManager::unreadablePairedDevicesKey);
    for (const char* damage : {R"({"old":"0123",)", "[]", R"({"phone":1})"}) {
        store.setData(SecurityManager::pairedDevicesKey, damage);
        EXPECT_TRUE(security.loadPairedDevices().empty()) << damage;
    }
    const std::string token = pair("phone");
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
    EXPECT_EQ(store.data(unreadable), R"({"phone":1})");
    store.setData(SecurityManager::pairedDevicesKey, "garbage");
    pair("phone");
    EXPECT_EQ(store.data(unreadable + ".2"), "garbage");

    store.setData(SecurityManager::pairedDevicesKey, "more garbage");
    store.failWrites(true);
    EXPECT_EQ(security.validatePairing("phone", "123456"), Verdict::storeUnavailable);
    EXPECT_EQ(store.data(SecurityManager::pairedDevicesKey), "more garbage");
}

// The map is read at first use, then kept in memory and written through; while nothing is stored the store
// is asked again, as one that failed to read for a moment reads as absent. Members keep pairing order, so
// beyond 100 devices the one paired longest ago is forgotten, after a restart too.
TEST_F(SecurityTest, PairedDevicesLiveInMemoryAtMostAHundredInPairingOrder) {
    const std::string known(64, 'a');
    EXPECT_EQ(security.validateToken("known", known), Verdict::refused);
    store.setData(SecurityManager::pairedDevicesKey, R"({"known":")" + known + "\"}");
    EXPECT_EQ(security.validateToken("known", known), Verdict::accepted);
    store.setData(SecurityManager::pairedDevicesKey, "{}");
    EXPECT_EQ(security.validateToken("known", known), Verdict::accepted);
    for (int i = 99; i >= 0; --i)
        pair(std::to_string(i));
    SecurityManager restarted(store, clock, random);
    EXPECT_EQ(restarted.validateToken("known", known), Verdict::refused);
    ASSERT_EQ(restarted.validatePairing("99", "123456"), Verdict::accepted);
    ASSERT_EQ(restarted.validatePairing("new", "123456"), Verdict::accepted);
    const auto devices = restarted.loadPairedDevices();
    EXPECT_EQ(devices.size(), 100u);
    EXPECT_TRUE(devices.contains("99") && !devices.contains("98") && devices.contains("0"));
}

// Bursts of pairing attempts; a device ending in '*' is a new device ID for every attempt.
struct Burst {
    double at;
    std::string device;
    std::string address;
    int count;
    bool allowed;
};

TEST_F(SecurityTest, TenPairingAttemptsAMinutePerDeviceAndPerAddress) {
    const Burst bursts[] = {
        {0, "phone", "10.0.0.1", 10, true},
        {1, "phone", "10.0.0.2", 1, false}, // the device's eleventh, from anywhere
        {2, "id*", "10.0.0.3", 10, true},
        {3, "fresh", "10.0.0.3", 1, false}, // the address's eleventh, whatever the device ID
        {4, "fresh", "10.0.0.4", 10, true}, // a refusal counted in neither window
        {5, "PHONE", "10.0.0.5", 1, true},  // device IDs are exact text
        {59.9, "phone", "10.0.0.6", 1, false},
        {60, "phone", "10.0.0.6", 10, true}, // attempts 60 s old have left the window
    };
    const double start = clock.now();
    for (const auto& burst : bursts) {
        clock.set(start + burst.at);
        for (int i = 0; i < burst.count; ++i) {
            std::string device = burst.device;
            if (device.back() == '*')
                device += std::to_string(i);
            EXPECT_EQ(security.checkRateLimit(device, burst.address), burst.allowed)
                << device << " from " << burst.address << " at +" << burst.at << ", attempt " << i + 1;
        }
    }
}

} // namespace
} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "security/security_manager.h"
#include "support/security_fakes.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <regex>

namespace vemdo {
namespace {

using testing::FakeClock;
using testing::MemoryDefaultsStore;
using testing::ScriptedRandomSource;

std::string sha256Hex(const std::string& text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    std::string hex;
    for (unsigned char byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

bool isToken(const std::string& text) {
    return std::regex_match(text, std::regex("[0-9a-f]{64}"));
}

class PairedDevicesTest : public ::testing::Test {
protected:
    PairedDevicesTest() : random(counting()) {
        store.setData(SecurityManager::pairingCodeKey, R"({"code":"123456","timestamp":1})");
    }

    static std::vector<std::uint8_t> counting() {
        std::vector<std::uint8_t> bytes(251);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return bytes;
    }

    std::string pair(const std::string& deviceID) {
        EXPECT_TRUE(security.validatePairing(deviceID, "123456"));
        return security.loadPairedDevices()[deviceID];
    }

    MemoryDefaultsStore store;
    FakeClock clock{1'700'000'000.5};
    ScriptedRandomSource random;
    SecurityManager security{store, clock, random};
};

// The token is the digest of "<device ID>-<upper-case v4 UUID>-<time>": with every random byte 0xAB the
// UUID is fixed (version nibble 4, variant bits 10), so the digest can be rebuilt here.
TEST(Token, DigestsDeviceUuidAndTime) {
    struct Case {
        double now;
        std::string timeText;
    };
    const std::vector<Case> cases = {
        {1'700'000'000.0, "1700000000.0"},           {1'700'000'000.5, "1700000000.5"},
        {1'733'500'000.123456, "1733500000.123456"}, {0.1, "0.1"},
        {1e21, "1000000000000000000000.0"},          {0.0, "0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timeText);
        MemoryDefaultsStore store;
        FakeClock clock(c.now);
        ScriptedRandomSource random({0xAB});
        SecurityManager security(store, clock, random);
        EXPECT_EQ(security.generateToken("iPhone-1"),
                  sha256Hex("iPhone-1-ABABABAB-ABAB-4BAB-ABAB-ABABABABABAB-" + c.timeText));
    }
}

TEST(Token, UuidTakesItsRandomBitsFromTheSource) {
    MemoryDefaultsStore store;
    FakeClock clock(5.0);
    ScriptedRandomSource random(
        {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    SecurityManager security(store, clock, random);
    EXPECT_EQ(security.generateToken(""), sha256Hex("-00112233-4455-4677-8899-AABBCCDDEEFF-5.0"));
    EXPECT_EQ(random.bytesDrawn(), 16u);
}

TEST_F(PairedDevicesTest, TokensAreFreshHex) {
    std::string first = security.generateToken("phone");
    std::string second = security.generateToken("phone");
    EXPECT_TRUE(isToken(first)) << first;
    EXPECT_TRUE(isToken(second)) << second;
    EXPECT_NE(first, second);
}

TEST_F(PairedDevicesTest, PairingStoresOneMoreToken) {
    std::string token = pair("phone");
    EXPECT_TRUE(isToken(token));
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
    EXPECT_EQ(store.data(SecurityManager::pairedDevicesKey), R"({"phone":")" + token + R"("})");
}

TEST_F(PairedDevicesTest, WrongCodesChangeNothing) {
    std::string token = pair("phone");
    for (const char* code : {"654321", "123456 ", " 123456", "0123456", "12345", "", "123456\n", "１２３４５６"}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(security.validatePairing("other", code));
        EXPECT_FALSE(security.validatePairing("phone", code));
    }
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
}

TEST_F(PairedDevicesTest, NoStoredCodeRefusesEveryCode) {
    MemoryDefaultsStore empty;
    SecurityManager fresh(empty, clock, random);
    EXPECT_FALSE(fresh.validatePairing("phone", ""));
    EXPECT_FALSE(fresh.validatePairing("phone", "123456"));
    empty.setData(SecurityManager::pairingCodeKey, R"({"code":"123456"})");
    EXPECT_FALSE(fresh.validatePairing("phone", "123456"));
    EXPECT_TRUE(fresh.loadPairedDevices().empty());
}

TEST_F(PairedDevicesTest, PairingAgainReplacesTheToken) {
    std::string first = pair("phone");
    std::string second = pair("phone");
    EXPECT_NE(first, second);
    EXPECT_FALSE(security.validateToken("phone", first));
    EXPECT_TRUE(security.validateToken("phone", second));
}

TEST_F(PairedDevicesTest, TokensBelongToTheirDevice) {
    std::string a = pair("phone-a");
    std::string b = pair("phone-b");
    std::string empty = pair("");
    EXPECT_TRUE(security.validateToken("phone-a", a));
    EXPECT_TRUE(security.validateToken("phone-b", b));
    EXPECT_TRUE(security.validateToken("", empty));
    EXPECT_FALSE(security.validateToken("phone-a", b));
    EXPECT_FALSE(security.validateToken("phone-b", a));
    EXPECT_FALSE(security.validateToken("PHONE-A", a));
    EXPECT_EQ(security.loadPairedDevices().size(), 3u);
}

TEST_F(PairedDevicesTest, TokenMustMatchExactly) {
    std::string token = pair("phone");
    std::string upper = token;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        const char* name;
        std::string deviceID;
        std::string token;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"exact", "phone", token, true},
        {"upper case", "phone", upper, false},
        {"prefix", "phone", token.substr(0, 63), false},
        {"longer", "phone", token + "0", false},
        {"empty", "phone", "", false},
        {"last digit changed", "phone", token.substr(0, 63) + (token.back() == '0' ? "1" : "0"), false},
        {"never paired", "tablet", token, false},
        {"never paired, empty token", "tablet", "", false},
        {"with NUL", "phone", token + std::string(1, '\0'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(security.validateToken(c.deviceID, c.token), c.valid);
    }
}

TEST_F(PairedDevicesTest, RefreshedCodeKeepsTokens) {
    std::string token = pair("phone");
    security.generateNewPairingCode();
    EXPECT_TRUE(security.validateToken("phone", token));
    EXPECT_EQ(security.loadPairedDevices().size(), 1u);
}

TEST_F(PairedDevicesTest, MapIsReadFromTheStoreEveryTime) {
    std::string token = pair("phone");
    store.setData(SecurityManager::pairedDevicesKey, R"({"phone":"hand-edited"})");
    EXPECT_FALSE(security.validateToken("phone", token));
    EXPECT_TRUE(security.validateToken("phone", "hand-edited"));
}

TEST_F(PairedDevicesTest, UnreadableMapsReadAsEmpty) {
    for (const char* stored :
         {"not json", "[]", R"({"phone":1})", R"({"a":"x","phone":null})", "{\"a\":\"\xFF\"}", ""}) {
        SCOPED_TRACE(stored);
        store.setData(SecurityManager::pairedDevicesKey, stored);
        EXPECT_TRUE(security.loadPairedDevices().empty());
        EXPECT_FALSE(security.validateToken("a", "x"));
    }
}

TEST_F(PairedDevicesTest, DecodesEscapedKeysAndValues) {
    store.setData(SecurityManager::pairedDevicesKey, R"({"caf\u00e9":"t\"1","nul\u0000id":"t2"})");
    EXPECT_EQ(security.loadPairedDevices(),
              (SecurityManager::PairedDevices{{"caf\xC3\xA9", "t\"1"}, {std::string("nul\0id", 6), "t2"}}));
}

// A damaged map reads as empty, so the pairing that follows holds only the new device; the damaged bytes
// are kept under a key of their own instead of being lost.
TEST_F(PairedDevicesTest, DamagedMapIsKeptBeforeItIsReplaced) {
    const std::string damaged = R"({"old-phone":"0123",)";
    store.setData(SecurityManager::pairedDevicesKey, damaged);
    std::string token = pair("phone");
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
    EXPECT_EQ(store.data(SecurityManager::unreadablePairedDevicesKey), damaged);

    // A second, different damage does not overwrite the first one kept.
    const std::string damagedAgain = "garbage";
    store.setData(SecurityManager::pairedDevicesKey, damagedAgain);
    pair("phone");
    EXPECT_EQ(store.data(SecurityManager::unreadablePairedDevicesKey), damaged);
    EXPECT_EQ(store.data(std::string(SecurityManager::unreadablePairedDevicesKey) + ".2"), damagedAgain);

    // A readable map is simply replaced.
    pair("phone");
    EXPECT_FALSE(store.data(std::string(SecurityManager::unreadablePairedDevicesKey) + ".3"));
}

TEST_F(PairedDevicesTest, FailedWriteFailsThePairing) {
    std::string token = pair("phone");
    store.failWrites(true);
    EXPECT_FALSE(security.validatePairing("phone", "123456"));
    EXPECT_FALSE(security.validatePairing("tablet", "123456"));
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
    EXPECT_TRUE(security.validateToken("phone", token));
}

TEST_F(PairedDevicesTest, DamagedMapThatCannotBeKeptIsNotReplaced) {
    store.setData(SecurityManager::pairedDevicesKey, "garbage");
    store.failWrites(true);
    EXPECT_FALSE(security.validatePairing("phone", "123456"));
    EXPECT_EQ(store.data(SecurityManager::pairedDevicesKey), "garbage");
}

TEST_F(PairedDevicesTest, SaveReplacesTheWholeMap) {
    pair("phone");
    security.savePairedDevices({{"a", "1"}, {"b", "2"}});
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"a", "1"}, {"b", "2"}}));
    security.savePairedDevices({});
    EXPECT_EQ(store.data(SecurityManager::pairedDevicesKey), "{}");
}

TEST_F(PairedDevicesTest, UnencodableMapWritesNothing) {
    std::string token = pair("phone");
    security.savePairedDevices({{"bad\xFF", "1"}});
    EXPECT_EQ(security.loadPairedDevices(), (SecurityManager::PairedDevices{{"phone", token}}));
    EXPECT_FALSE(security.validatePairing("bad\xFF", "123456"));
    EXPECT_TRUE(security.validateToken("phone", token));
}

} // namespace
} // namespace vemdo

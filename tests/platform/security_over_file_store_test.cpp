// SPDX-License-Identifier: MIT
// The security rules over the real per-user store, as a restart sees them.
#include "platform/file_defaults_store.h"
#include "platform/getrandom_source.h"
#include "platform/system_clock.h"
#include "security/security_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace vemdo {
namespace {

namespace fs = std::filesystem;

class SecurityOverFileStoreTest : public ::testing::Test {
protected:
    SecurityOverFileStoreTest() {
        std::string pattern = (fs::temp_directory_path() / "vemdo-security-store-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        file = root / "vemdo-trackpad" / "defaults.json";
    }
    ~SecurityOverFileStoreTest() override {
        std::error_code error;
        fs::remove_all(root, error);
    }

    fs::path root;
    fs::path file;
    SystemClock clock;
    GetrandomSource random;
};

TEST_F(SecurityOverFileStoreTest, CodeAndTokensSurviveARestart) {
    std::string code;
    std::string token;
    {
        FileDefaultsStore store(file);
        SecurityManager security(store, clock, random);
        code = security.generateNewPairingCode();
        ASSERT_TRUE(security.validatePairing("phone", code));
        token = security.loadPairedDevices().at("phone");
    }
    FileDefaultsStore store(file);
    SecurityManager restarted(store, clock, random);
    EXPECT_EQ(restarted.currentPairingCode(), code);
    EXPECT_TRUE(restarted.validateToken("phone", token));
    EXPECT_FALSE(restarted.validateToken("phone", code));
}

TEST_F(SecurityOverFileStoreTest, DamagedFileGivesANewCodeAndIsKeptAside) {
    std::string token;
    {
        FileDefaultsStore store(file);
        SecurityManager security(store, clock, random);
        ASSERT_TRUE(security.validatePairing("phone", security.generateNewPairingCode()));
        token = security.loadPairedDevices().at("phone");
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream original;
    original << in.rdbuf();
    std::string damaged = original.str().substr(0, original.str().size() / 2);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;

    FileDefaultsStore store(file);
    SecurityManager restarted(store, clock, random);
    EXPECT_EQ(restarted.currentPairingCode(), std::nullopt);
    EXPECT_FALSE(restarted.validateToken("phone", token));
    ::testing::internal::CaptureStderr();
    std::string code = restarted.generateNewPairingCode();
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(restarted.currentPairingCode(), code);

    std::ifstream kept(file.parent_path() / "defaults.json.corrupt", std::ios::binary);
    std::ostringstream keptText;
    keptText << kept.rdbuf();
    EXPECT_EQ(keptText.str(), damaged);
}

} // namespace
} // namespace vemdo

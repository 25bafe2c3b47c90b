// SPDX-License-Identifier: MIT
#include "tools/client_store.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace vemdo::client {
namespace {

class ClientStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vemdo-client-store-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::filesystem::path m_dir;
};

TEST_F(ClientStoreTest, KeepsDeviceIdAndTokensPerServerPrivately) {
    const auto file = m_dir / "vemdo-client" / "state";
    std::string error;
    std::string id;
    {
        ClientStore store(file);
        id = store.deviceId(error);
        EXPECT_TRUE(
            std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
            << id;
        EXPECT_EQ(store.deviceId(error), id);
        EXPECT_TRUE(store.setToken("Vemdo Trackpad", std::string(64, 'a'), error)) << error;
        EXPECT_TRUE(store.setToken("10.77.0.1", std::string(64, 'b'), error)) << error;
        EXPECT_FALSE(store.token("Vemdo Trackpad #2"));
    }
    ClientStore reread(file);
    EXPECT_EQ(reread.deviceId(error), id);
    EXPECT_EQ(reread.token("Vemdo Trackpad"), std::string(64, 'a'));
    EXPECT_EQ(reread.token("10.77.0.1"), std::string(64, 'b'));

    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
}

TEST_F(ClientStoreTest, ANewTokenReplacesTheOldOneForThatServerOnly) {
    const auto file = m_dir / "state";
    std::string error;
    ClientStore store(file);
    ASSERT_TRUE(store.setToken("a", "1", error));
    ASSERT_TRUE(store.setToken("b", "2", error));
    ASSERT_TRUE(store.setToken("a", "3", error));
    ClientStore reread(file);
    EXPECT_EQ(reread.token("a"), "3");
    EXPECT_EQ(reread.token("b"), "2");
}

TEST_F(ClientStoreTest, DeviceIdsDiffer) {
    EXPECT_NE(makeDeviceId(), makeDeviceId());
}

TEST_F(ClientStoreTest, UnwritableDirectoryIsReportedNotIgnored) {
    // A file where the directory should be: works as root too, unlike permissions.
    const auto file = m_dir / "blocked-file" / "state";
    { std::ofstream(m_dir / "blocked-file") << "x"; }
    ClientStore store(file);
    std::string error;
    EXPECT_EQ(store.deviceId(error), "");
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(store.setToken("a", "1", error));
}

} // namespace
} // namespace vemdo::client

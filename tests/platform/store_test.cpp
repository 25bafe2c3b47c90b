// SPDX-License-Identifier: MIT
#include "platform/file_defaults_store.h"
#include "security/security_manager.h"
#include "support/fakes.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace vemdo::testing {
namespace {

namespace fs = std::filesystem;

unsigned mode(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

struct StoreTest : ::testing::Test {
    ScopedHome home;
    fs::path directory = configDirectory(), file = defaultsStoreFile();
    FileDefaultsStore store{file};
};

TEST(Store, LivesUnderTheConfigurationHome) {
    const std::tuple<const char*, const char*, fs::path> rows[] = {
        {"/srv/cfg", "/home/u", "/srv/cfg/vemdo-trackpad/defaults.json"},
        {"relative", "/home/u", "/home/u/.config/vemdo-trackpad/defaults.json"},
        {nullptr, "/home/u", "/home/u/.config/vemdo-trackpad/defaults.json"},
    };
    for (const auto& [xdg, homeDirectory, expected] : rows) {
        ScopedEnvironment config("XDG_CONFIG_HOME", xdg), home("HOME", homeDirectory);
        EXPECT_EQ(defaultsStoreFile(), expected);
    }
}

TEST_F(StoreTest, PrivateFileKeepsAnyBytesAcrossRuns) {
    const std::string text = "\xC3\xA7ok \"fazla\"\n", bytes("\xFF\0\x80", 3);
    const mode_t mask = ::umask(0);
    const bool written = store.setData("text", text) && store.setData("bytes", bytes);
    ::umask(mask);
    ASSERT_TRUE(written);
    EXPECT_EQ(mode(directory), 0700u);
    EXPECT_EQ(mode(file), 0600u);
    FileDefaultsStore reopened(file);
    EXPECT_EQ(reopened.data("text"), text);
    EXPECT_EQ(reopened.data("bytes"), bytes);
    EXPECT_EQ(reopened.data("absent"), std::nullopt);
}

TEST_F(StoreTest, DamagedFileIsKeptAsideUnderAFreeName) {
    fs::create_directories(directory);
    const std::vector<std::string> damage = {"garbage", "", R"({"k": 2})"};
    for (const std::string& contents : damage) {
        writeFile(file, contents);
        EXPECT_EQ(store.data("k"), std::nullopt);
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(store.setData("k", "fresh"));
        EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_EQ(damage, (std::vector<std::string>{readFile(directory / "defaults.json.corrupt"),
                                                readFile(directory / "defaults.json.corrupt.1"),
                                                readFile(directory / "defaults.json.corrupt.2")}));
    EXPECT_EQ(store.data("k"), "fresh");
}

// With every name it could be kept under taken (which binds root too), a damaged file stays as it is.
TEST_F(StoreTest, DamagedFileThatCannotBeKeptAsideIsNotReplaced) {
    fs::create_directories(directory);
    writeFile(file, "damaged");
    writeFile(directory / "defaults.json.corrupt", "");
    for (int n = 1; n < 1000; ++n)
        writeFile(directory / ("defaults.json.corrupt." + std::to_string(n)), "");
    EXPECT_FALSE(store.setData("k", "v"));
    EXPECT_EQ(readFile(file), "damaged");
}

// A write cut short (here by the file size limit, which binds root too) leaves the earlier value whole.
TEST_F(StoreTest, FailedWriteKeepsTheEarlierValue) {
    ASSERT_TRUE(store.setData("key", "earlier"));
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{}, small{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    small = {4096, limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = store.setData("key", std::string(100'000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(written);
    EXPECT_EQ(FileDefaultsStore(file).data("key"), "earlier");
}

TEST_F(StoreTest, PairingCodeAndTokensSurviveARestart) {
    FakeClock clock;
    ScriptedRandomSource random({1, 2, 3, 4, 5});
    std::string code, token;
    {
        SecurityManager security(store, clock, random);
        code = security.generateNewPairingCode();
        ASSERT_EQ(security.validatePairing("phone", code), Verdict::accepted);
        token = security.loadPairedDevices().at("phone");
    }
    FileDefaultsStore reopened(file);
    SecurityManager restarted(reopened, clock, random);
    EXPECT_EQ(restarted.currentPairingCode(), code);
    EXPECT_EQ(restarted.validateToken("phone", token), Verdict::accepted);
}

} // namespace
} // namespace vemdo::testing

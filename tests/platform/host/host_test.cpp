// SPDX-License-Identifier: MIT
#include "platform/host/file_defaults_store.h"
#include "platform/host/paths.h"
#include "platform/host/string_tables.h"
#include "support/fakes.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

namespace vemdo::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

unsigned mode(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

struct StoreTest : ::testing::Test {
    ScopedHome home;
    fs::path directory = platform::configDirectory(), file = platform::defaultsStoreFile();
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
        EXPECT_EQ(platform::defaultsStoreFile(), expected);
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
    EXPECT_NE(readFile(file).find(R"("base64": "/wCA")"), std::string::npos) << "the stored form, as files hold it";
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

TEST(StringTables, TheUsersLanguageThenEnglishThenTheDefault) {
    const std::tuple<const char*, const char*, const char*, Lines> languages[] = {
        {"", "", "tr_TR.UTF-8", {"tr_TR", "tr"}},
        {"tr:de", "", "en_US.UTF-8", {"tr", "de", "en_US", "en"}},
        {"tr", "C", "", {}}, // LANGUAGE does not count under the C locale
    };
    for (const auto& [language, lcAll, lang, expected] : languages)
        EXPECT_EQ(preferredLanguages(language, lcAll, "", lang), expected) << language << lcAll << lang;

    const auto shipped = loadStringTables(std::filesystem::path(VEMDO_TEST_RESOURCES) / "strings", {"tr_TR", "tr"});
    EXPECT_EQ(shipped->text("menu.quit", "Quit"), "Çıkış");
    EXPECT_EQ(shipped->text("no.such.key", "Default"), "Default");

    // A malformed table is skipped whole, never half applied.
    ScopedHome home;
    writeFile(home.path() / "de.strings", "\"menu.quit\" = \"Beenden\";\n\"menu.x\" = \"y\"\n");
    writeFile(home.path() / "tr.strings", "// comment\n\"menu.s\" = \"Sunucu \\\"1\\\"\\n\";");
    writeFile(home.path() / "en.strings", "\"menu.quit\" = \"Quit now\";");
    ::testing::internal::CaptureStderr();
    const auto table = loadStringTables(home.path(), {"de", "tr"});
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(table->text("menu.quit", ""), "Quit now");
    EXPECT_EQ(table->text("menu.s", ""), "Sunucu \"1\"\n");
}

} // namespace
} // namespace vemdo::testing

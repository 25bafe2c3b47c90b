// SPDX-License-Identifier: MIT
#include "platform/file_defaults_store.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <rapidjson/document.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vemdo {
namespace {

namespace fs = std::filesystem;

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "vemdo-store-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(m_path, error))
            if (entry.is_directory(error))
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
        fs::remove_all(m_path, error);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

unsigned mode(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class FileDefaultsStoreTest : public ::testing::Test {
protected:
    TemporaryDirectory temporary;
    ScopedEnvironment configHome{"XDG_CONFIG_HOME", (temporary.path() / "config").c_str()};
    fs::path directory = configDirectory();
    fs::path file = defaultsStoreFile();
};

TEST(ConfigDirectory, FollowsXdgConfigHomeWhenAbsolute) {
    std::string userHome;
    if (passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        userHome = entry->pw_dir;
    struct Case {
        const char* xdg;
        const char* home;
        fs::path expected;
    };
    const std::vector<Case> cases = {
        {"/srv/cfg", "/home/u", "/srv/cfg/vemdo-trackpad"},
        {"/srv/cfg/", "/home/u", "/srv/cfg/vemdo-trackpad"},
        {"relative/cfg", "/home/u", "/home/u/.config/vemdo-trackpad"},
        {"", "/home/u", "/home/u/.config/vemdo-trackpad"},
        {nullptr, "/home/u", "/home/u/.config/vemdo-trackpad"},
        {nullptr, "relative-home", fs::path(userHome) / ".config/vemdo-trackpad"},
        {nullptr, nullptr, fs::path(userHome) / ".config/vemdo-trackpad"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.xdg ? c.xdg : "(unset)") + " / " + (c.home ? c.home : "(unset)"));
        ScopedEnvironment xdg("XDG_CONFIG_HOME", c.xdg);
        ScopedEnvironment home("HOME", c.home);
        EXPECT_EQ(configDirectory().lexically_normal(), c.expected.lexically_normal());
        EXPECT_EQ(defaultsStoreFile(), configDirectory() / "defaults.json");
    }
}

TEST_F(FileDefaultsStoreTest, MissingFileReadsAsNothingAndReadingCreatesNothing) {
    FileDefaultsStore store(file);
    EXPECT_EQ(store.data("com.vemdo.pairingCode"), std::nullopt);
    EXPECT_FALSE(fs::exists(directory));
}

TEST_F(FileDefaultsStoreTest, FirstWriteCreatesAPrivateDirectoryAndFile) {
    mode_t oldMask = ::umask(0);
    FileDefaultsStore store(file);
    bool written = store.setData("key", "value");
    ::umask(oldMask);
    ASSERT_TRUE(written);
    EXPECT_EQ(mode(directory), 0700u);
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(entries(directory), std::vector<std::string>{"defaults.json"});
}

TEST_F(FileDefaultsStoreTest, ExistingDirectoryKeepsItsPermissions) {
    fs::create_directories(directory);
    fs::permissions(directory, fs::perms(0750));
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("key", "value"));
    EXPECT_EQ(mode(directory), 0750u);
    EXPECT_EQ(mode(file), 0600u);
}

TEST_F(FileDefaultsStoreTest, ValuesRoundTripAsBytes) {
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes += static_cast<char>(i);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"json", R"({"code":"123456","timestamp":100.5})"},
        {"text with escapes", "line\nfeed \"quoted\" back\\slash\ttab"},
        {"utf-8", "\xC3\xA7ok fazla deneme \xF0\x9F\x98\x80"},
        {"nul inside", std::string("a\0b", 3)},
        {"all bytes", allBytes},
        {"overlong", "\xC0\x80"},
        {"surrogate", "\xED\xA0\x80"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},
        {"lone continuation", "\x80"},
        {"truncated", "ab\xE2\x82"},
        {"one byte over base64 group", "\xFF"},
        {"two bytes", "\xFF\xFE"},
        {"large", std::string(100'000, 'x') + "\xFF"},
    };
    {
        FileDefaultsStore store(file);
        for (const auto& [key, value] : cases)
            ASSERT_TRUE(store.setData(key, value)) << key;
        for (const auto& [key, value] : cases)
            EXPECT_EQ(store.data(key), value) << key;
    }
    // What a later run sees.
    FileDefaultsStore reopened(file);
    for (const auto& [key, value] : cases)
        EXPECT_EQ(reopened.data(key), value) << key;
    EXPECT_EQ(reopened.data("absent"), std::nullopt);

    rapidjson::Document document;
    std::string text = readFile(file);
    document.Parse<rapidjson::kParseValidateEncodingFlag>(text.data(), text.size());
    EXPECT_FALSE(document.HasParseError());
    EXPECT_TRUE(document.IsObject());
}

TEST_F(FileDefaultsStoreTest, KeysAreExactAndIndependent) {
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("com.vemdo.pairingCode", "one"));
    ASSERT_TRUE(store.setData("com.vemdo.pairedDevices", "two"));
    ASSERT_TRUE(store.setData("com.vemdo.pairingCode", "three"));
    EXPECT_EQ(store.data("com.vemdo.pairingCode"), "three");
    EXPECT_EQ(store.data("com.vemdo.pairedDevices"), "two");
    EXPECT_EQ(store.data("COM.vemdo.pairingCode"), std::nullopt);
    EXPECT_EQ(store.data(std::string("com.vemdo.pairingCode\0", 22)), std::nullopt);
    EXPECT_FALSE(store.setData("bad\xFFkey", "x"));
    EXPECT_EQ(store.data("bad\xFFkey"), std::nullopt);
}

TEST_F(FileDefaultsStoreTest, SeesWritesOfOtherInstancesAndHandEdits) {
    FileDefaultsStore first(file);
    FileDefaultsStore second(file);
    ASSERT_TRUE(first.setData("a", "1"));
    ASSERT_TRUE(second.setData("b", "2"));
    EXPECT_EQ(first.data("b"), "2");
    EXPECT_EQ(second.data("a"), "1");
    writeFile(file, R"({"a": "edited", "c": {"base64": "AAE="}})");
    EXPECT_EQ(first.data("a"), "edited");
    EXPECT_EQ(first.data("c"), std::string("\0\1", 2));
}

TEST_F(FileDefaultsStoreTest, ReplacesTheFileWhole) {
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("key", "old"));
    std::string before = readFile(file);
    std::ifstream reader(file, std::ios::binary); // a reader that opened the file before the write
    struct stat oldStatus {};
    ASSERT_EQ(::stat(file.c_str(), &oldStatus), 0);

    ASSERT_TRUE(store.setData("key", "new"));
    struct stat newStatus {};
    ASSERT_EQ(::stat(file.c_str(), &newStatus), 0);
    EXPECT_NE(oldStatus.st_ino, newStatus.st_ino);
    std::ostringstream seen;
    seen << reader.rdbuf();
    EXPECT_EQ(seen.str(), before);
    EXPECT_EQ(store.data("key"), "new");
    EXPECT_EQ(entries(directory), std::vector<std::string>{"defaults.json"});
}

TEST_F(FileDefaultsStoreTest, LeftoverTemporaryFilesAreRemoved) {
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("key", "value"));
    writeFile(directory / "defaults.json.tmp-Ab12Cd", "half a fi");
    writeFile(directory / "unrelated.tmp-1", "kept");
    ASSERT_TRUE(store.setData("key", "again"));
    EXPECT_EQ(entries(directory), (std::vector<std::string>{"defaults.json", "unrelated.tmp-1"}));
}

TEST_F(FileDefaultsStoreTest, UnreadableFileIsKeptAsideBeforeItIsReplaced) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"garbage", "garbage"},
        {"empty file", ""},
        {"truncated", R"({"com.vemdo.pairedDevices": "{\"pho)"},
        {"not an object", R"(["a", "b"])"},
        {"number value", R"({"a": "1", "b": 2})"},
        {"bad base64", R"({"a": {"base64": "A!=="}})"},
        {"object of other shape", R"({"a": {"base64": "AA==", "x": 1}})"},
        {"invalid UTF-8", "{\"a\": \"\xFF\"}"},
        {"trailing text", R"({"a": "1"} x)"},
    };
    for (const auto& [name, contents] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(directory);
        fs::create_directories(directory);
        writeFile(file, contents);
        FileDefaultsStore store(file);
        EXPECT_EQ(store.data("a"), std::nullopt);

        ::testing::internal::CaptureStderr();
        ASSERT_TRUE(store.setData("fresh", "value"));
        std::string warning = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
        EXPECT_NE(warning.find("defaults.json.corrupt"), std::string::npos) << warning;

        EXPECT_EQ(readFile(directory / "defaults.json.corrupt"), contents);
        EXPECT_EQ(store.data("fresh"), "value");
        EXPECT_EQ(store.data("a"), std::nullopt);
        EXPECT_EQ(entries(directory), (std::vector<std::string>{"defaults.json", "defaults.json.corrupt"}));
    }
}

TEST_F(FileDefaultsStoreTest, EarlierCorruptFilesAreNotOverwritten) {
    fs::create_directories(directory);
    FileDefaultsStore store(file);
    for (const char* damage : {"first", "second", "third"}) {
        writeFile(file, damage);
        ::testing::internal::CaptureStderr();
        ASSERT_TRUE(store.setData("k", damage));
        ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(readFile(directory / "defaults.json.corrupt"), "first");
    EXPECT_EQ(readFile(directory / "defaults.json.corrupt.1"), "second");
    EXPECT_EQ(readFile(directory / "defaults.json.corrupt.2"), "third");
    EXPECT_EQ(store.data("k"), "third");
}

TEST_F(FileDefaultsStoreTest, DirectoryInPlaceOfTheFileIsKeptAside) {
    fs::create_directories(file / "inside");
    FileDefaultsStore store(file);
    EXPECT_EQ(store.data("k"), std::nullopt);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(store.setData("k", "v"));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::is_directory(directory / "defaults.json.corrupt" / "inside"));
    EXPECT_EQ(store.data("k"), "v");
}

TEST_F(FileDefaultsStoreTest, NoDirectoryPossibleMeansNoWrite) {
    writeFile(temporary.path() / "config", "a file where the directory should be");
    FileDefaultsStore store(file);
    EXPECT_FALSE(store.setData("k", "v"));
    EXPECT_EQ(store.data("k"), std::nullopt);
    EXPECT_EQ(readFile(temporary.path() / "config"), "a file where the directory should be");
}

// A write that fails half-way (here: the file size limit, which binds root too) keeps the earlier value
// and leaves no temporary file behind.
TEST_F(FileDefaultsStoreTest, FailedWriteKeepsTheEarlierValue) {
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("key", "earlier"));
    std::string before = readFile(file);

    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    rlimit small = oldLimit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = store.setData("key", std::string(100'000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(store.data("key"), "earlier");
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(entries(directory), std::vector<std::string>{"defaults.json"});
}

TEST_F(FileDefaultsStoreTest, ReadOnlyDirectoryMeansNoWrite) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    FileDefaultsStore store(file);
    ASSERT_TRUE(store.setData("key", "earlier"));
    fs::permissions(directory, fs::perms(0500));
    EXPECT_FALSE(store.setData("key", "later"));
    fs::permissions(directory, fs::perms(0700));
    EXPECT_EQ(store.data("key"), "earlier");
}

TEST_F(FileDefaultsStoreTest, CorruptFileThatCannotBeMovedIsNotReplaced) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    fs::create_directories(directory);
    writeFile(file, "damaged");
    fs::permissions(directory, fs::perms(0500));
    FileDefaultsStore store(file);
    EXPECT_FALSE(store.setData("key", "value"));
    fs::permissions(directory, fs::perms(0700));
    EXPECT_EQ(readFile(file), "damaged");
    EXPECT_EQ(entries(directory), std::vector<std::string>{"defaults.json"});
}

TEST_F(FileDefaultsStoreTest, RelativePathKeepsNothing) {
    ::testing::internal::CaptureStderr();
    FileDefaultsStore store("defaults.json");
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(store.setData("k", "v"));
    EXPECT_EQ(store.data("k"), std::nullopt);
    EXPECT_FALSE(fs::exists("defaults.json"));
}

// Threads of one store and a second store on the same file (as a second process would be) write their
// own keys at the same time: every last value survives.
TEST_F(FileDefaultsStoreTest, ConcurrentWritersLoseNothing) {
    FileDefaultsStore first(file);
    FileDefaultsStore second(file);
    constexpr int writers = 4;
    constexpr int writesEach = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures = 0;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            FileDefaultsStore& store = w % 2 == 0 ? first : second;
            std::string key = "writer-" + std::to_string(w);
            for (int i = 0; i < writesEach; ++i) {
                if (!store.setData(key, std::to_string(i)))
                    ++failures;
                auto seen = store.data(key);
                if (seen != std::to_string(i))
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(first.data("writer-" + std::to_string(w)), std::to_string(writesEach - 1));
    EXPECT_EQ(entries(directory), std::vector<std::string>{"defaults.json"});
}

} // namespace
} // namespace vemdo

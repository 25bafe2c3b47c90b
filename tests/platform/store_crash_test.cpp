// SPDX-License-Identifier: MIT
// Kills a process that keeps writing to the defaults store at random moments, and checks after each kill
// that the store still reads back whole: no torn file, no file set aside, no value older than one already
// seen, at most one temporary file left behind (the next write removes it).
#include "platform/file_defaults_store.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr int kills = 30;

// Large enough that a write takes a while, with bytes that are not UTF-8 so both value forms are used.
std::string record(long n) {
    return std::to_string(n) + ":" + std::string(20'000, static_cast<char>('a' + n % 26)) + "\xFF\xFE";
}

[[noreturn]] void keepWriting(const fs::path& file) {
    vemdo::FileDefaultsStore store(file);
    long n = 0;
    if (auto counter = store.data("counter"))
        n = std::stol(*counter);
    for (;;) {
        ++n;
        // The record first: a kill between the two writes leaves the record one ahead of the counter.
        if (!store.setData("record", record(n)) || !store.setData("counter", std::to_string(n)))
            std::_Exit(3);
    }
}

int fail(const std::string& message) {
    std::fprintf(stderr, "store_crash_test: %s\n", message.c_str());
    return 1;
}

} // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "vemdo-crash-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return fail("mkdtemp failed");
    const fs::path root = pattern;
    const fs::path directory = root / "vemdo-trackpad";
    const fs::path file = directory / "defaults.json";

    std::mt19937 generator(std::random_device{}());
    std::uniform_int_distribution<int> delayMicroseconds(2'000, 150'000);
    long lastSeen = 0;
    int result = 0;
    for (int kill = 0; kill < kills && result == 0; ++kill) {
        pid_t child = ::fork();
        if (child < 0)
            return fail("fork failed");
        if (child == 0)
            keepWriting(file);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(generator)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFSIGNALED(status))
            return fail("the writer stopped by itself (status " + std::to_string(status) + ")");

        vemdo::FileDefaultsStore store(file);
        auto counter = store.data("counter");
        auto stored = store.data("record");
        long n = counter ? std::stol(*counter) : 0;
        std::string at = " after kill " + std::to_string(kill + 1);
        if (fs::exists(file) && !stored)
            result = fail("the store file exists but holds no record" + at);
        else if (stored && *stored != record(n) && *stored != record(n + 1))
            result = fail("record does not match counter " + std::to_string(n) + at);
        else if (n < lastSeen)
            result = fail("counter went back from " + std::to_string(lastSeen) + " to " + std::to_string(n) + at);
        int temporaries = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(directory, error)) {
            std::string name = entry.path().filename().string();
            if (name.find(".corrupt") != std::string::npos)
                result = fail("a file was set aside: " + name + at);
            temporaries += name.starts_with("defaults.json.tmp-");
        }
        if (temporaries > 1)
            result = fail(std::to_string(temporaries) + " temporary files left" + at);
        lastSeen = n;
    }
    if (result == 0 && lastSeen == 0)
        result = fail("the writer never completed a write");
    if (result == 0)
        std::printf("store_crash_test: %d kills, counter reached %ld, the store read back whole every time\n", kills,
                    lastSeen);
    std::error_code error;
    fs::remove_all(root, error);
    return result;
}

// SPDX-License-Identifier: MIT
#pragma once

// The one set of stand-ins the tests use for the platform: a clock for both kinds of time, a scripted
// random source, an in-memory store, a queue driven by hand, a recording input backend, a fake network,
// a string table, the whole set a transport stands on, builders for what a phone sends, and a private
// configuration home.
#include "injection/input_backend.h"
#include "injection/input_injector.h"
#include "injection/monotonic_clock.h"
#include "security/clock.h"
#include "security/defaults_store.h"
#include "security/pake_exchange.h"
#include "security/random_source.h"
#include "security/security_manager.h"
#include "transport/network.h"
#include "transport/string_table.h"
#include "transport/task_queue.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <variant>
#include <vector>

namespace vemdo {

// Readable failures for recorded sequences (found by argument-dependent lookup).
inline std::ostream& operator<<(std::ostream& out, const Point& p) {
    return out << "(" << p.x << ", " << p.y << ")";
}
inline std::ostream& operator<<(std::ostream& out, const ButtonEvent& e) {
    return out << "Button{" << int(e.button) << (e.down ? " down " : " up ") << e.position << "}";
}
inline std::ostream& operator<<(std::ostream& out, const ScrollEvent& e) {
    return out << "Scroll{" << e.vertical << ", " << e.horizontal << "}";
}
inline std::ostream& operator<<(std::ostream& out, const KeyEvent& e) {
    return out << "Key{" << e.keyCode << (e.down ? " down" : " up") << (e.control ? " +Control" : "") << " U+"
               << std::hex << std::uint32_t(e.unicode.value_or(0)) << std::dec << "}";
}

} // namespace vemdo

namespace vemdo::testing {

// Wall-clock and interval time at once; it moves only when the test says so.
class FakeClock final : public Clock, public MonotonicClock {
public:
    explicit FakeClock(double now = 1'700'000'000.0) : m_now(now) {}
    double now() const override { return m_now; }
    double seconds() const override { return m_now; }
    void set(double now) { m_now = now; }
    void advance(double seconds) { m_now += seconds; }

private:
    double m_now;
};

// Replays the given bytes in a loop, so that codes and tokens can be steered exactly.
class ScriptedRandomSource final : public RandomSource {
public:
    explicit ScriptedRandomSource(std::vector<std::uint8_t> bytes = {0}) : m_bytes(std::move(bytes)) {}
    void fill(std::span<std::uint8_t> out) override {
        for (auto& byte : out)
            byte = m_bytes[m_drawn++ % m_bytes.size()];
    }
    std::size_t bytesDrawn() const { return m_drawn; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_drawn = 0;
};

// Thread-safe like the real store; reads and writes can be made to fail.
class MemoryDefaultsStore final : public DefaultsStore {
public:
    Read read(std::string_view key) const override {
        std::lock_guard lock(m_mutex);
        if (m_failReads)
            return {std::nullopt, true};
        auto it = m_values.find(key);
        return {it == m_values.end() ? std::nullopt : std::optional(it->second), false};
    }
    bool setData(std::string_view key, std::string_view value) override {
        std::lock_guard lock(m_mutex);
        if (!m_failWrites)
            m_values[std::string(key)] = value;
        return !m_failWrites;
    }
    void failWrites(bool fail) {
        std::lock_guard lock(m_mutex);
        m_failWrites = fail;
    }
    void failReads(bool fail) {
        std::lock_guard lock(m_mutex);
        m_failReads = fail;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string, std::less<>> m_values;
    bool m_failWrites = false;
    bool m_failReads = false;
};

// Runs nothing until the test drains it; delayed tasks fall due on a virtual clock that only advance()
// moves, in the order they were posted when due at the same time.
class ManualTaskQueue final : public TaskQueue {
public:
    void post(std::function<void()> task) override { postDelayed({}, std::move(task)); }
    void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) override {
        m_tasks.emplace(m_now + delay, std::move(task));
    }
    // Runs every due task, also those that due tasks post; returns how many ran.
    int runDue() {
        int ran = 0;
        for (; !m_tasks.empty() && m_tasks.begin()->first <= m_now; ++ran) {
            auto task = std::move(m_tasks.begin()->second);
            m_tasks.erase(m_tasks.begin());
            task();
        }
        return ran;
    }
    int advance(std::chrono::milliseconds by) {
        m_now += by;
        return runDue();
    }

private:
    std::multimap<std::chrono::milliseconds, std::function<void()>> m_tasks;
    std::chrono::milliseconds m_now{0};
};

// The end of a scroll gesture, as recorded.
struct ScrollEnd {
    friend bool operator==(const ScrollEnd&, const ScrollEnd&) = default;
};
inline std::ostream& operator<<(std::ostream& out, const ScrollEnd&) {
    return out << "ScrollEnd";
}

// A motion is recorded as the point the pointer moved to.
using InputRecord = std::variant<Point, ButtonEvent, ScrollEvent, KeyEvent, ScrollEnd>;

// Keeps every posted event as a value, so that tests compare whole sequences.
class RecordingInputBackend final : public InputBackend {
public:
    bool canPost() const override { return allowed; }
    std::vector<Rect> screenFrames() const override { return screens; }
    std::optional<Point> pointerLocation() const override { return pointer; }
    bool postMotion(Point position) override { return record(position); }
    bool postButton(const ButtonEvent& event) override { return record(event); }
    bool postScroll(const ScrollEvent& event) override { return record(event); }
    bool postKey(const KeyEvent& event) override { return record(event); }
    bool postScrollEnd() override { return record(ScrollEnd{}); }
    // Readies `keysAtOnce` keys a call, and asks to be called again 50 ms later for more.
    KeysReady prepareKeys(std::span<const KeyEvent> keys) override { return {std::min(keys.size(), keysAtOnce), 0.05}; }
    // Counted; returns the next of `restoreWaits`, then 0.
    double restoreKeyboard() override {
        return ++restores <= int(restoreWaits.size()) ? restoreWaits[std::size_t(restores - 1)] : 0;
    }
    const std::vector<InputRecord>& records() const { return m_records; }
    void clear() { m_records.clear(); }

    bool allowed = true;
    std::vector<Rect> screens{{0, 0, 1440, 900}};
    std::optional<Point> pointer = Point{100, 200};
    std::size_t keysAtOnce = SIZE_MAX;
    std::vector<double> restoreWaits;
    int restores = 0;

private:
    bool record(InputRecord event) {
        m_records.push_back(std::move(event));
        return true;
    }
    std::vector<InputRecord> m_records;
};

// A connection that keeps what the transport writes and counts requests to close.
struct FakeConnection final : Connection {
    FakeConnection(ConnectionId id, std::string address, ConnectionKind kind = ConnectionKind::phoneApp)
        : connectionId(id), address(std::move(address)), connectionKind(kind) {}
    ConnectionId id() const override { return connectionId; }
    std::string remoteAddress() const override { return address; }
    ConnectionKind kind() const override { return connectionKind; }
    void send(std::string_view bytes) override { sent.emplace_back(bytes); }
    std::size_t unsentBytes() const override { return unsent; }
    void cancel() override { ++cancels; }
    void refuse(std::uint16_t code, std::string_view) override {
        refusal = code;
        ++cancels;
    }
    ConnectionId connectionId;
    std::string address;
    ConnectionKind connectionKind;
    std::vector<std::string> sent;
    // What the peer has left unread, as the test sets it.
    std::size_t unsent = 0;
    int cancels = 0;
    std::optional<std::uint16_t> refusal;
};

inline std::string textOf(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// The page's side of a browser connection, its messages handed to `server` as the listener hands them, from
// the computer's hello (its first message) on: the exchange in `mode` ("pair" or "secret"). The sealed
// channel, when the computer confirmed.
inline std::optional<SealedChannel> pageExchange(NetworkEvents& server, FakeConnection& page, std::string_view mode,
                                                 std::string_view device, std::string_view password) {
    ScriptedRandomSource random({9, 41, 77, 180, 3, 250, 18});
    PakeInitiator initiator(Bytes(password.begin(), password.end()), page.channelBinding(),
                            cpace::lvCat({cpace::bytesOf(mode), cpace::bytesOf(device)}), random);
    server.processReceivedMessage(page.id(), textOf(initiator.readHello(cpace::bytesOf(page.sent.at(0))).value()));
    if (page.sent.size() < 2)
        return std::nullopt;
    server.processReceivedMessage(page.id(), textOf(initiator.readReply(cpace::bytesOf(page.sent[1])).value()));
    return page.sent.size() > 2 ? initiator.readConfirmation(cpace::bytesOf(page.sent[2])) : std::nullopt;
}

// Listeners that exist only as records; the test plays the platform by calling the transport's events.
class FakeNetwork final : public NetworkPlatform {
public:
    TaskQueue& transportQueue() override { return queue; }
    std::optional<std::string> startTcpListener(std::uint16_t port, NetworkEvents&) override {
        tcpPorts.push_back(port);
        return tcpError;
    }
    std::optional<std::string> startUdpListener(std::uint16_t port, NetworkEvents&) override {
        udpPorts.push_back(port);
        return std::nullopt;
    }
    void advertise(std::string_view name, std::string_view type, std::uint16_t port) override {
        advertised.push_back(std::string(name) + " " + std::string(type) + " " + std::to_string(port));
    }
    ManualTaskQueue queue;
    std::optional<std::string> tcpError;
    std::vector<std::uint16_t> tcpPorts, udpPorts;
    std::vector<std::string> advertised;
};

// The translations given, the default text for every other key.
class FakeStrings final : public StringTable {
public:
    FakeStrings(std::initializer_list<std::pair<const std::string, std::string>> texts = {}) : translations(texts) {}
    std::string text(std::string_view key, std::string_view defaultText) const override {
        auto it = translations.find(key);
        return it == translations.end() ? std::string(defaultText) : it->second;
    }
    std::map<std::string, std::string, std::less<>> translations;
};

// Everything a Transport stands on, as the transport's tests and its fuzz target build it.
struct TransportFakes {
    MemoryDefaultsStore store;
    FakeClock clock{1'750'000'000.25};
    ScriptedRandomSource random{{7, 200, 13, 99, 42, 250, 1, 180, 77, 3, 160}};
    SecurityManager security{store, clock, random};
    RecordingInputBackend backend;
    FakeNetwork network;
    InputInjector injector{backend, clock, network.queue};
    ManualTaskQueue mainQueue;
    FakeStrings strings;
};

// What a phone writes: one JSON object with kind and timestamp first, then `fields` as given.
inline std::string message(std::string_view kind, std::string_view fields = "") {
    return R"({"kind":")" + std::string(kind) + R"(","timestamp":1)" + (fields.empty() ? "" : ",") +
           std::string(fields) + "}";
}
inline std::string line(std::string_view kind, std::string_view fields = "") {
    return message(kind, fields) + "\n";
}
inline std::string pairLine(std::string_view device, std::string_view code) {
    return line("pairRequest",
                R"("deviceID":")" + std::string(device) + R"(","pairingCode":")" + std::string(code) + "\"");
}
inline std::string authLine(std::string_view device, std::string_view token) {
    return line("auth", R"("deviceID":")" + std::string(device) + R"(","token":")" + std::string(token) + "\"");
}
// The same as the transport hands it to the injector; a move or text can carry what JSON cannot.
inline Packet packet(std::string_view kind, std::string_view fields = "") {
    return Packet::decodeJson(message(kind, fields)).value();
}
inline Packet move(float dx, float dy) {
    Packet p = packet("move");
    std::tie(p.dx, p.dy) = std::pair(dx, dy);
    return p;
}
inline Packet text(std::string value) {
    Packet p = packet("text");
    p.text = std::move(value);
    return p;
}

// A move as the phone app sends it by datagram.
inline Packet::Datagram moveDatagram(float dx, float dy) {
    Packet move;
    std::tie(move.dx, move.dy) = std::pair(dx, dy);
    return *move.encodeDatagram();
}

inline std::string readFile(const std::filesystem::path& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}
inline void writeFile(const std::filesystem::path& file, std::string_view text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Sets (or, given nullptr, removes) an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value) : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str()))
            m_old = old;
        value ? ::setenv(m_name.c_str(), value, 1) : ::unsetenv(m_name.c_str());
    }
    ~ScopedEnvironment() { m_old ? ::setenv(m_name.c_str(), m_old->c_str(), 1) : ::unsetenv(m_name.c_str()); }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A fresh, empty configuration home for one scope, removed afterwards. $HOME points there too, so that
// nothing a test does can reach the real home.
class ScopedHome {
public:
    ScopedHome()
        : m_root(makeDirectory()), m_config("XDG_CONFIG_HOME", m_root.c_str()), m_home("HOME", m_root.c_str()) {}
    ~ScopedHome() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    const std::filesystem::path& path() const { return m_root; }

private:
    static std::filesystem::path makeDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vemdo-test-XXXXXX").string();
        return ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("no temporary directory");
    }
    std::filesystem::path m_root;
    ScopedEnvironment m_config, m_home;
};

} // namespace vemdo::testing

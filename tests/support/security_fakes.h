// SPDX-License-Identifier: MIT
#pragma once

#include "security/clock.h"
#include "security/defaults_store.h"
#include "security/random_source.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo::testing {

// A wall clock that only moves when the test says so.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double secondsSince1970 = 1'700'000'000.0) : m_now(secondsSince1970) {}
    double now() const override { return m_now; }
    void set(double secondsSince1970) { m_now = secondsSince1970; }
    void advance(double seconds) { m_now += seconds; }

private:
    double m_now;
};

// Replays the given bytes in a loop, so tests can steer codes and tokens exactly.
class ScriptedRandomSource final : public RandomSource {
public:
    explicit ScriptedRandomSource(std::vector<std::uint8_t> bytes = {0}) : m_bytes(std::move(bytes)) {}
    void fill(std::span<std::uint8_t> out) override {
        for (auto& byte : out) {
            byte = m_bytes[m_next % m_bytes.size()];
            ++m_next;
        }
    }
    std::size_t bytesDrawn() const { return m_next; }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_next = 0;
};

// An in-memory store; writes can be made to fail to exercise the error paths.
class MemoryDefaultsStore final : public DefaultsStore {
public:
    std::optional<std::string> data(std::string_view key) const override {
        std::lock_guard lock(m_mutex);
        ++m_reads;
        auto it = m_values.find(std::string(key));
        if (it == m_values.end())
            return std::nullopt;
        return it->second;
    }
    bool setData(std::string_view key, std::string_view value) override {
        std::lock_guard lock(m_mutex);
        if (m_failWrites)
            return false;
        m_values[std::string(key)] = std::string(value);
        return true;
    }
    void failWrites(bool fail) {
        std::lock_guard lock(m_mutex);
        m_failWrites = fail;
    }
    int reads() const {
        std::lock_guard lock(m_mutex);
        return m_reads;
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string, std::less<>> m_values;
    mutable int m_reads = 0;
    bool m_failWrites = false;
};

} // namespace vemdo::testing

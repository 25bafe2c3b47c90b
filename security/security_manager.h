// SPDX-License-Identifier: MIT
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vemdo {

class Clock;
class DefaultsStore;
class RandomSource;

// The code as shown to the user and when it was made.
struct PairingCode {
    std::string code;
    // Seconds since 2001-01-01 00:00:00 UTC.
    double timestamp = 0;

    std::string encodeJson() const;
    static std::optional<PairingCode> decodeJson(std::string_view json);
};

// Pairing code, paired devices with their tokens, and the limit on pairing attempts.
// Code generation runs on the main thread; everything else on the transport thread. The only shared
// state is the defaults store, which is thread-safe; the attempt tables are touched by the transport
// thread alone.
class SecurityManager {
public:
    using PairedDevices = std::map<std::string, std::string>;

    static constexpr std::string_view pairingCodeKey = "com.vemdo.pairingCode";
    static constexpr std::string_view pairedDevicesKey = "com.vemdo.pairedDevices";
    static constexpr int maxAttemptsPerMinute = 10;

    SecurityManager(DefaultsStore& store, const Clock& clock, RandomSource& random);

    // The process-wide instance over the platform's store, clock and random source.
    static SecurityManager& shared();

    std::string generateNewPairingCode();
    std::optional<std::string> currentPairingCode() const;

    PairedDevices loadPairedDevices() const;
    void savePairedDevices(const PairedDevices& devices);
    std::string generateToken(std::string_view deviceID);
    bool validatePairing(std::string_view deviceID, std::string_view code);
    bool validateToken(std::string_view deviceID, std::string_view token) const;

    // Sliding window per device ID: records the attempt and answers true, or refuses without recording.
    bool checkRateLimit(std::string_view deviceID);
    // The same window applied per device ID and per remote address, so that rotating device IDs does
    // not lift the limit: allowed only when both windows allow, and then recorded in both.
    bool checkRateLimit(std::string_view deviceID, std::string_view address);

    // Number of devices and addresses with attempts still in their window (entries are dropped once empty).
    std::size_t trackedAttemptEntries() const;

private:
    using AttemptTable = std::unordered_map<std::string, std::deque<double>>;
    bool checkWindow(AttemptTable& table, std::string_view key);

    DefaultsStore& m_store;
    const Clock& m_clock;
    RandomSource& m_random;
    AttemptTable m_connectionAttempts;
    AttemptTable m_addressAttempts;
};

} // namespace vemdo

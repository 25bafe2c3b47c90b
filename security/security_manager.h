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
    static constexpr std::string_view unreadablePairedDevicesKey = "com.vemdo.pairedDevices.unreadable";
    static constexpr int maxAttemptsPerMinute = 10;
    static constexpr double attemptWindowSeconds = 60;

    SecurityManager(DefaultsStore& store, const Clock& clock, RandomSource& random);

    // The process-wide instance over the platform's store, clock and random source.
    static SecurityManager& shared();

    // Six digits, the first 1 to 9, stored with the current time. When the new code cannot be stored, the
    // code still in effect is returned instead (the new one only when none is stored), so that what the
    // menu shows is always a code that pairs.
    std::string generateNewPairingCode();
    // The stored code as it stands, or none when nothing readable is stored.
    std::optional<std::string> currentPairingCode() const;

    // Empty when nothing is stored or the stored value cannot be decoded.
    PairedDevices loadPairedDevices() const;
    // True only when the code matches the stored one and the device's new token has been stored.
    bool validatePairing(std::string_view deviceID, std::string_view code);
    // Its time depends neither on the stored token nor on where the two differ.
    bool validateToken(std::string_view deviceID, std::string_view token) const;

    // A sliding window per device ID and one per remote address, so that rotating device IDs does not lift
    // the limit: allowed only when both windows allow, and then recorded in both; a refusal records nothing.
    bool checkRateLimit(std::string_view deviceID, std::string_view address);

private:
    using AttemptTable = std::unordered_map<std::string, std::deque<double>>;
    // 64 lower-case hex digits; a fresh value on every call.
    std::string generateToken(std::string_view deviceID);
    // Before replacing a stored value that cannot be decoded, keeps it under unreadablePairedDevicesKey (or
    // that key with ".2", ".3", ... when taken), so that a damaged map is never silently lost.
    bool storePairedDevices(const PairedDevices& devices);
    bool keepUnreadablePairedDevices();
    // Drops every recorded time at or before windowStart, and with it every entry left empty.
    void forgetAttemptsBefore(double windowStart);

    DefaultsStore& m_store;
    const Clock& m_clock;
    RandomSource& m_random;
    AttemptTable m_connectionAttempts;
    AttemptTable m_addressAttempts;
};

} // namespace vemdo

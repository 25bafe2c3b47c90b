// SPDX-License-Identifier: MIT
#pragma once

#include "security/defaults_store.h"

#include <atomic>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vemdo {

class Clock;
class RandomSource;

// The code as shown to the user and when it was made.
struct PairingCode {
    std::string code;
    // Seconds since 2001-01-01 00:00:00 UTC.
    double timestamp = 0;

    std::string encodeJson() const;
    static std::optional<PairingCode> decodeJson(std::string_view json);
    bool operator==(const PairingCode&) const = default;
};

// The answer to a pairing or an authentication. storeUnavailable: the store could not be read or written,
// so nothing was decided about the code or token presented.
enum class Verdict { accepted, refused, storeUnavailable };

// Pairing code, paired devices with their tokens, paired browsers with their secrets, and the limits on
// pairing attempts.
// Code generation runs on the main thread; everything else on the transport thread. The only shared
// state is the defaults store, which is thread-safe; the paired-device map and the attempt counts are
// kept in memory and touched by the transport thread alone.
class SecurityManager {
public:
    using PairedDevices = std::map<std::string, std::string>;
    // Device ID and token, paired longest ago first: the stored object keeps its members in this order,
    // which is how "paired longest ago" survives a restart without a field of its own.
    using PairingList = std::vector<std::pair<std::string, std::string>>;

    static constexpr std::string_view pairingCodeKey = "com.vemdo.pairingCode";
    static constexpr std::string_view pairedDevicesKey = "com.vemdo.pairedDevices";
    static constexpr std::string_view unreadablePairedDevicesKey = "com.vemdo.pairedDevices.unreadable";
    // The browser pages' secrets, kept apart from the phones' tokens with the same cap, order and care.
    static constexpr std::string_view browserSecretsKey = "com.vemdo.browserSecrets";
    static constexpr std::string_view unreadableBrowserSecretsKey = "com.vemdo.browserSecrets.unreadable";
    static constexpr int maxAttemptsPerMinute = 10;
    static constexpr double attemptWindowSeconds = 60;
    // Wrong guesses one code takes in total, from anyone; then pairing stops until a new code is made.
    static constexpr int maxWrongGuessesPerCode = 100;
    // Longer device IDs are refused, so that the stored map stays small.
    static constexpr std::size_t maxDeviceIDBytes = 256;
    // Pairing one more device forgets the one paired longest ago.
    static constexpr std::size_t maxPairedDevices = 100;

    SecurityManager(DefaultsStore& store, const Clock& clock, RandomSource& random);

    // Six digits, the first 1 to 9, stored with the current time. When the new code cannot be stored, the
    // code still in effect is returned instead (the new one only when none is stored), so that what the
    // menu shows is always a code that pairs.
    std::string generateNewPairingCode();
    // The stored code as it stands, or none when nothing readable is stored.
    std::optional<std::string> currentPairingCode() const;

    // The paired devices. The stored map is read at the first use and then kept in memory, so a later
    // change of the stored value by anyone else is not seen; while nothing is stored it is looked for
    // again at each use. Empty when nothing is stored or the stored value cannot be decoded.
    PairedDevices loadPairedDevices() const;
    // Accepted only when the code matches the stored one, the device ID is at most maxDeviceIDBytes long,
    // and the device's new token has been stored. A wrong code counts towards the code's wrong guesses,
    // which checkRateLimit answers for; a store that cannot be read or written counts nothing.
    Verdict validatePairing(std::string_view deviceID, std::string_view code);
    // Its time depends neither on the stored token nor on where the two differ.
    Verdict validateToken(std::string_view deviceID, std::string_view token) const;

    // A browser proves the code by an exchange run with it, and whether it knew the code shows only at the
    // end. The stored code to run it with; refused when none is stored.
    Verdict pairingCodeForExchange(PairingCode& code);
    // The end of that exchange, run with `used`: a wrong code counts as one wrong guess, as in
    // validatePairing, while `used` is still the stored code (a guess at a replaced code tests nothing);
    // a right one stores a fresh secret for the browser (64 lower-case hex digits) and puts it in `secret`.
    Verdict concludeBrowserPairing(std::string_view deviceID, const PairingCode& used, bool confirmed,
                                   std::string& secret);
    // The browser's stored secret; refused when the browser has none.
    Verdict browserSecret(std::string_view deviceID, std::string& secret) const;

    // A sliding window per device ID and one per network source (see Transport's networkSource), so that
    // rotating device IDs or addresses within one network does not lift the limit; refused as well while
    // pairingStopped(). Allowed only when everything allows, and then recorded in both windows; a refusal
    // records nothing.
    bool checkRateLimit(std::string_view deviceID, std::string_view source);
    // Takes back the attempt that checkRateLimit last recorded for both, when nothing was judged.
    void withdrawAttempt(std::string_view deviceID, std::string_view source);
    // Whether the current code has taken maxWrongGuessesPerCode wrong guesses; it stays so until a new
    // code is stored. Reads the store only while the count is spent, to see whether the code changed.
    bool pairingStopped();
    // Whether the last read of the store failed or the last write was refused: pairings cannot be kept
    // until it works again. Any thread.
    bool storeFailing() const { return m_readFailing || m_writeFailing; }

private:
    using AttemptTable = std::unordered_map<std::string, std::deque<double>>;
    // One stored map of paired devices, read at its first use and then kept in memory.
    struct PairingTable {
        std::string_view key;
        std::string_view unreadableKey;
        PairingList list;
        bool loaded = false;
    };

    // 64 lower-case hex digits; a fresh value on every call.
    std::string generateToken(std::string_view deviceID);
    std::string generateSecret();
    // False when the store could not be read: the pairings are unknown, and are looked for again next time.
    bool loadPairings(PairingTable& table) const;
    const PairingList& pairings(PairingTable& table) const;
    DefaultsStore::Read readStore(std::string_view key) const;
    bool writeStore(std::string_view key, std::string_view value);
    // Before replacing a stored value that cannot be decoded, keeps it under the table's unreadable key (or
    // that key with ".2", ".3", ... when taken), so that a damaged map is never silently lost.
    bool storePairings(PairingTable& table, PairingList pairings);
    // Adds (or renews) the device as paired most recently, forgetting the oldest beyond the cap.
    Verdict storePairing(PairingTable& table, std::string_view deviceID, std::string credential);
    // Reads the stored code and follows its count of wrong guesses; none with the verdict when none can be used.
    std::optional<PairingCode> followStoredCode(Verdict& verdict);
    static std::optional<PairingCode> codeIn(const DefaultsStore::Read& read);
    std::optional<PairingCode> storedPairingCode() const;
    // Starts a fresh count of wrong guesses when the stored code is not the one counted so far.
    void followCode(const std::optional<PairingCode>& current);
    bool keepUnreadablePairings(const PairingTable& table);
    // Drops every recorded time at or before windowStart, and with it every entry left empty.
    void forgetAttemptsBefore(double windowStart);

    DefaultsStore& m_store;
    const Clock& m_clock;
    RandomSource& m_random;
    AttemptTable m_connectionAttempts;
    AttemptTable m_addressAttempts;
    // Caches filled at the first read, hence mutable.
    mutable PairingTable m_phones{pairedDevicesKey, unreadablePairedDevicesKey, {}, false};
    mutable PairingTable m_browsers{browserSecretsKey, unreadableBrowserSecretsKey, {}, false};
    // The code (with the moment it was made, so that a new code with the same digits is a new code) whose
    // wrong guesses are being counted.
    std::optional<PairingCode> m_guessedCode;
    int m_wrongGuesses = 0;
    // Written on both threads (a new code is made on the main thread).
    mutable std::atomic<bool> m_readFailing = false;
    std::atomic<bool> m_writeFailing = false;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "security/security_manager.h"

#include "security/clock.h"
#include "security/defaults_store.h"
#include "security/random_source.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <span>

namespace vemdo {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, both 00:00:00 UTC: the stored timestamp counts from the latter.
constexpr double referenceDateOffset = 978'307'200.0;

constexpr std::uint32_t codeRange = 900'000;
constexpr std::uint32_t lowestCode = 100'000;
// The largest multiple of codeRange that fits in 32 bits: draws at or above it are redrawn, so every code
// is equally likely.
constexpr std::uint64_t acceptedDrawLimit = (std::uint64_t{1} << 32) / codeRange * codeRange;
// A working source is rejected with probability 2e-4 per draw, so this bound only matters for a broken
// source, which would otherwise hang the caller.
constexpr int maxCodeDraws = 64;

// The stored values are written only with valid UTF-8 and read back only when they are; iterative parsing
// keeps a hand-edited, deeply nested value from exhausting the stack.
constexpr unsigned parseFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
using ValidatingWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                           rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

std::uint32_t drawBelowCodeRange(RandomSource& random) {
    std::uint32_t value = 0;
    for (int draw = 0; draw < maxCodeDraws; ++draw) {
        std::array<std::uint8_t, 4> bytes{};
        random.fill(bytes);
        value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
                std::uint32_t{bytes[3]};
        if (value < acceptedDrawLimit)
            break;
    }
    return value % codeRange;
}

using PairingList = SecurityManager::PairingList;

// Members in stored order, which is pairing order; of a device ID written twice (by hand) the last one
// counts, in its place.
std::optional<PairingList> decodePairings(std::string_view json) {
    rapidjson::Document document;
    document.Parse<parseFlags>(json.data(), json.size());
    if (document.HasParseError() || !document.IsObject())
        return std::nullopt;
    PairingList pairings;
    for (const auto& member : document.GetObject()) {
        if (!member.value.IsString())
            return std::nullopt;
        std::string deviceID(member.name.GetString(), member.name.GetStringLength());
        std::erase_if(pairings, [&deviceID](const auto& pairing) { return pairing.first == deviceID; });
        pairings.emplace_back(std::move(deviceID),
                              std::string(member.value.GetString(), member.value.GetStringLength()));
    }
    return pairings;
}

std::optional<std::string> encodePairings(const PairingList& pairings) {
    rapidjson::StringBuffer buffer;
    ValidatingWriter writer(buffer);
    bool ok = writer.StartObject();
    for (const auto& [deviceID, token] : pairings) {
        ok = ok && writer.Key(deviceID.data(), static_cast<rapidjson::SizeType>(deviceID.size()));
        ok = ok && writer.String(token.data(), static_cast<rapidjson::SizeType>(token.size()));
    }
    ok = ok && writer.EndObject();
    if (!ok)
        return std::nullopt;
    return std::string(buffer.GetString(), buffer.GetSize());
}

// Version 4 layout: the version nibble and the variant bits are fixed, the other 122 bits are random.
std::string makeUuidText(RandomSource& random) {
    std::array<std::uint8_t, 16> bytes{};
    random.fill(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// Shortest plain decimal text that reads back as the same double, with at least one fractional digit.
std::string timeText(double seconds) {
    std::array<char, 400> buffer{};
    auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds, std::chars_format::fixed);
    if (error != std::errc())
        return "0.0";
    std::string text(buffer.data(), end);
    if (text.find_first_not_of("-0123456789") == std::string::npos)
        text += ".0";
    return text;
}

std::optional<std::array<unsigned char, EVP_MAX_MD_SIZE>> sha256(std::string_view bytes, unsigned& length) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32)
        return std::nullopt;
    return digest;
}

std::string hexText(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

template <typename List> auto findPairing(List& list, std::string_view deviceID) {
    return std::find_if(list.begin(), list.end(),
                        [deviceID](const auto& pairing) { return pairing.first == deviceID; });
}

} // namespace

std::string PairingCode::encodeJson() const {
    rapidjson::StringBuffer buffer;
    ValidatingWriter writer(buffer);
    bool ok = writer.StartObject() && writer.Key("code") &&
              writer.String(code.data(), static_cast<rapidjson::SizeType>(code.size())) && writer.Key("timestamp") &&
              writer.Double(timestamp) && writer.EndObject();
    // An empty text is never a valid record, so it doubles as "could not be encoded".
    if (!ok)
        return {};
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<PairingCode> PairingCode::decodeJson(std::string_view json) {
    rapidjson::Document document;
    document.Parse<parseFlags>(json.data(), json.size());
    if (document.HasParseError() || !document.IsObject())
        return std::nullopt;
    auto code = document.FindMember("code");
    auto timestamp = document.FindMember("timestamp");
    if (code == document.MemberEnd() || !code->value.IsString() || timestamp == document.MemberEnd() ||
        !timestamp->value.IsNumber())
        return std::nullopt;
    return PairingCode{std::string(code->value.GetString(), code->value.GetStringLength()),
                       timestamp->value.GetDouble()};
}

SecurityManager::SecurityManager(DefaultsStore& store, const Clock& clock, RandomSource& random)
    : m_store(store), m_clock(clock), m_random(random) {}

std::string SecurityManager::generateNewPairingCode() {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%06u", static_cast<unsigned>(drawBelowCodeRange(m_random) + lowestCode));
    PairingCode record{text.data(), m_clock.now() - referenceDateOffset};
    std::string json = record.encodeJson();
    if (!json.empty() && writeStore(pairingCodeKey, json))
        return record.code;
    return currentPairingCode().value_or(record.code);
}

DefaultsStore::Read SecurityManager::readStore(std::string_view key) const {
    DefaultsStore::Read read = m_store.read(key);
    m_readFailing = read.unavailable;
    return read;
}

bool SecurityManager::writeStore(std::string_view key, std::string_view value) {
    const bool written = m_store.setData(key, value);
    m_writeFailing = !written;
    return written;
}

std::optional<PairingCode> SecurityManager::codeIn(const DefaultsStore::Read& read) {
    return read.value ? PairingCode::decodeJson(*read.value) : std::nullopt;
}

std::optional<PairingCode> SecurityManager::storedPairingCode() const {
    return codeIn(readStore(pairingCodeKey));
}

std::optional<std::string> SecurityManager::currentPairingCode() const {
    auto record = storedPairingCode();
    if (!record)
        return std::nullopt;
    return record->code;
}

bool SecurityManager::loadPairings(PairingTable& table) const {
    if (table.loaded)
        return true;
    // While nothing is stored the store is asked again next time, so that pairings stored by hand or by an
    // earlier run that could not be read yet are not forgotten.
    const DefaultsStore::Read read = readStore(table.key);
    if (read.unavailable)
        return false;
    if (read.value) {
        table.list = decodePairings(*read.value).value_or(PairingList{});
        table.loaded = true;
    }
    return true;
}

const SecurityManager::PairingList& SecurityManager::pairings(PairingTable& table) const {
    loadPairings(table);
    return table.list;
}

SecurityManager::PairedDevices SecurityManager::loadPairedDevices() const {
    const PairingList& list = pairings(m_phones);
    return PairedDevices(list.begin(), list.end());
}

bool SecurityManager::storePairings(PairingTable& table, PairingList list) {
    auto json = encodePairings(list);
    if (!json || !keepUnreadablePairings(table) || !writeStore(table.key, *json))
        return false;
    // Taken over only once stored, so memory never holds a pairing that the next start would not find.
    table.list = std::move(list);
    table.loaded = true;
    return true;
}

// A stored map that cannot be decoded reads as empty, so the next save would replace every earlier
// pairing with the new one alone. The old bytes go under a key of their own first; if that fails, the
// save is refused rather than losing them.
bool SecurityManager::keepUnreadablePairings(const PairingTable& table) {
    auto stored = m_store.data(table.key);
    if (!stored || decodePairings(*stored))
        return true;
    constexpr int maxKeptValues = 100;
    for (int n = 1; n <= maxKeptValues; ++n) {
        std::string key(table.unreadableKey);
        if (n > 1)
            key += "." + std::to_string(n);
        auto kept = m_store.data(key);
        if (kept == stored)
            return true;
        if (!kept)
            return writeStore(key, *stored);
    }
    return false;
}

std::string SecurityManager::generateToken(std::string_view deviceID) {
    std::string input(deviceID);
    input += '-';
    input += makeUuidText(m_random);
    input += '-';
    input += timeText(m_clock.now());
    unsigned length = 0;
    auto digest = sha256(input, length);
    // Only a broken crypto library gets here; an empty token never verifies (see validatePairing).
    if (!digest)
        return {};
    return hexText({digest->data(), length});
}

std::string SecurityManager::generateSecret() {
    std::array<std::uint8_t, 32> bytes{};
    m_random.fill(bytes);
    return hexText(bytes);
}

void SecurityManager::followCode(const std::optional<PairingCode>& current) {
    if (current == m_guessedCode)
        return;
    m_guessedCode = current;
    m_wrongGuesses = 0;
}

bool SecurityManager::pairingStopped() {
    if (m_wrongGuesses < maxWrongGuessesPerCode)
        return false;
    // A store that cannot be read now tells nothing of a new code: pairing stays stopped.
    const DefaultsStore::Read read = readStore(pairingCodeKey);
    if (read.unavailable)
        return true;
    followCode(codeIn(read));
    return m_wrongGuesses >= maxWrongGuessesPerCode;
}

std::optional<PairingCode> SecurityManager::followStoredCode(Verdict& verdict) {
    // A code that cannot be read says nothing about the guess, and must not restart the count of wrong ones.
    const DefaultsStore::Read read = readStore(pairingCodeKey);
    verdict = read.unavailable ? Verdict::storeUnavailable : Verdict::refused;
    if (read.unavailable)
        return std::nullopt;
    auto stored = codeIn(read);
    followCode(stored);
    return stored;
}

Verdict SecurityManager::validatePairing(std::string_view deviceID, std::string_view code) {
    if (deviceID.size() > maxDeviceIDBytes)
        return Verdict::refused;
    Verdict verdict = Verdict::refused;
    const auto stored = followStoredCode(verdict);
    if (!stored)
        return verdict;
    if (stored->code != code) {
        ++m_wrongGuesses;
        return Verdict::refused;
    }
    std::string token = generateToken(deviceID);
    // Only a broken crypto library gets here; an empty token never verifies.
    if (token.empty())
        return Verdict::refused;
    return storePairing(m_phones, deviceID, std::move(token));
}

Verdict SecurityManager::storePairing(PairingTable& table, std::string_view deviceID, std::string credential) {
    // Saving beside pairings that could not be read would replace every one of them with this one.
    if (!loadPairings(table))
        return Verdict::storeUnavailable;
    PairingList list = pairings(table);
    std::erase_if(list, [deviceID](const auto& pairing) { return pairing.first == deviceID; });
    if (list.size() >= maxPairedDevices)
        list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(maxPairedDevices - 1));
    list.emplace_back(std::string(deviceID), std::move(credential));
    // Answering success for a credential that was never stored would leave the device with nothing that
    // authenticates, so a failed write is a failed pairing.
    return storePairings(table, std::move(list)) ? Verdict::accepted : Verdict::storeUnavailable;
}

Verdict SecurityManager::validateToken(std::string_view deviceID, std::string_view token) const {
    // Pairings that cannot be read are unknown, not absent: the phone's token may well be right.
    if (!loadPairings(m_phones))
        return Verdict::storeUnavailable;
    const PairingList& list = pairings(m_phones);
    auto entry = findPairing(list, deviceID);
    bool paired = entry != list.end();
    std::string_view stored = paired ? std::string_view(entry->second) : std::string_view();
    // Comparing digests makes the time independent of where the texts differ and of the stored length;
    // the lengths are compared as well so equal digests of different texts cannot pass.
    unsigned storedLength = 0;
    unsigned presentedLength = 0;
    auto storedDigest = sha256(stored, storedLength);
    auto presentedDigest = sha256(token, presentedLength);
    if (!storedDigest || !presentedDigest)
        return Verdict::refused;
    bool digestsEqual = CRYPTO_memcmp(storedDigest->data(), presentedDigest->data(), storedLength) == 0;
    bool lengthsEqual = stored.size() == token.size();
    return (paired & digestsEqual & lengthsEqual) ? Verdict::accepted : Verdict::refused;
}

Verdict SecurityManager::pairingCodeForExchange(PairingCode& code) {
    Verdict verdict = Verdict::refused;
    auto stored = followStoredCode(verdict);
    if (!stored)
        return verdict;
    code = std::move(*stored);
    return Verdict::accepted;
}

Verdict SecurityManager::concludeBrowserPairing(std::string_view deviceID, const PairingCode& used, bool confirmed,
                                                std::string& secret) {
    if (deviceID.size() > maxDeviceIDBytes)
        return Verdict::refused;
    Verdict verdict = Verdict::refused;
    const auto stored = followStoredCode(verdict);
    if (!stored || *stored != used)
        return verdict;
    if (!confirmed) {
        ++m_wrongGuesses;
        return Verdict::refused;
    }
    std::string fresh = generateSecret();
    verdict = storePairing(m_browsers, deviceID, fresh);
    if (verdict == Verdict::accepted)
        secret = std::move(fresh);
    return verdict;
}

Verdict SecurityManager::browserSecret(std::string_view deviceID, std::string& secret) const {
    if (!loadPairings(m_browsers))
        return Verdict::storeUnavailable;
    const PairingList& list = pairings(m_browsers);
    auto entry = findPairing(list, deviceID);
    if (entry == list.end())
        return Verdict::refused;
    secret = entry->second;
    return Verdict::accepted;
}

bool SecurityManager::checkRateLimit(std::string_view deviceID, std::string_view source) {
    double now = m_clock.now();
    forgetAttemptsBefore(now - attemptWindowSeconds);
    auto limit = static_cast<std::size_t>(maxAttemptsPerMinute);
    auto device = m_connectionAttempts.find(std::string(deviceID));
    auto network = m_addressAttempts.find(std::string(source));
    bool deviceFull = device != m_connectionAttempts.end() && device->second.size() >= limit;
    bool sourceFull = network != m_addressAttempts.end() && network->second.size() >= limit;
    // The windows first: they cost nothing, while a stopped code is confirmed by reading the store.
    if (deviceFull || sourceFull || pairingStopped())
        return false;
    m_connectionAttempts[std::string(deviceID)].push_back(now);
    m_addressAttempts[std::string(source)].push_back(now);
    return true;
}

void SecurityManager::withdrawAttempt(std::string_view deviceID, std::string_view source) {
    for (auto [table, key] : {std::pair{&m_connectionAttempts, deviceID}, std::pair{&m_addressAttempts, source}}) {
        auto it = table->find(std::string(key));
        if (it == table->end())
            continue;
        it->second.pop_back();
        if (it->second.empty())
            table->erase(it);
    }
}

// Every table is pruned on every check, not only the caller's entry, so that identities that never come
// back do not stay in memory. A time at or before the window start cannot count again while the clock
// moves forward, so this changes no decision; only after the clock is set back by more than the window
// could a forgotten time have counted once more, which errs towards allowing a legitimate phone.
void SecurityManager::forgetAttemptsBefore(double windowStart) {
    for (auto* table : {&m_connectionAttempts, &m_addressAttempts}) {
        for (auto it = table->begin(); it != table->end();) {
            auto& times = it->second;
            // The clock may have been set back, so the list need not be sorted: filter all of it.
            times.erase(
                std::remove_if(times.begin(), times.end(), [windowStart](double t) { return t <= windowStart; }),
                times.end());
            if (times.empty())
                it = table->erase(it);
            else
                ++it;
        }
    }
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "security/cpace.h"

#include "security/random_source.h"

#include <sodium.h>

#include <algorithm>
#include <string>

namespace vemdo::cpace {

namespace {

constexpr std::string_view dsi = "CPaceRistretto255";
constexpr std::size_t sha512BlockBytes = 128;
// Parts longer than 2 MiB are never sent, so longer length prefixes are refused rather than decoded.
constexpr int maxLengthPrefixBytes = 3;

void appendLength(Bytes& out, std::size_t length) {
    do {
        const auto low = static_cast<std::uint8_t>(length & 0x7f);
        length >>= 7;
        out.push_back(length ? low | 0x80 : low);
    } while (length);
}

std::size_t prefixedLength(std::size_t length) {
    Bytes prefix;
    appendLength(prefix, length);
    return prefix.size() + length;
}

Digest sha512(std::initializer_list<ByteView> parts) {
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    // An empty part may have no data pointer at all, which libsodium must not be given.
    for (ByteView part : parts)
        if (!part.empty())
            crypto_hash_sha512_update(&state, part.data(), part.size());
    Digest out;
    crypto_hash_sha512_final(&state, out.data());
    return out;
}

Digest hmacSha512(ByteView key, std::initializer_list<ByteView> parts) {
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, key.data(), key.size());
    for (ByteView part : parts)
        if (!part.empty())
            crypto_auth_hmacsha512_update(&state, part.data(), part.size());
    Digest out;
    crypto_auth_hmacsha512_final(&state, out.data());
    return out;
}

// HKDF-Expand's first block is all a 32-byte key needs.
Key expandKey(const Digest& prk, std::string_view direction) {
    const std::string info = std::string(protocolName) + ' ' + std::string(direction);
    const std::uint8_t blockIndex = 1;
    const Digest block = hmacSha512(prk, {bytesOf(info), ByteView(&blockIndex, 1)});
    Key key;
    std::copy_n(block.begin(), key.size(), key.begin());
    return key;
}

} // namespace

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

ByteView bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes lvCat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) {
        appendLength(out, part.size());
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::optional<std::vector<Bytes>> lvSplit(ByteView encoded) {
    std::vector<Bytes> parts;
    std::size_t at = 0;
    while (at < encoded.size()) {
        std::size_t length = 0;
        for (int index = 0;; ++index) {
            if (index == maxLengthPrefixBytes || at == encoded.size())
                return std::nullopt;
            const std::uint8_t byte = encoded[at++];
            // A last byte of zero after the first would make a second encoding of the same length.
            if (index > 0 && byte == 0)
                return std::nullopt;
            length |= std::size_t{byte & 0x7fu} << (7 * index);
            if (!(byte & 0x80))
                break;
        }
        if (length > encoded.size() - at)
            return std::nullopt;
        parts.emplace_back(encoded.begin() + at, encoded.begin() + at + length);
        at += length;
    }
    return parts;
}

Bytes generatorString(ByteView prs, ByteView ci, ByteView sid) {
    const std::size_t used = 1 + prefixedLength(prs.size()) + prefixedLength(dsi.size());
    const Bytes padding(used < sha512BlockBytes ? sha512BlockBytes - used : 0, 0);
    return lvCat({bytesOf(dsi), prs, padding, ci, sid});
}

Point calculateGenerator(ByteView prs, ByteView ci, ByteView sid) {
    const Digest hash = sha512({generatorString(prs, ci, sid)});
    Point generator;
    crypto_core_ristretto255_from_hash(generator.data(), hash.data());
    return generator;
}

Scalar sampleScalar(RandomSource& random) {
    Scalar scalar;
    random.fill(scalar);
    scalar.back() &= 0x0f;
    return scalar;
}

std::optional<Point> scalarMult(const Scalar& y, ByteView x) {
    Point product;
    if (x.size() != pointBytes || crypto_scalarmult_ristretto255(product.data(), y.data(), x.data()) != 0)
        return std::nullopt;
    return product;
}

Agreement agree(ByteView sid, const Point& k, ByteView ya, ByteView ada, ByteView yb, ByteView adb) {
    const std::string iskDsi = std::string(dsi) + "_ISK";
    const Bytes initiatorMessage = lvCat({ya, ada});
    const Bytes responderMessage = lvCat({yb, adb});
    Agreement agreement;
    agreement.isk = sha512({lvCat({bytesOf(iskDsi), sid, k}), initiatorMessage, responderMessage});
    const Digest macKey = sha512({bytesOf("CPaceMac"), sid, agreement.isk});
    agreement.initiatorTag = hmacSha512(macKey, {initiatorMessage});
    agreement.responderTag = hmacSha512(macKey, {responderMessage});
    // HKDF-Extract without a salt: the salt is as many zero bytes as the hash is long.
    const Digest noSalt{};
    const Digest prk = hmacSha512(noSalt, {agreement.isk});
    agreement.keys = {expandKey(prk, "initiator to responder"), expandKey(prk, "responder to initiator")};
    return agreement;
}

bool sameTag(const Digest& expected, ByteView received) {
    return received.size() == expected.size() && crypto_verify_64(expected.data(), received.data()) == 0;
}

} // namespace vemdo::cpace

// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vemdo {

class RandomSource;

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// CPace over ristretto255 with SHA-512 (CPACE-RISTR255-SHA512 of draft-irtf-cfrg-cpace-21) in the
// initiator-responder setting, followed by the explicit key confirmation the draft suggests and one key per
// direction derived from ISK. Stateless functions over bytes, any thread, once sodiumReady() has returned
// true. The browser page's pake.js computes the same values.
namespace cpace {

// Goes into every channel identifier, the first message and the key derivation, so that two versions of
// the exchange never agree on a key.
constexpr std::string_view protocolName = "vemdo-pake-v1";

constexpr std::size_t pointBytes = 32;
constexpr std::size_t scalarBytes = 32;
constexpr std::size_t keyBytes = 32;

using Point = std::array<std::uint8_t, pointBytes>;
// Little-endian.
using Scalar = std::array<std::uint8_t, scalarBytes>;
// SHA-512 outputs: the intermediate session key and the confirmation tags.
using Digest = std::array<std::uint8_t, 64>;
using Key = std::array<std::uint8_t, keyBytes>;

// Initialises libsodium once per process; false when it cannot be used.
bool sodiumReady();

ByteView bytesOf(std::string_view text);

// Each part preceded by its length in LEB128 (the draft's lv_cat).
Bytes lvCat(std::initializer_list<ByteView> parts);
// The parts of an lvCat; none unless the input is exactly a sequence of minimally encoded parts.
std::optional<std::vector<Bytes>> lvSplit(ByteView encoded);

// lv_cat(DSI, PRS, zero padding to fill SHA-512's first block, CI, sid).
Bytes generatorString(ByteView prs, ByteView ci, ByteView sid);
// The encoded generator: SHA-512 of the generator string, mapped by ristretto255's element derivation.
Point calculateGenerator(ByteView prs, ByteView ci, ByteView sid);
// 32 random bytes with the bits above the group's 252 cleared, as the draft recommends.
Scalar sampleScalar(RandomSource& random);
// y·X (the draft's scalar_mult_vfy); none when X is no valid encoding or the product is the identity, on
// which the exchange must be aborted.
std::optional<Point> scalarMult(const Scalar& y, ByteView x);

struct SessionKeys {
    Key initiatorToResponder;
    Key responderToInitiator;
};

// Everything both sides derive from the shared point K and the two messages of the exchange.
struct Agreement {
    // SHA-512(lv_cat(DSI || "_ISK", sid, K) || lv_cat(Ya, ADa) || lv_cat(Yb, ADb)).
    Digest isk;
    // HMAC-SHA-512 keyed with SHA-512("CPaceMac" || sid || ISK) over lv_cat(Y, AD) of the party sending it.
    Digest initiatorTag;
    Digest responderTag;
    // HKDF-SHA-512 (no salt, ISK as input key material), 32 bytes per direction, told apart by the info.
    SessionKeys keys;
};
Agreement agree(ByteView sid, const Point& k, ByteView ya, ByteView ada, ByteView yb, ByteView adb);

// Compares in time that does not depend on where the two differ; false when the lengths differ.
bool sameTag(const Digest& expected, ByteView received);

} // namespace cpace
} // namespace vemdo

// SPDX-License-Identifier: MIT
// Any bytes as one UDP datagram: decoding never crashes, accepts exactly the 13-byte-or-longer inputs
// with a type byte from 1 to 8, copies the stamp and the floats bit for bit, and a decoded packet with
// finite floats survives the JSON round trip (a non-finite one is refused by the encoder).
#include "fuzz/fuzz_check.h"
#include "protocol/packet.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace {

std::uint32_t littleEndian(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool finiteOrAbsent(const std::optional<float>& value) {
    return !value || std::isfinite(*value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packet = vemdo::Packet::decodeDatagram(std::span<const std::uint8_t>(data, size));
    const bool wellFormed = size >= 13 && data[0] >= 1 && data[0] <= 8;
    FUZZ_CHECK(packet.has_value() == wellFormed);
    if (!packet) {
        return 0;
    }

    FUZZ_CHECK(packet->timestamp == littleEndian(data + 9));
    const std::uint32_t a = littleEndian(data + 1);
    const std::uint32_t b = littleEndian(data + 5);
    const auto type = data[0];
    if (type == 1) {
        FUZZ_CHECK(packet->kind == vemdo::Kind::move && packet->dx && packet->dy);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(*packet->dx) == a && std::bit_cast<std::uint32_t>(*packet->dy) == b);
    } else if (type == 2) {
        FUZZ_CHECK(packet->kind == vemdo::Kind::scroll && packet->scrollX && packet->scrollY);
        FUZZ_CHECK(std::bit_cast<std::uint32_t>(*packet->scrollX) == a &&
                   std::bit_cast<std::uint32_t>(*packet->scrollY) == b);
    } else {
        FUZZ_CHECK(packet->button.has_value() && !packet->dx && !packet->dy && !packet->scrollX && !packet->scrollY);
        const bool right = type == 4 || type == 7 || type == 8;
        FUZZ_CHECK(*packet->button == (right ? vemdo::MouseButton::right : vemdo::MouseButton::left));
    }
    FUZZ_CHECK(*packet == *packet);

    const auto encoded = packet->encodeJson();
    const bool encodable = finiteOrAbsent(packet->dx) && finiteOrAbsent(packet->dy) &&
                           finiteOrAbsent(packet->scrollX) && finiteOrAbsent(packet->scrollY);
    FUZZ_CHECK(encoded.has_value() == encodable);
    if (encoded) {
        const auto again = vemdo::Packet::decodeJson(*encoded);
        FUZZ_CHECK(again.has_value() && *again == *packet);
        for (const auto& [x, y] :
             {std::pair{again->dx, packet->dx}, std::pair{again->dy, packet->dy},
              std::pair{again->scrollX, packet->scrollX}, std::pair{again->scrollY, packet->scrollY}}) {
            FUZZ_CHECK(x.has_value() == y.has_value());
            FUZZ_CHECK(!x || std::bit_cast<std::uint32_t>(*x) == std::bit_cast<std::uint32_t>(*y));
        }
    }
    return 0;
}

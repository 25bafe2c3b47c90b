// SPDX-License-Identifier: MIT
// Any bytes as one line from the stream: decoding never crashes, and whatever decodes re-encodes to text
// that decodes to the very same packet (floats bit for bit) and encodes to the very same text again.
#include "protocol/packet.h"
#include "protocol/utf8.h"

#include <rapidjson/document.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// An invariant that fails aborts, so libFuzzer keeps the input; unlike assert() whatever NDEBUG says.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition);                     \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

namespace {

bool sameBits(const std::optional<float>& a, const std::optional<float>& b) {
    return a.has_value() == b.has_value() &&
           (!a || std::bit_cast<std::uint32_t>(*a) == std::bit_cast<std::uint32_t>(*b));
}

bool identical(const vemdo::Packet& a, const vemdo::Packet& b) {
    return a == b && sameBits(a.dx, b.dx) && sameBits(a.dy, b.dy) && sameBits(a.scrollX, b.scrollX) &&
           sameBits(a.scrollY, b.scrollY) && sameBits(a.gestureProgress, b.gestureProgress);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto packet = vemdo::Packet::decodeJson(input);
    if (!packet) {
        return 0;
    }

    // A second opinion on the input: whatever we accept, RapidJSON's own tree parser accepts as an object
    // whose "kind" is the decoded kind's raw string.
    {
        std::string copy(input);
        rapidjson::Document document;
        document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                       rapidjson::kParseStopWhenDoneFlag>(copy.c_str(), copy.size());
        FUZZ_CHECK(!document.HasParseError());
        FUZZ_CHECK(document.IsObject());
        const auto kind = document.FindMember("kind");
        FUZZ_CHECK(kind != document.MemberEnd() && kind->value.IsString());
        FUZZ_CHECK(std::string_view(kind->value.GetString(), kind->value.GetStringLength()) ==
                   vemdo::rawValue(packet->kind));
    }

    for (const auto* text :
         {&packet->text, &packet->deviceID, &packet->pairingCode, &packet->token, &packet->message}) {
        FUZZ_CHECK(!*text || vemdo::isValidUtf8(**text));
    }

    const auto encoded = packet->encodeJson();
    FUZZ_CHECK(encoded.has_value());
    FUZZ_CHECK(encoded->find('\n') == std::string::npos);
    FUZZ_CHECK(encoded->find('\r') == std::string::npos);
    const auto again = vemdo::Packet::decodeJson(*encoded);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(identical(*again, *packet));
    const auto reencoded = again->encodeJson();
    FUZZ_CHECK(reencoded.has_value() && *reencoded == *encoded);
    return 0;
}

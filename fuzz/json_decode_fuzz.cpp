// SPDX-License-Identifier: MIT
// Any bytes as one line from the stream: decoding never crashes, and whatever decodes re-encodes to text
// that decodes to the very same packet (floats bit for bit) and encodes to the very same text again.
#include "fuzz/fuzz_check.h"
#include "protocol/packet.h"
#include "protocol/utf8.h"

#include <rapidjson/document.h>

#include <bit>
#include <cstdint>
#include <string_view>

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
    if (!packet)
        return 0;

    // A second opinion on the input: whatever we accept, RapidJSON's own tree parser accepts as an object
    // whose "kind" is the decoded kind's raw string.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                   rapidjson::kParseStopWhenDoneFlag>(input.data(), input.size());
    FUZZ_CHECK(!document.HasParseError() && document.IsObject());
    const auto kind = document.FindMember("kind");
    FUZZ_CHECK(kind != document.MemberEnd() && kind->value.IsString());
    FUZZ_CHECK(std::string_view(kind->value.GetString(), kind->value.GetStringLength()) ==
               vemdo::rawValue(packet->kind));

    for (const auto* text : {&packet->text, &packet->deviceID, &packet->pairingCode, &packet->token, &packet->message})
        FUZZ_CHECK(!*text || vemdo::isValidUtf8(**text));

    const auto encoded = packet->encodeJson();
    FUZZ_CHECK(encoded && encoded->find_first_of("\r\n") == std::string::npos);
    const auto again = vemdo::Packet::decodeJson(*encoded);
    FUZZ_CHECK(again && identical(*again, *packet));
    FUZZ_CHECK(again->encodeJson() == encoded);
    return 0;
}

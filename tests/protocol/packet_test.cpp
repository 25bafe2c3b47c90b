// SPDX-License-Identifier: MIT
#include "protocol/packet.h"
#include "protocol/utf8.h"

#include <gtest/gtest.h>

namespace vemdo {
namespace {

using namespace std::string_literals;

// A row is an input and what it decodes to, written in the compact form the encoder gives back ("" when it
// must be refused). Comparing the re-encoded text checks the decoder and the encoder's exact output at once.
struct Row {
    std::string input;
    std::string expected;
};

std::string reencoded(const std::optional<Packet>& packet) {
    return packet ? packet->encodeJson().value_or("unencodable") : "";
}

std::string move(const std::string& member) {
    return R"({"kind":"move","timestamp":0,)" + member + "}";
}

TEST(PacketJson, DecodesStrictlyAndEncodesCompactly) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Row rows[] = {
        {R"({"kind":"move","dx":1.5,"dy":-2,"timestamp":1700000000123})",
         R"({"kind":"move","dx":1.5,"dy":-2,"timestamp":1700000000123})"},
        {move(R"("dx":null,"text":null,"button":null,"success":null)"), R"({"kind":"move","timestamp":0})"},
        {R"({"kind":"scroll","scrollX":0.1,"scrollY":-1e-50,"timestamp":0})",
         R"({"kind":"scroll","scrollX":0.1,"scrollY":-0,"timestamp":0})"},
        {move(R"("dx":3.4028235e38)"), R"({"kind":"move","dx":3.4028235e+38,"timestamp":0})"},
        // Whole numbers in any spelling, judged from their digits (through a double the stamp would round).
        {R"({"kind":"down","button":2.0,"keyCode":0.55e2,"timestamp":1.8446744073709551615e19})",
         R"({"kind":"down","button":2,"keyCode":55,"timestamp":18446744073709551615})"},
        {R"({"kind":"up","button":-0,"keyCode":65535,"timestamp":9007199254740993.0})",
         R"({"kind":"up","button":0,"keyCode":65535,"timestamp":9007199254740993})"},
        {R"({"kind":"gestureEnd","fingerCount":-9223372036854775808,"gestureType":"swipeUp","gestureProgress":0.5,)"
         R"("timestamp":7})",
         R"({"kind":"gestureEnd","timestamp":7,"gestureType":"swipeUp","gestureProgress":0.5,)"
         R"("fingerCount":-9223372036854775808})"},
        {R"({"x":[1,{"kind":"nope"}],"KIND":5,"kind":"auth","x":"again","timestamp":1,"deep":)" + deep + "}",
         R"({"kind":"auth","timestamp":1})"},
        {R"({"kind":"text","text":"a\nb\r\"\\\/\t\u00e9\ud83d\ude00\u0001\u0000","timestamp":0})",
         "{\"kind\":\"text\",\"text\":\"a\\nb\\r\\\"\\\\/\\t\xC3\xA9\xF0\x9F\x98\x80\\u0001\\u0000\",\"timestamp\":0}"},
        {" \t\r\n{ \"\\u006bind\" : \"move\" ,\n \"timestamp\" : 0 }\r\n", R"({"kind":"move","timestamp":0})"},
        {R"({"kind":"pairResponse","success":false,"message":"Hatal\u0131","token":"","deviceID":"P",)"
         R"("pairingCode":"123456","timestamp":3})",
         "{\"kind\":\"pairResponse\",\"timestamp\":3,\"deviceID\":\"P\",\"pairingCode\":\"123456\",\"token\":\"\","
         "\"success\":false,\"message\":\"Hatal\xC4\xB1\"}"},
        // Not one object
        {"", ""},
        {R"([{"kind":"move","timestamp":0}])", ""},
        {R"({"kind":"move","timestamp":0} x)", ""},
        {"{\"kind\":\"move\",\"timestamp\":0}\0"s, ""},
        {"\xEF\xBB\xBF{\"kind\":\"move\",\"timestamp\":0}", ""},
        {R"({"kind":"move","timestamp":0)", ""},
        // kind and timestamp are required and typed
        {R"({"timestamp":0})", ""},
        {R"({"kind":"jump","timestamp":0})", ""},
        {R"({"kind":"Move","timestamp":0})", ""},
        {R"({"kind":0,"timestamp":0})", ""},
        {R"({"kind":"move"})", ""},
        {R"({"kind":"move","timestamp":-1})", ""},
        {R"({"kind":"move","timestamp":1.5})", ""},
        {R"({"kind":"move","timestamp":18446744073709551616})", ""},
        {R"({"kind":"move","timestamp":"1"})", ""},
        // every other field in its range and of its type
        {move(R"("button":3)"), ""},
        {move(R"("button":"left")"), ""},
        {move(R"("button":0.5)"), ""},
        {move(R"("keyCode":65536)"), ""},
        {move(R"("keyCode":-1)"), ""},
        {move(R"("fingerCount":9223372036854775808)"), ""},
        {move(R"("dx":"1.5")"), ""},
        {move(R"("dx":3.5e38)"), ""},
        {move(R"("dx":[1])"), ""},
        {move(R"("dx":NaN)"), ""},
        {move(R"("gestureType":"pinch")"), ""},
        {move(R"("success":"true")"), ""},
        {move(R"("text":5)"), ""},
        {move(R"("deviceID":{"id":"x"})"), ""},
        // a known key twice, even after a null
        {R"({"kind":"move","kind":"scroll","timestamp":0})", ""},
        {move(R"("dx":null,"dx":1)"), ""},
        // strings must be valid UTF-8, wherever they are
        {move("\"text\":\"a\xFF\""), ""},
        {move("\"text\":\"\xC0\xAF\""), ""},
        {move(R"("text":"\udc00")"), ""},
        {move("\"other\":[\"\xFF\"]"), ""},
        {move("\"text\":\"a\nb\""), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input.substr(0, 120));
        EXPECT_EQ(reencoded(Packet::decodeJson(row.input)), row.expected);
    }
}

// The decoder is read byte by byte, the encoder through it and once byte by byte.
TEST(PacketDatagram, TheThirteenByteForm) {
    Packet move;
    std::tie(move.dx, move.dy, move.timestamp) = std::tuple(1.0f, -2.0f, 0x1'0403'0201); // wider than 32 bits
    const Packet::Datagram bytes = move.encodeDatagram().value();
    EXPECT_EQ(bytes, (Packet::Datagram{1, 0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0, 1, 2, 3, 4}));
    // The move's bytes under another type byte, or cut or lengthened.
    const auto typed = [&bytes](std::uint8_t type, std::size_t size = Packet::datagramSize) {
        std::vector<std::uint8_t> changed(bytes.begin(), bytes.end());
        changed[0] = type;
        changed.resize(size, 9);
        return changed;
    };
    const std::string stamp = R"("timestamp":67305985})";
    const std::pair<std::vector<std::uint8_t>, std::string> rows[] = {
        {typed(1), R"({"kind":"move","dx":1,"dy":-2,)" + stamp},
        {typed(2), R"({"kind":"scroll","scrollX":1,"scrollY":-2,)" + stamp},
        {typed(3), R"({"kind":"click","button":0,)" + stamp},
        {typed(4), R"({"kind":"click","button":1,)" + stamp},
        {typed(5), R"({"kind":"down","button":0,)" + stamp},
        {typed(6), R"({"kind":"up","button":0,)" + stamp},
        {typed(7), R"({"kind":"down","button":1,)" + stamp},
        {typed(8), R"({"kind":"up","button":1,)" + stamp},
        {typed(1, 16), R"({"kind":"move","dx":1,"dy":-2,)" + stamp},
        {typed(1, 12), ""},
        {typed(0), ""},
        {typed(9), ""},
    };
    for (const auto& [datagram, expected] : rows) {
        const auto decoded = Packet::decodeDatagram(datagram);
        EXPECT_EQ(reencoded(decoded), expected) << int(datagram[0]) << " of " << datagram.size();
        if (decoded) {
            EXPECT_EQ(Packet::decodeDatagram(decoded->encodeDatagram().value()), decoded) << int(datagram[0]);
        }
    }
    const Packet unsent[] = {Packet::decodeJson(R"({"kind":"click","button":2,"timestamp":0})").value(),
                             Packet::decodeJson(R"({"kind":"keyDown","keyCode":8,"timestamp":0})").value()};
    for (const Packet& packet : unsent)
        EXPECT_EQ(packet.encodeDatagram(), std::nullopt) << rawValue(packet.kind);
}

TEST(Utf8, StrictValidation) {
    const std::pair<std::string, bool> rows[] = {
        {"", true},
        {"a\0b"s, true},
        {"\xC2\x80\xDF\xBF", true},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", true},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},
        {"abcdefgh\xC3\xA7", true},
        {"\x80", false},
        {"\xC0\x80", false},         // overlong
        {"\xE0\x9F\xBF", false},     // overlong
        {"\xF0\x8F\xBF\xBF", false}, // overlong
        {"\xED\xA0\x80", false},     // surrogate
        {"\xF4\x90\x80\x80", false}, // above U+10FFFF
        {"\xFF", false},
        {"\xE2\x82", false},
        {"\xE2\x82"
         "A",
         false},
        {"abcdefgh\xE2\x82", false},
        {"abc\xFF"
         "defgh",
         false},
    };
    for (const auto& [bytes, valid] : rows)
        EXPECT_EQ(isValidUtf8(bytes), valid) << ::testing::PrintToString(bytes);
}

} // namespace
} // namespace vemdo

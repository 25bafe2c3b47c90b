// SPDX-License-Identifier: MIT
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace vemdo {
namespace {

using namespace std::string_literals;

Packet make(Kind kind, std::uint64_t timestamp = 0) {
    Packet packet;
    packet.kind = kind;
    packet.timestamp = timestamp;
    return packet;
}

template <typename F> Packet with(Packet packet, F&& change) {
    change(packet);
    return packet;
}

std::uint32_t bitsOf(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// Stricter than operator==: a float must keep its sign of zero through a round trip, too.
void expectIdentical(const Packet& actual, const Packet& expected) {
    EXPECT_EQ(actual, expected);
    const auto sameBits = [](const std::optional<float>& a, const std::optional<float>& b) {
        return a.has_value() == b.has_value() && (!a || bitsOf(*a) == bitsOf(*b));
    };
    EXPECT_TRUE(sameBits(actual.dx, expected.dx));
    EXPECT_TRUE(sameBits(actual.dy, expected.dy));
    EXPECT_TRUE(sameBits(actual.scrollX, expected.scrollX));
    EXPECT_TRUE(sameBits(actual.scrollY, expected.scrollY));
    EXPECT_TRUE(sameBits(actual.gestureProgress, expected.gestureProgress));
}

// ---------------------------------------------------------------------------------------------------------
// JSON decoding: accepted messages

struct AcceptCase {
    const char* name;
    std::string json;
    Packet expected;
};

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const AcceptCase& row, std::ostream* out) {
    *out << row.name;
}

class DecodeAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(DecodeAccepts, yieldsExpectedPacket) {
    const auto decoded = Packet::decodeJson(GetParam().json);
    ASSERT_TRUE(decoded.has_value()) << GetParam().json;
    expectIdentical(*decoded, GetParam().expected);
}

const std::string deepArray = std::string(100000, '[') + std::string(100000, ']');

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeAccepts,
    ::testing::Values(
        AcceptCase{"minimalMove", R"({"kind":"move","timestamp":0})", make(Kind::move)},
        AcceptCase{"nullIsAbsent",
                   R"({"kind":"move","timestamp":0,"dx":null,"dy":null,"text":null,"button":null,"success":null})",
                   make(Kind::move)},
        AcceptCase{"moveWithDeltas", R"({"kind":"move","dx":1.5,"dy":-2,"timestamp":1700000000123})",
                   with(make(Kind::move, 1700000000123), [](Packet& p) { p.dx = 1.5f, p.dy = -2.0f; })},
        AcceptCase{"floatRoundsToNearestSingle", R"({"kind":"scroll","scrollX":0.1,"scrollY":1E2,"timestamp":0})",
                   with(make(Kind::scroll), [](Packet& p) { p.scrollX = 0.1f, p.scrollY = 100.0f; })},
        AcceptCase{"largestFloat", R"({"kind":"move","dx":3.4028235e38,"dy":-3.4028235e+38,"timestamp":0})",
                   with(make(Kind::move),
                        [](Packet& p) {
                            p.dx = std::numeric_limits<float>::max();
                            p.dy = -std::numeric_limits<float>::max();
                        })},
        AcceptCase{"tinyFloatsBecomeSignedZero", R"({"kind":"move","dx":1e-50,"dy":-1e-50,"timestamp":0})",
                   with(make(Kind::move), [](Packet& p) { p.dx = 0.0f, p.dy = -0.0f; })},
        AcceptCase{"smallestSubnormal", R"({"kind":"move","dx":1e-45,"timestamp":0})",
                   with(make(Kind::move), [](Packet& p) { p.dx = std::numeric_limits<float>::denorm_min(); })},
        AcceptCase{"buttonOneIsRight", R"({"kind":"click","button":1,"timestamp":0})",
                   with(make(Kind::click), [](Packet& p) { p.button = MouseButton::right; })},
        AcceptCase{"buttonWholeFloat", R"({"kind":"down","button":2.0,"timestamp":0})",
                   with(make(Kind::down), [](Packet& p) { p.button = MouseButton::middle; })},
        AcceptCase{"buttonNegativeZero", R"({"kind":"up","button":-0,"timestamp":0})",
                   with(make(Kind::up), [](Packet& p) { p.button = MouseButton::left; })},
        AcceptCase{"keyCodeMax", R"({"kind":"keyDown","keyCode":65535,"timestamp":0})",
                   with(make(Kind::keyDown), [](Packet& p) { p.keyCode = 65535; })},
        AcceptCase{"keyCodeSpelledWithExponent", R"({"kind":"keyUp","keyCode":0.55e2,"timestamp":0})",
                   with(make(Kind::keyUp), [](Packet& p) { p.keyCode = 55; })},
        AcceptCase{"keyCodeTrailingZeros", R"({"kind":"keyUp","keyCode":5.000,"timestamp":0})",
                   with(make(Kind::keyUp), [](Packet& p) { p.keyCode = 5; })},
        AcceptCase{"timestampMax", R"({"kind":"move","timestamp":18446744073709551615})",
                   make(Kind::move, std::numeric_limits<std::uint64_t>::max())},
        AcceptCase{"timestampMaxWithFraction", R"({"kind":"move","timestamp":18446744073709551615.0})",
                   make(Kind::move, std::numeric_limits<std::uint64_t>::max())},
        AcceptCase{"timestampMaxWithExponent", R"({"kind":"move","timestamp":1.8446744073709551615e19})",
                   make(Kind::move, std::numeric_limits<std::uint64_t>::max())},
        // Through a double this would round to 2^53.
        AcceptCase{"timestampBeyondDoublePrecision", R"({"kind":"move","timestamp":9007199254740993.0})",
                   make(Kind::move, 9007199254740993ULL)},
        AcceptCase{"timestampExponentOnly", R"({"kind":"move","timestamp":1e19})",
                   make(Kind::move, 10000000000000000000ULL)},
        AcceptCase{"timestampZeroWithHugeExponent", R"({"kind":"move","timestamp":0.0e-999999999999999999})",
                   make(Kind::move)},
        AcceptCase{
            "fingerCountExtremes", R"({"kind":"gestureEnd","fingerCount":-9223372036854775808,"timestamp":0})",
            with(make(Kind::gestureEnd), [](Packet& p) { p.fingerCount = std::numeric_limits<std::int64_t>::min(); })},
        AcceptCase{
            "fingerCountMax", R"({"kind":"gestureEnd","fingerCount":9223372036854775807,"timestamp":0})",
            with(make(Kind::gestureEnd), [](Packet& p) { p.fingerCount = std::numeric_limits<std::int64_t>::max(); })},
        AcceptCase{"gestureUpdate",
                   R"({"kind":"gestureUpdate","gestureType":"swipeUp","gestureProgress":0.5,"fingerCount":3,)"
                   R"("timestamp":7})",
                   with(make(Kind::gestureUpdate, 7),
                        [](Packet& p) {
                            p.gestureType = GestureType::swipeUp;
                            p.gestureProgress = 0.5f;
                            p.fingerCount = 3;
                        })},
        AcceptCase{"unknownKeysAnyValue",
                   R"({"extra":[1,{"a":[null]}],"obj":{"kind":"nope","timestamp":-1},"n":1e300,"s":"x",)"
                   R"("b":true,"z":null,"kind":"auth","extra":"again","timestamp":1,"KIND":5})",
                   make(Kind::auth, 1)},
        AcceptCase{"deepNestingUnderUnknownKey", R"({"kind":"move","timestamp":0,"deep":)" + deepArray + "}",
                   make(Kind::move)},
        AcceptCase{"escapesInStrings", R"({"kind":"text","text":"a\nb\"\\\/\t\u00e9\ud83d\ude00\u0000","timestamp":0})",
                   with(make(Kind::text), [](Packet& p) { p.text = "a\nb\"\\/\t\xC3\xA9\xF0\x9F\x98\x80\0"s; })},
        AcceptCase{"rawUtf8InStrings",
                   "{\"kind\":\"text\",\"text\":\"\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80\",\"timestamp\":0}",
                   with(make(Kind::text), [](Packet& p) { p.text = "\xC3\xA7\xE2\x82\xAC\xF0\x9F\x98\x80"; })},
        AcceptCase{"escapedKeyName", R"({"\u006bind":"move","timestamp":0})", make(Kind::move)},
        AcceptCase{"surroundingWhiteSpace", " \t\r\n{ \"kind\" : \"move\" ,\n \"timestamp\" : 0 }\r\n \t",
                   make(Kind::move)},
        AcceptCase{"pairRequest", R"({"kind":"pairRequest","deviceID":"Phone-1","pairingCode":"123456","timestamp":3})",
                   with(make(Kind::pairRequest, 3),
                        [](Packet& p) {
                            p.deviceID = "Phone-1";
                            p.pairingCode = "123456";
                        })},
        AcceptCase{"serverReplyFields",
                   R"({"kind":"pairResponse","success":false,"message":"Hatal\u0131","token":"","timestamp":3})",
                   with(make(Kind::pairResponse, 3),
                        [](Packet& p) {
                            p.success = false;
                            p.message = "Hatal\xC4\xB1";
                            p.token = "";
                        })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeKinds, everyRawStringDecodesToItsCase) {
    const std::vector<std::pair<std::string, Kind>> kinds = {
        {"move", Kind::move},
        {"scroll", Kind::scroll},
        {"click", Kind::click},
        {"down", Kind::down},
        {"up", Kind::up},
        {"keyDown", Kind::keyDown},
        {"keyUp", Kind::keyUp},
        {"text", Kind::text},
        {"pairRequest", Kind::pairRequest},
        {"pairResponse", Kind::pairResponse},
        {"auth", Kind::auth},
        {"gestureBegin", Kind::gestureBegin},
        {"gestureUpdate", Kind::gestureUpdate},
        {"gestureEnd", Kind::gestureEnd},
    };
    for (const auto& [raw, kind] : kinds) {
        const auto decoded = Packet::decodeJson(R"({"kind":")" + raw + R"(","timestamp":0})");
        ASSERT_TRUE(decoded) << raw;
        EXPECT_EQ(decoded->kind, kind) << raw;
        EXPECT_EQ(rawValue(kind), raw);
    }
    const std::vector<std::pair<std::string, GestureType>> types = {{"swipeLeft", GestureType::swipeLeft},
                                                                    {"swipeRight", GestureType::swipeRight},
                                                                    {"swipeUp", GestureType::swipeUp},
                                                                    {"swipeDown", GestureType::swipeDown}};
    for (const auto& [raw, type] : types) {
        const auto decoded =
            Packet::decodeJson(R"({"kind":"gestureBegin","gestureType":")" + raw + R"(","timestamp":0})");
        ASSERT_TRUE(decoded) << raw;
        EXPECT_EQ(decoded->gestureType, type) << raw;
    }
}

// ---------------------------------------------------------------------------------------------------------
// JSON decoding: refused messages

struct RejectCase {
    const char* name;
    std::string json;
};

void PrintTo(const RejectCase& row, std::ostream* out) {
    *out << row.name;
}

class DecodeRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(DecodeRejects, yieldsNoPacket) {
    EXPECT_FALSE(Packet::decodeJson(GetParam().json).has_value()) << GetParam().json;
}

// Wraps one extra member into an otherwise valid move message.
std::string moveWith(const std::string& member) {
    return R"({"kind":"move","timestamp":0,)" + member + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeRejects,
    ::testing::Values(
        // Not a single object
        RejectCase{"empty", ""}, RejectCase{"whiteSpaceOnly", " \n"}, RejectCase{"null", "null"},
        RejectCase{"array", R"([{"kind":"move","timestamp":0}])"}, RejectCase{"string", R"("move")"},
        RejectCase{"number", "1"}, RejectCase{"truncated", R"({"kind":"move","timestamp":0)"},
        RejectCase{"trailingGarbage", R"({"kind":"move","timestamp":0} x)"},
        RejectCase{"secondObject", R"({"kind":"move","timestamp":0}{})"},
        RejectCase{"trailingNul", "{\"kind\":\"move\",\"timestamp\":0}\0"s},
        RejectCase{"leadingNul", "\0{\"kind\":\"move\",\"timestamp\":0}"s},
        RejectCase{"byteOrderMark", "\xEF\xBB\xBF{\"kind\":\"move\",\"timestamp\":0}"},
        RejectCase{"trailingComma", R"({"kind":"move","timestamp":0,})"},
        RejectCase{"singleQuotes", R"({'kind':'move','timestamp':0})"},
        RejectCase{"comment", R"({"kind":"move",/*x*/"timestamp":0})"},
        RejectCase{"unterminatedDeepNesting", R"({"kind":"move","timestamp":0,"deep":)" + std::string(100000, '[')},
        // kind
        RejectCase{"kindMissing", R"({"timestamp":0})"}, RejectCase{"kindNull", R"({"kind":null,"timestamp":0})"},
        RejectCase{"kindCase", R"({"kind":"Move","timestamp":0})"},
        RejectCase{"kindUpperCase", R"({"kind":"KEYDOWN","timestamp":0})"},
        RejectCase{"kindUnknown", R"({"kind":"jump","timestamp":0})"},
        RejectCase{"kindNumber", R"({"kind":0,"timestamp":0})"},
        RejectCase{"kindArray", R"({"kind":["move"],"timestamp":0})"},
        RejectCase{"kindTrailingSpace", R"({"kind":"move ","timestamp":0})"},
        // timestamp
        RejectCase{"timestampMissing", R"({"kind":"move"})"},
        RejectCase{"timestampNull", R"({"kind":"move","timestamp":null})"},
        RejectCase{"timestampNegative", R"({"kind":"move","timestamp":-1})"},
        RejectCase{"timestampFraction", R"({"kind":"move","timestamp":1.5})"},
        RejectCase{"timestampTinyFraction", R"({"kind":"move","timestamp":1.0000000000000000000001})"},
        RejectCase{"timestampString", R"({"kind":"move","timestamp":"1"})"},
        RejectCase{"timestampBool", R"({"kind":"move","timestamp":true})"},
        RejectCase{"timestampTwoToThe64", R"({"kind":"move","timestamp":18446744073709551616})"},
        RejectCase{"timestampTwoToThe64Exponent", R"({"kind":"move","timestamp":1.8446744073709551616e19})"},
        RejectCase{"timestampHuge", R"({"kind":"move","timestamp":1e20})"},
        RejectCase{"timestampNegativeExponent", R"({"kind":"move","timestamp":1e-1})"},
        // button, keyCode, fingerCount
        RejectCase{"buttonThree", moveWith(R"("button":3)")},
        RejectCase{"buttonString", moveWith(R"("button":"left")")},
        RejectCase{"buttonNegative", moveWith(R"("button":-1)")},
        RejectCase{"buttonFraction", moveWith(R"("button":0.5)")}, RejectCase{"button256", moveWith(R"("button":256)")},
        RejectCase{"keyCodeTooBig", moveWith(R"("keyCode":65536)")},
        RejectCase{"keyCodeNegative", moveWith(R"("keyCode":-1)")},
        RejectCase{"keyCodeFraction", moveWith(R"("keyCode":55.5)")},
        RejectCase{"keyCodeString", moveWith(R"("keyCode":"55")")},
        RejectCase{"fingerCountTooBig", moveWith(R"("fingerCount":9223372036854775808)")},
        RejectCase{"fingerCountTooSmall", moveWith(R"("fingerCount":-9223372036854775809)")},
        RejectCase{"fingerCountFraction", moveWith(R"("fingerCount":2.5)")},
        // floats
        RejectCase{"dxString", moveWith(R"("dx":"1.5")")},
        RejectCase{"dxBeyondSingleRange", moveWith(R"("dx":3.5e38)")},
        RejectCase{"dxJustBeyondSingleRange", moveWith(R"("dx":3.40282357e38)")},
        RejectCase{"dyNegativeBeyondRange", moveWith(R"("dy":-1e39)")}, RejectCase{"dxBool", moveWith(R"("dx":true)")},
        RejectCase{"dxArray", moveWith(R"("dx":[1])")}, RejectCase{"dxObject", moveWith(R"("dx":{})")},
        RejectCase{"dxNaN", moveWith(R"("dx":NaN)")}, RejectCase{"dxInfinity", moveWith(R"("dx":Infinity)")},
        RejectCase{"gestureProgressTooBig", moveWith(R"("gestureProgress":1e300)")},
        RejectCase{"leadingZero", moveWith(R"("dx":01)")}, RejectCase{"leadingPlus", moveWith(R"("dx":+1)")},
        RejectCase{"hexNumber", moveWith(R"("dx":0x10)")}, RejectCase{"bareDot", moveWith(R"("dx":.5)")},
        // other typed fields
        RejectCase{"gestureTypeUnknown", moveWith(R"("gestureType":"pinch")")},
        RejectCase{"gestureTypeCase", moveWith(R"("gestureType":"swipeup")")},
        RejectCase{"gestureTypeNumber", moveWith(R"("gestureType":1)")},
        RejectCase{"successString", moveWith(R"("success":"true")")},
        RejectCase{"successNumber", moveWith(R"("success":1)")}, RejectCase{"textNumber", moveWith(R"("text":5)")},
        RejectCase{"tokenBool", moveWith(R"("token":true)")},
        RejectCase{"deviceIDObject", moveWith(R"("deviceID":{"id":"x"})")},
        RejectCase{"messageArray", moveWith(R"("message":["x"])")},
        // duplicates of known keys
        RejectCase{"duplicateKind", R"({"kind":"move","kind":"scroll","timestamp":0})"},
        RejectCase{"duplicateTimestamp", R"({"kind":"move","timestamp":0,"timestamp":1})"},
        RejectCase{"duplicateAfterNull", moveWith(R"("dx":null,"dx":1)")},
        RejectCase{"duplicateToken", moveWith(R"("token":"a","token":"b")")},
        // UTF-8
        RejectCase{"invalidByteInText", moveWith("\"text\":\"a\xFF\"")},
        RejectCase{"overlongInText", moveWith("\"text\":\"\xC0\xAF\"")},
        RejectCase{"rawSurrogateInText", moveWith("\"text\":\"\xED\xA0\x80\"")},
        RejectCase{"truncatedSequenceInText", moveWith("\"text\":\"\xE2\x82\"")},
        RejectCase{"loneHighSurrogateEscape", moveWith(R"("text":"\ud800")")},
        RejectCase{"loneLowSurrogateEscape", moveWith(R"("text":"\udc00")")},
        RejectCase{"reversedSurrogateEscapes", moveWith(R"("text":"\ude00\ud83d")")},
        RejectCase{"invalidUtf8UnderUnknownKey", moveWith("\"other\":[\"\xFF\"]")},
        RejectCase{"loneSurrogateInUnknownKeyName", moveWith(R"("\udc00":1)")},
        RejectCase{"rawControlCharacter", moveWith("\"text\":\"a\nb\"")}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------------
// JSON encoding

struct EncodeCase {
    const char* name;
    Packet packet;
    std::string expected;
};

void PrintTo(const EncodeCase& row, std::ostream* out) {
    *out << row.name;
}

class EncodeExact : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeExact, writesCompactTextWithAbsentFieldsLeftOut) {
    const auto encoded = GetParam().packet.encodeJson();
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(*encoded, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncodeExact,
    ::testing::Values(
        EncodeCase{"failedPairingReplyHasNoToken",
                   with(make(Kind::pairResponse, 1700000000000),
                        [](Packet& p) {
                            p.success = false;
                            p.message = "Ge\xC3\xA7\x65rsiz kod";
                        }),
                   "{\"kind\":\"pairResponse\",\"timestamp\":1700000000000,\"success\":false,\"message\":"
                   "\"Ge\xC3\xA7\x65rsiz kod\"}"},
        EncodeCase{"successfulPairingReplyHasToken",
                   with(make(Kind::pairResponse, 5),
                        [](Packet& p) {
                            p.success = true;
                            p.token = "ab12";
                            p.message = "ok";
                        }),
                   R"({"kind":"pairResponse","timestamp":5,"token":"ab12","success":true,"message":"ok"})"},
        EncodeCase{"authReply", with(make(Kind::auth, 9), [](Packet& p) { p.success = true; }),
                   R"({"kind":"auth","timestamp":9,"success":true})"},
        EncodeCase{"shortestFloatText",
                   with(make(Kind::move),
                        [](Packet& p) {
                            p.dx = 0.1f;
                            p.dy = -0.0f;
                            p.scrollX = std::numeric_limits<float>::max();
                            p.scrollY = 3.0f;
                        }),
                   R"({"kind":"move","dx":0.1,"dy":-0,"scrollX":3.4028235e+38,"scrollY":3,"timestamp":0})"},
        EncodeCase{"integerExtremes",
                   with(make(Kind::gestureEnd, std::numeric_limits<std::uint64_t>::max()),
                        [](Packet& p) {
                            p.fingerCount = std::numeric_limits<std::int64_t>::min();
                            p.keyCode = 65535;
                            p.button = MouseButton::middle;
                            p.gestureType = GestureType::swipeDown;
                        }),
                   R"({"kind":"gestureEnd","button":2,"keyCode":65535,"timestamp":18446744073709551615,)"
                   R"("gestureType":"swipeDown","fingerCount":-9223372036854775808})"},
        EncodeCase{"controlCharactersEscaped", with(make(Kind::text), [](Packet& p) { p.text = "a\nb\r\"\\\x01\0"s; }),
                   R"({"kind":"text","text":"a\nb\r\"\\\u0001\u0000","timestamp":0})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EncodeFailures, nonFiniteFloatsAndMalformedTextCannotBeCarried) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<const char*, Packet>> cases = {
        {"dxNaN", with(make(Kind::move), [&](Packet& p) { p.dx = nan; })},
        {"dyInfinity", with(make(Kind::move), [&](Packet& p) { p.dy = inf; })},
        {"scrollXNegativeInfinity", with(make(Kind::scroll), [&](Packet& p) { p.scrollX = -inf; })},
        {"scrollYNaN", with(make(Kind::scroll), [&](Packet& p) { p.scrollY = nan; })},
        {"gestureProgressNaN", with(make(Kind::gestureUpdate), [&](Packet& p) { p.gestureProgress = nan; })},
        {"messageNotUtf8", with(make(Kind::auth), [](Packet& p) { p.message = "\xFF"; })},
        {"tokenSurrogate", with(make(Kind::auth), [](Packet& p) { p.token = "\xED\xB0\x80"; })},
    };
    for (const auto& [name, packet] : cases) {
        EXPECT_FALSE(packet.encodeJson().has_value()) << name;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Compact datagrams

std::vector<std::uint8_t> datagram(std::uint8_t type, std::uint32_t a, std::uint32_t b, std::uint32_t stamp,
                                   std::size_t size = 13) {
    std::vector<std::uint8_t> bytes(std::max<std::size_t>(size, 13), 0xEE);
    bytes[0] = type;
    for (int i = 0; i < 4; ++i) {
        bytes[1 + i] = static_cast<std::uint8_t>(a >> (8 * i));
        bytes[5 + i] = static_cast<std::uint8_t>(b >> (8 * i));
        bytes[9 + i] = static_cast<std::uint8_t>(stamp >> (8 * i));
    }
    bytes.resize(size);
    return bytes;
}

struct DatagramCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::optional<Packet> expected;
};

void PrintTo(const DatagramCase& row, std::ostream* out) {
    *out << row.name;
}

class DatagramDecode : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(DatagramDecode, matchesTable) {
    const auto decoded = Packet::decodeDatagram(GetParam().bytes);
    ASSERT_EQ(decoded.has_value(), GetParam().expected.has_value());
    if (decoded) {
        expectIdentical(*decoded, *GetParam().expected);
    }
}

Packet buttonPacket(Kind kind, MouseButton button, std::uint64_t timestamp) {
    return with(make(kind, timestamp), [&](Packet& p) { p.button = button; });
}

INSTANTIATE_TEST_SUITE_P(
    Table, DatagramDecode,
    ::testing::Values(DatagramCase{"empty", {}, std::nullopt},
                      DatagramCase{"twelveBytes", datagram(1, bitsOf(1), bitsOf(1), 0, 12), std::nullopt},
                      DatagramCase{"typeZero", datagram(0, 0, 0, 0), std::nullopt},
                      DatagramCase{"typeNine", datagram(9, 0, 0, 0), std::nullopt},
                      DatagramCase{"type255", datagram(255, 0, 0, 0), std::nullopt},
                      DatagramCase{"move", datagram(1, bitsOf(3.0f), bitsOf(-2.0f), 0x04030201),
                                   with(make(Kind::move, 0x04030201),
                                        [](Packet& p) {
                                            p.dx = 3.0f;
                                            p.dy = -2.0f;
                                        })},
                      DatagramCase{"scroll", datagram(2, bitsOf(1.5f), bitsOf(-3.0f), 42),
                                   with(make(Kind::scroll, 42),
                                        [](Packet& p) {
                                            p.scrollX = 1.5f;
                                            p.scrollY = -3.0f;
                                        })},
                      DatagramCase{"clickLeft", datagram(3, bitsOf(9.0f), bitsOf(9.0f), 1),
                                   buttonPacket(Kind::click, MouseButton::left, 1)},
                      DatagramCase{"clickRight", datagram(4, 0, 0, 2),
                                   buttonPacket(Kind::click, MouseButton::right, 2)},
                      DatagramCase{"downLeft", datagram(5, 0, 0, 3), buttonPacket(Kind::down, MouseButton::left, 3)},
                      DatagramCase{"upLeft", datagram(6, 0, 0, 4), buttonPacket(Kind::up, MouseButton::left, 4)},
                      DatagramCase{"downRight", datagram(7, 0, 0, 5), buttonPacket(Kind::down, MouseButton::right, 5)},
                      DatagramCase{"upRight", datagram(8, 0, 0, 0xFFFFFFFF),
                                   buttonPacket(Kind::up, MouseButton::right, 0xFFFFFFFFULL)},
                      DatagramCase{"sixteenBytesReadsFirstThirteen", datagram(1, bitsOf(0.25f), bitsOf(4.0f), 7, 16),
                                   with(make(Kind::move, 7),
                                        [](Packet& p) {
                                            p.dx = 0.25f;
                                            p.dy = 4.0f;
                                        })},
                      DatagramCase{"negativeZeroKept", datagram(1, 0x80000000, 0, 0),
                                   with(make(Kind::move),
                                        [](Packet& p) {
                                            p.dx = -0.0f;
                                            p.dy = 0.0f;
                                        })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DatagramDecode, nanAndInfinityArriveBitForBit) {
    const std::uint32_t nanBits = 0x7FC01234;
    const std::uint32_t infBits = 0xFF800000;
    const auto decoded = Packet::decodeDatagram(datagram(1, nanBits, infBits, 0));
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(decoded->dx && decoded->dy);
    EXPECT_EQ(bitsOf(*decoded->dx), nanBits);
    EXPECT_EQ(bitsOf(*decoded->dy), infBits);
    EXPECT_EQ(*decoded, *decoded);
    // Another NaN payload is a different value.
    auto other = *decoded;
    other.dx = std::bit_cast<float>(0x7FC00001U);
    EXPECT_NE(other, *decoded);
}

// ---------------------------------------------------------------------------------------------------------
// Round trip: every decodable object encodes to text that decodes to the same packet.

class PacketGenerator {
public:
    explicit PacketGenerator(std::uint64_t seed) : m_random(seed) {}

    Packet next() {
        Packet p;
        p.kind = static_cast<Kind>(below(14));
        p.timestamp = pick<std::uint64_t>(
            {0, 1, 1700000000000ULL, std::numeric_limits<std::uint64_t>::max(), 9007199254740993ULL, m_random()});
        maybe(p.dx, [&] { return finiteFloat(); });
        maybe(p.dy, [&] { return finiteFloat(); });
        maybe(p.scrollX, [&] { return finiteFloat(); });
        maybe(p.scrollY, [&] { return finiteFloat(); });
        maybe(p.button, [&] { return static_cast<MouseButton>(below(3)); });
        maybe(p.keyCode, [&] { return static_cast<std::uint16_t>(m_random()); });
        maybe(p.text, [&] { return text(); });
        maybe(p.gestureType, [&] { return static_cast<GestureType>(below(4)); });
        maybe(p.gestureProgress, [&] { return finiteFloat(); });
        maybe(p.fingerCount, [&] {
            return pick<std::int64_t>({0, 3, -1, std::numeric_limits<std::int64_t>::min(),
                                       std::numeric_limits<std::int64_t>::max(),
                                       static_cast<std::int64_t>(m_random())});
        });
        maybe(p.deviceID, [&] { return text(); });
        maybe(p.pairingCode, [&] { return text(); });
        maybe(p.token, [&] { return text(); });
        maybe(p.success, [&] { return below(2) == 1; });
        maybe(p.message, [&] { return text(); });
        return p;
    }

    std::uint64_t below(std::uint64_t n) { return m_random() % n; }

private:
    template <typename T, typename F> void maybe(std::optional<T>& field, F&& value) {
        if (below(2) == 0) {
            field = value();
        }
    }

    template <typename T> T pick(std::initializer_list<T> values) { return *(values.begin() + below(values.size())); }

    float finiteFloat() {
        switch (below(4)) {
        case 0:
            return pick<float>({0.0f, -0.0f, 0.1f, 1.0f, -1.5f, std::numeric_limits<float>::max(),
                                std::numeric_limits<float>::lowest(), std::numeric_limits<float>::min(),
                                std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min()});
        case 1:
            return static_cast<float>(static_cast<int>(below(2001)) - 1000) / 8.0f;
        default: {
            float value;
            do {
                value = std::bit_cast<float>(static_cast<std::uint32_t>(m_random()));
            } while (!std::isfinite(value));
            return value;
        }
        }
    }

    std::string text() {
        static const std::vector<std::string> pieces = {"a",
                                                        "Z",
                                                        "0",
                                                        " ",
                                                        "\"",
                                                        "\\",
                                                        "/",
                                                        "\n",
                                                        "\r",
                                                        "\t",
                                                        "\x01",
                                                        "\x1F",
                                                        "\x7F",
                                                        std::string(1, '\0'),
                                                        "\xC3\xA7",
                                                        "\xC4\xB1",
                                                        "\xE2\x82\xAC",
                                                        "\xE2\x80\xA8",
                                                        "\xEF\xBB\xBF",
                                                        "\xF0\x9F\x98\x80",
                                                        "\xF4\x8F\xBF\xBF",
                                                        "{",
                                                        "}",
                                                        "[",
                                                        ",",
                                                        ":"};
        std::string out;
        const auto length = below(12);
        for (std::uint64_t i = 0; i < length; ++i) {
            out += pieces[below(pieces.size())];
        }
        return out;
    }

    std::mt19937_64 m_random;
};

TEST(RoundTrip, generatedPacketsSurviveEncodeAndDecode) {
    PacketGenerator generator(0x5eed);
    for (int i = 0; i < 20000; ++i) {
        const Packet packet = generator.next();
        const auto encoded = packet.encodeJson();
        ASSERT_TRUE(encoded) << "iteration " << i;
        ASSERT_EQ(encoded->find('\n'), std::string::npos) << *encoded;
        const auto decoded = Packet::decodeJson(*encoded);
        ASSERT_TRUE(decoded) << *encoded;
        expectIdentical(*decoded, packet);
        if (::testing::Test::HasFailure()) {
            FAIL() << *encoded;
        }
    }
}

// Other spellings of the same values, as another sender may write them, decode to the same packet, and
// re-encoding that packet gives text that decodes to it again.
std::string respell(const std::string& compact, PacketGenerator& generator) {
    std::string out;
    bool inString = false;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        const char c = compact[i];
        out += c;
        if (inString) {
            if (c == '\\') {
                out += compact[++i];
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == ',' || c == ':' || c == '{') {
            out += std::string(generator.below(3), ' ');
            if (c == ',' && generator.below(4) == 0) {
                out += R"("unknown":[{"kind":"nope"},-1.5e3,null,true,"\ud83d\ude00"],)";
            }
        }
    }
    return " " + out + "\r\n";
}

std::string spellIntegerVariant(std::uint64_t value, PacketGenerator& generator) {
    std::string digits = std::to_string(value);
    switch (generator.below(3)) {
    case 0:
        return digits + ".0";
    case 1:
        if (digits.size() == 1) {
            return digits + "e0";
        }
        return digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(digits.size() - 1);
    default:
        return value == 0 ? "0.0e5" : digits + "0e-1";
    }
}

TEST(RoundTrip, otherSpellingsDecodeToTheSamePacket) {
    PacketGenerator generator(0xfeed);
    for (int i = 0; i < 5000; ++i) {
        Packet packet = generator.next();
        packet.dx.reset();
        packet.dy.reset();
        packet.scrollX.reset();
        packet.scrollY.reset();
        packet.gestureProgress.reset();
        packet.fingerCount.reset();
        const auto encoded = packet.encodeJson();
        ASSERT_TRUE(encoded);
        // Swap the integer texts of timestamp and keyCode for whole-number spellings with fraction or exponent.
        std::string text = *encoded;
        const auto replace = [&](const std::string& key, std::uint64_t value) {
            const std::string needle = "\"" + key + "\":" + std::to_string(value);
            const auto at = text.find(needle);
            ASSERT_NE(at, std::string::npos);
            text.replace(at, needle.size(), "\"" + key + "\":" + spellIntegerVariant(value, generator));
        };
        replace("timestamp", packet.timestamp);
        if (packet.keyCode) {
            replace("keyCode", *packet.keyCode);
        }
        const std::string variant = respell(text, generator);
        const auto decoded = Packet::decodeJson(variant);
        ASSERT_TRUE(decoded) << variant;
        expectIdentical(*decoded, packet);
        const auto again = decoded->encodeJson();
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *encoded);
    }
}

} // namespace
} // namespace vemdo

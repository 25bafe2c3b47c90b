// SPDX-License-Identifier: MIT
#include "protocol/packet.h"

#include "protocol/utf8.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace vemdo {

namespace {

constexpr std::array<std::string_view, 14> kindRaw = {
    "move", "scroll",      "click",        "down", "up",           "keyDown",       "keyUp",
    "text", "pairRequest", "pairResponse", "auth", "gestureBegin", "gestureUpdate", "gestureEnd",
};

constexpr std::array<std::string_view, 4> gestureTypeRaw = {"swipeLeft", "swipeRight", "swipeUp", "swipeDown"};

// Indices into CodingKeys::all.
enum Field : int {
    fieldKind,
    fieldDx,
    fieldDy,
    fieldScrollX,
    fieldScrollY,
    fieldButton,
    fieldKeyCode,
    fieldText,
    fieldTimestamp,
    fieldGestureType,
    fieldGestureProgress,
    fieldFingerCount,
    fieldDeviceID,
    fieldPairingCode,
    fieldToken,
    fieldSuccess,
    fieldMessage,
    noField = -1,
};

static_assert(CodingKeys::all[fieldMessage] == "message");
static_assert(CodingKeys::all[fieldTimestamp] == "timestamp");

int fieldFromKey(std::string_view key) {
    for (std::size_t i = 0; i < CodingKeys::all.size(); ++i) {
        if (CodingKeys::all[i] == key) {
            return static_cast<int>(i);
        }
    }
    return noField;
}

// A JSON number exactly as written. The grammar has already been checked by the parser, so only the
// parts are located here; the value is judged from the digits, never through a double, so that a
// 64-bit integer written as 18446744073709551615.0 or 1.8446744073709551615e19 keeps every digit.
struct DecimalText {
    bool negative = false;
    std::string_view intDigits;
    std::string_view fracDigits;
    long long exponent = 0;

    explicit DecimalText(std::string_view text) {
        std::size_t i = 0;
        if (i < text.size() && text[i] == '-') {
            negative = true;
            ++i;
        }
        const std::size_t intStart = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        intDigits = text.substr(intStart, i - intStart);
        if (i < text.size() && text[i] == '.') {
            const std::size_t fracStart = ++i;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                ++i;
            }
            fracDigits = text.substr(fracStart, i - fracStart);
        }
        if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
            ++i;
            bool exponentNegative = false;
            if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
                exponentNegative = text[i] == '-';
                ++i;
            }
            // Saturating keeps absurd exponents harmless; anything this large is out of every range anyway.
            constexpr long long saturation = 1'000'000'000'000LL;
            for (; i < text.size(); ++i) {
                exponent = std::min(exponent * 10 + (text[i] - '0'), saturation);
            }
            if (exponentNegative) {
                exponent = -exponent;
            }
        }
    }

    std::size_t digitCount() const { return intDigits.size() + fracDigits.size(); }
    char digit(std::size_t i) const { return i < intDigits.size() ? intDigits[i] : fracDigits[i - intDigits.size()]; }
    std::size_t firstNonZero() const {
        std::size_t i = 0;
        while (i < digitCount() && digit(i) == '0') {
            ++i;
        }
        return i;
    }

    // The magnitude when the value is a whole number that fits 64 bits.
    std::optional<std::uint64_t> wholeMagnitude() const {
        const std::size_t count = digitCount();
        const std::size_t first = firstNonZero();
        if (first == count) {
            return 0;
        }
        std::size_t last = count;
        while (digit(last - 1) == '0') {
            --last;
        }
        const long long scale =
            exponent - static_cast<long long>(fracDigits.size()) + static_cast<long long>(count - last);
        if (scale < 0) {
            return std::nullopt; // the last significant digit lies after the decimal point
        }
        if (static_cast<long long>(last - first) + scale > 20) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = first; i < last; ++i) {
            if (__builtin_mul_overflow(value, 10U, &value) ||
                __builtin_add_overflow(value, static_cast<unsigned>(digit(i) - '0'), &value)) {
                return std::nullopt;
            }
        }
        for (long long s = 0; s < scale; ++s) {
            if (__builtin_mul_overflow(value, 10U, &value)) {
                return std::nullopt;
            }
        }
        return value;
    }

    // Power of ten of the leading significant digit; only meaningful for a non-zero value.
    long long leadingPower() const {
        return static_cast<long long>(intDigits.size()) - 1 - static_cast<long long>(firstNonZero()) + exponent;
    }
};

std::optional<std::uint64_t> unsignedWhole(std::string_view text, std::uint64_t max) {
    const DecimalText number(text);
    const auto magnitude = number.wholeMagnitude();
    if (!magnitude || *magnitude > max || (number.negative && *magnitude != 0)) {
        return std::nullopt;
    }
    return magnitude;
}

std::optional<std::int64_t> signedWhole(std::string_view text) {
    const DecimalText number(text);
    const auto magnitude = number.wholeMagnitude();
    if (!magnitude) {
        return std::nullopt;
    }
    constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!number.negative) {
        if (*magnitude > maxPositive) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(*magnitude);
    }
    if (*magnitude > maxPositive + 1) {
        return std::nullopt;
    }
    // Negating in unsigned arithmetic reaches INT64_MIN without overflow.
    return static_cast<std::int64_t>(~*magnitude + 1);
}

// Correctly rounded to single precision. A value too small for the format rounds to a signed zero, as
// any float conversion would; one whose rounding is infinite does not fit and is refused.
std::optional<float> singleFloat(std::string_view text) {
    float value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc{} && end == text.data() + text.size() && std::isfinite(value)) {
        return value;
    }
    if (error == std::errc::result_out_of_range) {
        const DecimalText number(text);
        if (number.leadingPower() < 0) {
            return number.negative ? -0.0f : 0.0f;
        }
    }
    return std::nullopt;
}

// Builds the packet while RapidJSON reads, without a document tree: only the top-level members matter,
// and the values under unknown keys are read past (their strings still have to be valid UTF-8).
//
// A key among the 17 that appears twice fails the whole message, even when one of the values is null:
// which of the two a reader honours differs between JSON libraries, and a message that means one thing
// to the phone and another here (two deviceIDs, two tokens) is safer refused. Repeated unknown keys are
// ignored like any unknown key.
class PacketHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, PacketHandler> {
public:
    // Numbers arrive as RawNumber; every other number callback of the base class lands here.
    bool Default() { return false; }

    bool Null() {
        if (!atMember()) {
            return m_depth > 1;
        }
        return m_field != fieldKind && m_field != fieldTimestamp;
    }

    bool Bool(bool value) {
        if (!atMember()) {
            return m_depth > 1;
        }
        if (m_field == fieldSuccess) {
            m_packet.success = value;
            return true;
        }
        return m_field == noField;
    }

    bool RawNumber(const char* str, rapidjson::SizeType length, bool) {
        if (!atMember()) {
            return m_depth > 1;
        }
        const std::string_view text(str, length);
        switch (m_field) {
        case fieldDx:
            return assign(m_packet.dx, singleFloat(text));
        case fieldDy:
            return assign(m_packet.dy, singleFloat(text));
        case fieldScrollX:
            return assign(m_packet.scrollX, singleFloat(text));
        case fieldScrollY:
            return assign(m_packet.scrollY, singleFloat(text));
        case fieldGestureProgress:
            return assign(m_packet.gestureProgress, singleFloat(text));
        case fieldButton: {
            const auto raw = unsignedWhole(text, 255);
            if (!raw || *raw > static_cast<std::uint64_t>(MouseButton::middle)) {
                return false;
            }
            m_packet.button = static_cast<MouseButton>(*raw);
            return true;
        }
        case fieldKeyCode: {
            const auto raw = unsignedWhole(text, 65535);
            if (!raw) {
                return false;
            }
            m_packet.keyCode = static_cast<std::uint16_t>(*raw);
            return true;
        }
        case fieldTimestamp: {
            const auto raw = unsignedWhole(text, std::numeric_limits<std::uint64_t>::max());
            if (!raw) {
                return false;
            }
            m_packet.timestamp = *raw;
            m_haveTimestamp = true;
            return true;
        }
        case fieldFingerCount:
            return assign(m_packet.fingerCount, signedWhole(text));
        case noField:
            return true;
        default:
            return false;
        }
    }

    bool String(const char* str, rapidjson::SizeType length, bool) {
        const std::string_view text(str, length);
        // Parser validation does not catch a lone low surrogate written as an escape (\udc00).
        if (!isValidUtf8(text)) {
            return false;
        }
        if (!atMember()) {
            return m_depth > 1;
        }
        switch (m_field) {
        case fieldKind: {
            const auto kind = kindFromRaw(text);
            if (!kind) {
                return false;
            }
            m_packet.kind = *kind;
            m_haveKind = true;
            return true;
        }
        case fieldGestureType:
            return assign(m_packet.gestureType, gestureTypeFromRaw(text));
        case fieldText:
            m_packet.text.emplace(text);
            return true;
        case fieldDeviceID:
            m_packet.deviceID.emplace(text);
            return true;
        case fieldPairingCode:
            m_packet.pairingCode.emplace(text);
            return true;
        case fieldToken:
            m_packet.token.emplace(text);
            return true;
        case fieldMessage:
            m_packet.message.emplace(text);
            return true;
        case noField:
            return true;
        default:
            return false;
        }
    }

    bool StartObject() {
        if (m_depth == 0) {
            m_depth = 1;
            return true;
        }
        return openNested();
    }

    bool Key(const char* str, rapidjson::SizeType length, bool) {
        const std::string_view key(str, length);
        if (!isValidUtf8(key)) {
            return false;
        }
        if (m_depth != 1) {
            return true;
        }
        m_field = fieldFromKey(key);
        if (m_field != noField) {
            const std::uint32_t bit = 1U << m_field;
            if (m_seen & bit) {
                return false;
            }
            m_seen |= bit;
        }
        return true;
    }

    bool EndObject(rapidjson::SizeType) {
        --m_depth;
        return true;
    }

    bool StartArray() {
        if (m_depth == 0) {
            return false;
        }
        return openNested();
    }

    bool EndArray(rapidjson::SizeType) {
        --m_depth;
        return true;
    }

    std::optional<Packet> result() && {
        if (!m_haveKind || !m_haveTimestamp) {
            return std::nullopt;
        }
        return std::move(m_packet);
    }

private:
    // True for a value directly inside the top-level object; a value at depth 0 is a root that is not
    // an object, and one deeper down belongs to an unknown key.
    bool atMember() const { return m_depth == 1; }

    bool openNested() {
        if (atMember() && m_field != noField) {
            return false; // no field takes an array or an object
        }
        ++m_depth;
        return true;
    }

    template <typename T> static bool assign(std::optional<T>& field, std::optional<T> value) {
        if (!value) {
            return false;
        }
        field = value;
        return true;
    }

    Packet m_packet;
    std::size_t m_depth = 0;
    int m_field = noField;
    std::uint32_t m_seen = 0;
    bool m_haveKind = false;
    bool m_haveTimestamp = false;
};

bool isJsonWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool sameFloat(const std::optional<float>& a, const std::optional<float>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    if (std::isnan(*a) || std::isnan(*b)) {
        return std::bit_cast<std::uint32_t>(*a) == std::bit_cast<std::uint32_t>(*b);
    }
    return *a == *b;
}

std::uint32_t littleEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void putLittleEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The datagram types after move (1) and scroll (2): one button message each, from type 3 on.
struct ButtonDatagram {
    Kind kind;
    MouseButton button;
};
constexpr std::array<ButtonDatagram, 6> buttonDatagrams{{
    {Kind::click, MouseButton::left},
    {Kind::click, MouseButton::right},
    {Kind::down, MouseButton::left},
    {Kind::up, MouseButton::left},
    {Kind::down, MouseButton::right},
    {Kind::up, MouseButton::right},
}};
constexpr std::uint8_t moveDatagram = 1;
constexpr std::uint8_t scrollDatagram = 2;
constexpr std::uint8_t firstButtonDatagram = 3;

} // namespace

std::string_view rawValue(Kind kind) {
    return kindRaw[static_cast<std::size_t>(kind)];
}

std::string_view rawValue(GestureType type) {
    return gestureTypeRaw[static_cast<std::size_t>(type)];
}

std::optional<Kind> kindFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kindRaw.size(); ++i) {
        if (kindRaw[i] == raw) {
            return static_cast<Kind>(i);
        }
    }
    return std::nullopt;
}

std::optional<GestureType> gestureTypeFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < gestureTypeRaw.size(); ++i) {
        if (gestureTypeRaw[i] == raw) {
            return static_cast<GestureType>(i);
        }
    }
    return std::nullopt;
}

std::optional<Packet> Packet::decodeJson(std::string_view json) {
    // Iterative parsing keeps the call stack flat however deeply a sender nests arrays; numbers arrive as
    // their text so that integers and floats are judged exactly; stopping after the root lets us refuse
    // anything but white space after it, including a NUL byte, which the stream would report as the end.
    constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                               rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseNumbersAsStringsFlag;
    rapidjson::MemoryStream stream(json.data(), json.size());
    PacketHandler handler;
    rapidjson::Reader reader;
    if (reader.Parse<flags>(stream, handler).IsError()) {
        return std::nullopt;
    }
    for (std::size_t i = stream.Tell(); i < json.size(); ++i) {
        if (!isJsonWhiteSpace(json[i])) {
            return std::nullopt;
        }
    }
    return std::move(handler).result();
}

std::optional<std::string> Packet::encodeJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    bool ok = true;
    const auto key = [&](Field field) {
        const std::string_view name = CodingKeys::all[field];
        writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    };
    const auto writeFloat = [&](Field field, const std::optional<float>& value) {
        if (!value) {
            return;
        }
        if (!std::isfinite(*value)) {
            ok = false;
            return;
        }
        // The shortest text that reads back as the same float (to_chars guarantees the round trip).
        char text[32];
        const auto [end, error] = std::to_chars(std::begin(text), std::end(text), *value);
        if (error != std::errc{}) {
            ok = false;
            return;
        }
        key(field);
        writer.RawValue(text, static_cast<std::size_t>(end - text), rapidjson::kNumberType);
    };
    const auto writeString = [&](Field field, const std::optional<std::string>& value) {
        if (!value) {
            return;
        }
        // The writer escapes control characters, so no raw line feed reaches the stream; it would pass
        // malformed UTF-8 through, which no receiver could read back.
        if (!isValidUtf8(*value) || value->size() > std::numeric_limits<rapidjson::SizeType>::max()) {
            ok = false;
            return;
        }
        key(field);
        writer.String(value->data(), static_cast<rapidjson::SizeType>(value->size()));
    };

    writer.StartObject();
    key(fieldKind);
    const std::string_view kindText = rawValue(kind);
    writer.String(kindText.data(), static_cast<rapidjson::SizeType>(kindText.size()));
    writeFloat(fieldDx, dx);
    writeFloat(fieldDy, dy);
    writeFloat(fieldScrollX, scrollX);
    writeFloat(fieldScrollY, scrollY);
    if (button) {
        key(fieldButton);
        writer.Uint(static_cast<unsigned>(*button));
    }
    if (keyCode) {
        key(fieldKeyCode);
        writer.Uint(*keyCode);
    }
    writeString(fieldText, text);
    key(fieldTimestamp);
    writer.Uint64(timestamp);
    if (gestureType) {
        key(fieldGestureType);
        const std::string_view typeText = rawValue(*gestureType);
        writer.String(typeText.data(), static_cast<rapidjson::SizeType>(typeText.size()));
    }
    writeFloat(fieldGestureProgress, gestureProgress);
    if (fingerCount) {
        key(fieldFingerCount);
        writer.Int64(*fingerCount);
    }
    writeString(fieldDeviceID, deviceID);
    writeString(fieldPairingCode, pairingCode);
    writeString(fieldToken, token);
    if (success) {
        key(fieldSuccess);
        writer.Bool(*success);
    }
    writeString(fieldMessage, message);
    writer.EndObject();
    if (!ok) {
        return std::nullopt;
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<Packet> Packet::decodeDatagram(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < datagramSize) {
        return std::nullopt;
    }
    // Unsigned wrap-around turns type 0 into 255, so one comparison rejects both ends.
    const auto index = static_cast<std::uint8_t>(bytes[0] - moveDatagram);
    if (index >= firstButtonDatagram - moveDatagram + buttonDatagrams.size()) {
        return std::nullopt;
    }
    const float a = std::bit_cast<float>(littleEndian32(bytes, 1));
    const float b = std::bit_cast<float>(littleEndian32(bytes, 5));

    Packet packet;
    packet.timestamp = littleEndian32(bytes, 9);
    if (bytes[0] == moveDatagram) {
        packet.kind = Kind::move;
        packet.dx = a;
        packet.dy = b;
    } else if (bytes[0] == scrollDatagram) {
        packet.kind = Kind::scroll;
        packet.scrollX = a;
        packet.scrollY = b;
    } else {
        const ButtonDatagram& button = buttonDatagrams[bytes[0] - firstButtonDatagram];
        packet.kind = button.kind;
        packet.button = button.button;
    }
    return packet;
}

std::optional<Packet::Datagram> Packet::encodeDatagram() const {
    std::uint8_t type = 0;
    float a = 0;
    float b = 0;
    if (kind == Kind::move) {
        type = moveDatagram;
        a = dx.value_or(0);
        b = dy.value_or(0);
    } else if (kind == Kind::scroll) {
        type = scrollDatagram;
        a = scrollX.value_or(0);
        b = scrollY.value_or(0);
    } else {
        for (std::size_t i = 0; i < buttonDatagrams.size(); ++i) {
            if (buttonDatagrams[i].kind == kind && buttonDatagrams[i].button == button) {
                type = static_cast<std::uint8_t>(firstButtonDatagram + i);
            }
        }
    }
    if (type == 0) {
        return std::nullopt;
    }
    Datagram bytes{type};
    putLittleEndian32(bytes, 1, std::bit_cast<std::uint32_t>(a));
    putLittleEndian32(bytes, 5, std::bit_cast<std::uint32_t>(b));
    // The stamp is 32 bits on the wire; the server copies it and never reads it.
    putLittleEndian32(bytes, 9, static_cast<std::uint32_t>(timestamp));
    return bytes;
}

bool operator==(const Packet& a, const Packet& b) {
    return a.kind == b.kind && sameFloat(a.dx, b.dx) && sameFloat(a.dy, b.dy) && sameFloat(a.scrollX, b.scrollX) &&
           sameFloat(a.scrollY, b.scrollY) && a.button == b.button && a.keyCode == b.keyCode && a.text == b.text &&
           a.timestamp == b.timestamp && a.gestureType == b.gestureType &&
           sameFloat(a.gestureProgress, b.gestureProgress) && a.fingerCount == b.fingerCount &&
           a.deviceID == b.deviceID && a.pairingCode == b.pairingCode && a.token == b.token && a.success == b.success &&
           a.message == b.message;
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vemdo {

// Raw strings are the wire values; the declaration order is the wire order of the table of kinds.
enum class Kind : std::uint8_t {
    move,
    scroll,
    click,
    down,
    up,
    keyDown,
    keyUp,
    text,
    pairRequest,
    pairResponse,
    auth,
    gestureBegin,
    gestureUpdate,
    gestureEnd,
};

// The raw values are the wire's button numbers.
enum class MouseButton : std::uint8_t {
    left = 0,
    right = 1,
    middle = 2,
};

enum class GestureType : std::uint8_t {
    swipeLeft,
    swipeRight,
    swipeUp,
    swipeDown,
};

std::string_view rawValue(Kind kind);
std::string_view rawValue(GestureType type);
std::optional<Kind> kindFromRaw(std::string_view raw);
std::optional<GestureType> gestureTypeFromRaw(std::string_view raw);

// The JSON keys, in field order. Anything else in an object is ignored.
struct CodingKeys {
    static constexpr std::array<std::string_view, 17> all = {
        "kind",     "dx",          "dy",        "scrollX",     "scrollY",         "button",
        "keyCode",  "text",        "timestamp", "gestureType", "gestureProgress", "fingerCount",
        "deviceID", "pairingCode", "token",     "success",     "message",
    };
};

// One message, in either direction. Plain value: compared field by field.
struct Packet {
    Kind kind = Kind::move;
    std::optional<float> dx;
    std::optional<float> dy;
    std::optional<float> scrollX;
    std::optional<float> scrollY;
    std::optional<MouseButton> button;
    std::optional<std::uint16_t> keyCode;
    std::optional<std::string> text;
    std::uint64_t timestamp = 0;
    std::optional<GestureType> gestureType;
    std::optional<float> gestureProgress;
    std::optional<std::int64_t> fingerCount;
    std::optional<std::string> deviceID;
    std::optional<std::string> pairingCode;
    std::optional<std::string> token;
    std::optional<bool> success;
    std::optional<std::string> message;

    // Strict, all-or-nothing decoding of one JSON object (UTF-8 bytes, surrounding white space allowed).
    // One of the 17 keys given twice fails the message; unknown keys are skipped whatever they hold.
    static std::optional<Packet> decodeJson(std::string_view json);

    // Compact JSON, absent fields left out, never a raw line feed inside. Fails (no value) only for a
    // value JSON cannot carry, such as a non-finite float; the caller then sends nothing.
    std::optional<std::string> encodeJson() const;

    // The datagram form: a type byte (1 move, 2 scroll, 3 to 8 the left and right button messages), two
    // little-endian floats (dx and dy, or scrollX and scrollY) and the timestamp's low 32 bits.
    static constexpr std::size_t datagramSize = 13;
    using Datagram = std::array<std::uint8_t, datagramSize>;

    // Shorter input or an unknown type byte gives no value; bytes beyond the 13th are ignored.
    static std::optional<Packet> decodeDatagram(std::span<const std::uint8_t> bytes);
    // No value for what the datagram form cannot carry (keys, text, the middle button, pairing).
    std::optional<Datagram> encodeDatagram() const;

    // NaN payloads compare by bit pattern so that a decoded datagram equals itself.
    friend bool operator==(const Packet& a, const Packet& b);
};

} // namespace vemdo

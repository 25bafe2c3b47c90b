// SPDX-License-Identifier: MIT
#pragma once

#include "protocol/packet.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vemdo::client {

enum class Verb { discover, pair, auth, move, scroll, click, down, up, key, type, sleep, sync, script };

enum class KeyAction { press, down, up };

// One thing the user asked for, from the command line or from one line of a script.
struct Command {
    Verb verb = Verb::auth;
    std::string code; // pair
    std::string text; // type
    float a = 0;      // move: dx, scroll: scrollX
    float b = 0;      // move: dy, scroll: scrollY
    MouseButton button = MouseButton::left;
    std::uint16_t keyCode = 0;
    KeyAction keyAction = KeyAction::press;
    double seconds = 0; // sleep
};

struct Options {
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::optional<std::string> serviceName;
    std::optional<std::string> deviceId;
    bool udp = false;
    bool json = false;
    bool help = false;
    double timeoutSeconds = 5;
    Command command;
};

// An error is a one-line message for the user.
using ParseResult = std::variant<Command, std::string>;
using OptionsResult = std::variant<Options, std::string>;

// words[0] is the verb. `script` is accepted only where allowScript is true (not inside a script).
ParseResult parseCommand(std::span<const std::string> words, bool allowScript);

// One script line: blank lines and lines starting with '#' give no command (std::nullopt inside the
// variant is expressed as an empty optional). `type` takes the rest of the line verbatim, spaces included.
std::variant<std::optional<Command>, std::string> parseScriptLine(std::string_view line);

OptionsResult parseOptions(std::span<const std::string> args);

// The messages a command sends, in order (key without down/up gives a press and a release).
// pair and auth need deviceId / token, filled in by the caller.
std::vector<Packet> packetsFor(const Command& command, std::uint64_t timestamp);

std::string_view helpText();

} // namespace vemdo::client

// SPDX-License-Identifier: MIT
#include "tools/client_commands.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace vemdo::client {

namespace {

std::optional<float> parseFloat(const std::string& word) {
    // strtof accepts "nan", "inf" and hex floats: all legitimate things for a test tool to send.
    if (word.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const float value = std::strtof(word.c_str(), &end);
    if (end != word.c_str() + word.size()) {
        return std::nullopt;
    }
    return value;
}

template <typename T> std::optional<T> parseUnsigned(std::string_view word) {
    T value{};
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size() || word.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<MouseButton> parseButton(const std::string& word) {
    if (word == "left") {
        return MouseButton::left;
    }
    if (word == "right") {
        return MouseButton::right;
    }
    if (word == "middle") {
        return MouseButton::middle;
    }
    return std::nullopt;
}

std::string usage(std::string_view verb, std::string_view form) {
    return std::string("usage: ").append(verb).append(" ").append(form);
}

} // namespace

ParseResult parseCommand(std::span<const std::string> words, bool allowScript) {
    if (words.empty()) {
        return std::string("no command given (try --help)");
    }
    const std::string& verb = words[0];
    const auto args = words.subspan(1);
    Command command;

    if (verb == "discover" || verb == "auth" || verb == "sync" || verb == "script") {
        if (!args.empty()) {
            return verb + " takes no arguments";
        }
        if (verb == "script" && !allowScript) {
            return std::string("script cannot be nested");
        }
        command.verb = verb == "discover" ? Verb::discover
                       : verb == "auth"   ? Verb::auth
                       : verb == "sync"   ? Verb::sync
                                          : Verb::script;
        return command;
    }
    if (verb == "pair") {
        // The server judges the code; we only refuse what cannot be a code at all, so that tests can
        // still send odd codes by giving six characters.
        if (args.size() != 1 || args[0].empty()) {
            return usage(verb, "CODE (the six digits the server shows)");
        }
        command.verb = Verb::pair;
        command.code = args[0];
        return command;
    }
    if (verb == "move" || verb == "scroll") {
        const auto form = verb == "move" ? "DX DY (numbers, for example: move 10 -5)" : "X Y (numbers)";
        if (args.size() != 2) {
            return usage(verb, form);
        }
        const auto a = parseFloat(args[0]);
        const auto b = parseFloat(args[1]);
        if (!a || !b) {
            return usage(verb, form);
        }
        command.verb = verb == "move" ? Verb::move : Verb::scroll;
        command.a = *a;
        command.b = *b;
        return command;
    }
    if (verb == "click" || verb == "down" || verb == "up") {
        if (args.size() > 1) {
            return usage(verb, "[left|right|middle]");
        }
        if (args.size() == 1) {
            const auto button = parseButton(args[0]);
            if (!button) {
                return usage(verb, "[left|right|middle]");
            }
            command.button = *button;
        }
        command.verb = verb == "click" ? Verb::click : verb == "down" ? Verb::down : Verb::up;
        return command;
    }
    if (verb == "key") {
        if (args.empty() || args.size() > 2) {
            return usage(verb, "CODE [down|up] (a virtual key code 0-65535, for example 55 for Command)");
        }
        const auto code = parseUnsigned<std::uint16_t>(args[0]);
        if (!code) {
            return usage(verb, "CODE [down|up] (a virtual key code 0-65535, for example 55 for Command)");
        }
        command.verb = Verb::key;
        command.keyCode = *code;
        if (args.size() == 2) {
            if (args[1] == "down") {
                command.keyAction = KeyAction::down;
            } else if (args[1] == "up") {
                command.keyAction = KeyAction::up;
            } else {
                return usage(verb, "CODE [down|up]");
            }
        }
        return command;
    }
    if (verb == "type") {
        if (args.empty()) {
            return usage(verb, "TEXT");
        }
        command.verb = Verb::type;
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) {
                command.text += ' ';
            }
            command.text += args[i];
        }
        return command;
    }
    if (verb == "sleep") {
        if (args.size() != 1) {
            return usage(verb, "SECONDS");
        }
        const auto seconds = parseFloat(args[0]);
        if (!seconds || !std::isfinite(*seconds) || *seconds < 0 || *seconds > 3600) {
            return usage(verb, "SECONDS (0 to 3600)");
        }
        command.verb = Verb::sleep;
        command.seconds = *seconds;
        return command;
    }
    return "unknown command '" + verb + "' (try --help)";
}

std::variant<std::optional<Command>, std::string> parseScriptLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line[start] == '#') {
        return std::optional<Command>{};
    }
    line.remove_prefix(start);
    // `type` keeps its text exactly, inner and trailing spaces included.
    constexpr std::string_view typePrefix = "type ";
    if (line.substr(0, typePrefix.size()) == typePrefix && line.size() > typePrefix.size()) {
        Command command;
        command.verb = Verb::type;
        command.text = std::string(line.substr(typePrefix.size()));
        return std::optional<Command>{command};
    }
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t from = line.find_first_not_of(" \t", i);
        if (from == std::string_view::npos) {
            break;
        }
        const std::size_t to = line.find_first_of(" \t", from);
        words.emplace_back(line.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from));
        i = to == std::string_view::npos ? line.size() : to;
    }
    auto parsed = parseCommand(words, false);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        return *error;
    }
    const Command command = std::get<Command>(parsed);
    if (command.verb == Verb::discover) {
        return std::string("discover cannot be used in a script");
    }
    return std::optional<Command>{command};
}

OptionsResult parseOptions(std::span<const std::string> args) {
    Options options;
    // "vemdo-client pair --help" should help rather than complain; only `type` may send the words.
    for (const auto& arg : args) {
        if (arg == "type") {
            break;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
    }
    std::size_t i = 0;
    auto value = [&](const std::string& name) -> std::optional<std::string> {
        if (i + 1 >= args.size()) {
            return std::nullopt;
        }
        (void)name;
        return args[++i];
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        }
        if (arg == "--udp") {
            options.udp = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--host" || arg == "--port" || arg == "--name" || arg == "--device-id" ||
                   arg == "--timeout") {
            const auto v = value(arg);
            if (!v || v->empty()) {
                return arg + " needs a value";
            }
            if (arg == "--host") {
                options.host = *v;
            } else if (arg == "--name") {
                options.serviceName = *v;
            } else if (arg == "--device-id") {
                options.deviceId = *v;
            } else if (arg == "--port") {
                const auto port = parseUnsigned<std::uint16_t>(*v);
                if (!port || *port == 0) {
                    return std::string("--port needs a number from 1 to 65535");
                }
                options.port = *port;
            } else {
                const auto seconds = parseFloat(*v);
                if (!seconds || !std::isfinite(*seconds) || *seconds <= 0) {
                    return std::string("--timeout needs a positive number of seconds");
                }
                options.timeoutSeconds = *seconds;
            }
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-' && !parseFloat(arg)) {
            return "unknown option '" + arg + "' (try --help)";
        } else {
            break;
        }
    }
    if (options.host.has_value() != options.port.has_value()) {
        return std::string("--host and --port go together (or leave both out to find the server by DNS-SD)");
    }
    auto parsed = parseCommand(args.subspan(i), true);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        return *error;
    }
    options.command = std::get<Command>(parsed);
    return options;
}

std::vector<Packet> packetsFor(const Command& command, std::uint64_t timestamp) {
    Packet p;
    p.timestamp = timestamp;
    switch (command.verb) {
    case Verb::pair:
        p.kind = Kind::pairRequest;
        p.pairingCode = command.code;
        return {p};
    case Verb::auth:
        p.kind = Kind::auth;
        return {p};
    case Verb::move:
        p.kind = Kind::move;
        p.dx = command.a;
        p.dy = command.b;
        return {p};
    case Verb::scroll:
        p.kind = Kind::scroll;
        p.scrollX = command.a;
        p.scrollY = command.b;
        return {p};
    case Verb::click:
    case Verb::down:
    case Verb::up:
        p.kind = command.verb == Verb::click ? Kind::click : command.verb == Verb::down ? Kind::down : Kind::up;
        p.button = command.button;
        return {p};
    case Verb::key: {
        p.keyCode = command.keyCode;
        Packet up = p;
        p.kind = Kind::keyDown;
        up.kind = Kind::keyUp;
        if (command.keyAction == KeyAction::down) {
            return {p};
        }
        if (command.keyAction == KeyAction::up) {
            return {up};
        }
        return {p, up};
    }
    case Verb::type:
        p.kind = Kind::text;
        p.text = command.text;
        return {p};
    case Verb::discover:
    case Verb::sleep:
    case Verb::sync:
    case Verb::script:
        break;
    }
    return {};
}

std::string_view helpText() {
    return R"(vemdo-client: a stand-in for the phone app, to try and test a Vemdo Trackpad server.

Usage: vemdo-client [OPTIONS] COMMAND [ARGUMENTS]

First pair once with the six-digit code the server shows, then send input:
  vemdo-client pair 123456
  vemdo-client move 40 -10
  vemdo-client type "Hello, world"

Commands:
  discover               list the servers found on the local network
  pair CODE              pair with the code the server shows; the token it returns is saved
  auth                   authenticate with the saved token and print the reply
  move DX DY             move the pointer (the server doubles the distance)
  scroll X Y             scroll (positive Y scrolls up, positive X scrolls left)
  click [BUTTON]         click a button: left (default), right or middle
  down [BUTTON]          press a button (in a script, `move` then drags)
  up [BUTTON]            release a button
  key CODE [down|up]     press and release a key by its virtual key code, or only press or
                         release it (55 is Command, sent to Linux as Control; 0 is A, 36 is Return)
  type TEXT              type text, any Unicode characters
  script                 read commands from standard input, one per line, over one connection;
                         lines starting with # are ignored; extra commands: `sleep SECONDS` and
                         `sync` (wait until the server has handled everything sent so far).
                         No authentication is sent for you: start the script with `auth`.

A one-shot input command (move, scroll, click, down, up, key, type) authenticates first with the
saved token, on a fresh connection, as the phone does. The server lets go of held buttons and
keys when the last authenticated connection ends, so hold-and-act sequences (a drag, Command-C)
belong in one script:
  printf 'auth\nkey 55 down\nkey 8\nkey 55 up\n' | vemdo-client script

Options:
  --host HOST --port PORT   connect to this address instead of finding the server by DNS-SD
  --name NAME               when browsing, use the server with this name (default: the first found);
                            with --host, keep its token under this name instead of under HOST
  --udp                     send moves, scrolls and left/right button events as UDP datagrams to the
                            same port (the server accepts them only while this computer has an
                            authenticated connection, which the client keeps open meanwhile);
                            other commands still go over TCP
  --device-id ID            act as this device instead of the saved one
  --json                    print the server's replies as the JSON it sent
  --timeout SECONDS         how long to wait for discovery, connection and replies (default 5)
  -h, --help                show this help

The device ID and the tokens (one per server: its DNS-SD name, or the HOST given) are kept in
$XDG_CONFIG_HOME/vemdo-client/state (default ~/.config), readable only by you.

Exit status: 0 on success; 1 when the server refused (its message is printed); 2 for a usage
error; 3 when no server could be found or reached, or it did not answer.
)";
}

} // namespace vemdo::client

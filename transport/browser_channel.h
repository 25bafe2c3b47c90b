// SPDX-License-Identifier: MIT
#pragma once

#include "security/pake_exchange.h"
#include "security/security_manager.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// Why a browser page's connection is closed before its channel exists: the WebSocket close code, which
// the page maps to what it shows.
enum class Refusal : std::uint16_t {
    malformed = 4000,
    wrongCode = 4001,
    tooManyAttempts = 4002,
    // The code has taken its 100 wrong guesses: pairing waits for a new one.
    codeSpent = 4003,
    secretRefused = 4004,
    storeUnavailable = 4005,
};
std::string_view refusalReason(Refusal refusal);

// One browser page's connection: the password exchange (security/pake_exchange.h) with the pairing code or
// the browser's stored secret, then sealed frames that carry the same JSON messages the phone app sends.
//
// The page's first field of ADa names the mode, "pair" or "secret", the second its device ID. Pairing is
// limited as the phone app's is: the windows are consulted before the share is answered, and a failed
// confirmation is one wrong guess against the code; one exchange per connection, so one guess per attempt.
// A secret is 256 random bits, so guessing one is not limited. Transport thread only.
class BrowserChannel {
public:
    static constexpr std::string_view pairingMode = "pair";
    static constexpr std::string_view secretMode = "secret";

    // binding: see Connection::channelBinding; source: the network it counts against (see networkSource).
    BrowserChannel(SecurityManager& security, RandomSource& random, const std::vector<std::string>& binding,
                   std::string source);

    // The first message, sent as the connection opens.
    const Bytes& hello() const { return m_responder.hello(); }

    struct Step {
        // The next message of the exchange, when there is one.
        Bytes reply;
        std::optional<Refusal> refusal;
        // The exchange is done: the connection is authenticated.
        bool established = false;
        // A pairing's new secret, to be handed over sealed.
        std::optional<std::string> secret;
    };
    // One message of the exchange.
    Step exchange(ByteView message);
    bool established() const { return m_channel.has_value(); }

    // Once established: a frame's JSON text; none for a frame that does not open, after which none ever does.
    std::optional<std::string> open(ByteView frame);
    Bytes seal(std::string_view text);

private:
    Step answerShare(ByteView message);
    Step confirm(ByteView message);

    SecurityManager& m_security;
    std::string m_source;
    PakeResponder m_responder;
    bool m_pairing = false;
    std::string m_deviceID;
    PairingCode m_code;
    std::optional<SealedChannel> m_channel;
};

} // namespace vemdo

// SPDX-License-Identifier: MIT
#pragma once

#include "security/cpace.h"
#include "security/sealed_channel.h"

#include <optional>
#include <string>
#include <vector>

namespace vemdo {

class RandomSource;

// The exchange by which the browser page (initiator) and the computer (responder) agree on sealed channel
// keys from a shared password, vemdo-pake-v1. Five binary messages, each an lv_cat of its fields:
//
//   1. responder → initiator  hello     lv_cat("vemdo-pake-v1", nonceR)        nonceR: 16 random bytes
//   2. initiator → responder  share     lv_cat(nonceI, Ya, ADa)                nonceI: 16 random bytes
//   3. responder → initiator  reply     lv_cat(Yb, ADb)
//   4. initiator → responder  confirm   lv_cat(Ta)
//   5. responder → initiator  confirm   lv_cat(Tb)
//
// CPace runs with sid = nonceR || nonceI and CI = lv_cat("vemdo-pake-v1", channel...), where the channel
// parts are what both ends see of the connection (such as the page's host and port). The initiator
// confirms first, so the responder learns of a wrong password before it has told the peer anything that
// could test one: a share that is never confirmed has tested no guess. Sealed frames follow message 5 in
// both directions. Any step that fails leaves the object failed for good; the caller closes the connection.
// Not thread-safe: one connection's thread at a time.
class PakeResponder {
public:
    PakeResponder(const std::vector<std::string>& channel, RandomSource& random);

    const Bytes& hello() const { return m_hello; }
    // ADa, by which the caller chooses the password; none when the frame is no share.
    std::optional<Bytes> readShare(ByteView frame);
    // Message 3; none when the share's point is invalid.
    std::optional<Bytes> reply(ByteView password, ByteView associatedData);
    struct Established {
        Bytes confirmation;
        SealedChannel channel;
    };
    // Message 5 and the channel when the initiator's tag is right; none means a wrong password (or a
    // malformed frame), one guess spent.
    std::optional<Established> readConfirmation(ByteView frame);
    bool failed() const { return m_step == Step::failed; }

private:
    enum class Step { share, reply, confirmation, done, failed };
    Step m_step = Step::failed;
    Bytes m_ci;
    Bytes m_hello;
    Bytes m_sid;
    cpace::Scalar m_scalar{};
    Bytes m_initiatorShare;
    Bytes m_initiatorData;
    std::optional<cpace::Agreement> m_agreement;
};

class PakeInitiator {
public:
    PakeInitiator(Bytes password, const std::vector<std::string>& channel, Bytes associatedData, RandomSource& random);

    // Message 2; none when the frame is no hello of this version.
    std::optional<Bytes> readHello(ByteView frame);
    // Message 4; none when the frame is no reply or its point is invalid.
    std::optional<Bytes> readReply(ByteView frame);
    // The channel when the responder's tag is right.
    std::optional<SealedChannel> readConfirmation(ByteView frame);
    // ADb, once the reply has been read.
    const Bytes& peerAssociatedData() const { return m_responderData; }
    bool failed() const { return m_step == Step::failed; }

private:
    enum class Step { hello, reply, confirmation, done, failed };
    Step m_step = Step::failed;
    Bytes m_password;
    Bytes m_ci;
    Bytes m_associatedData;
    // Drawn in this order.
    Bytes m_nonce;
    cpace::Scalar m_scalar{};
    Bytes m_sid;
    cpace::Point m_share{};
    Bytes m_responderData;
    std::optional<cpace::Agreement> m_agreement;
};

} // namespace vemdo

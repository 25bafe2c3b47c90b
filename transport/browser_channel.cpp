// SPDX-License-Identifier: MIT
#include "transport/browser_channel.h"

#include <utility>

namespace vemdo {

namespace {

BrowserChannel::Step refused(Refusal refusal) {
    return {{}, refusal, false, std::nullopt};
}

} // namespace

std::string_view refusalReason(Refusal refusal) {
    switch (refusal) {
    case Refusal::malformed:
        return "malformed";
    case Refusal::wrongCode:
        return "wrong code";
    case Refusal::tooManyAttempts:
        return "too many attempts";
    case Refusal::codeSpent:
        return "code spent";
    case Refusal::secretRefused:
        return "secret refused";
    case Refusal::storeUnavailable:
        return "store unavailable";
    }
    return "refused";
}

BrowserChannel::BrowserChannel(SecurityManager& security, RandomSource& random, const std::vector<std::string>& binding,
                               std::string source)
    : m_security(security), m_source(std::move(source)), m_responder(binding, random) {}

BrowserChannel::Step BrowserChannel::exchange(ByteView message) {
    if (m_channel || m_responder.failed())
        return refused(Refusal::malformed);
    return m_deviceID.empty() ? answerShare(message) : confirm(message);
}

BrowserChannel::Step BrowserChannel::answerShare(ByteView message) {
    const auto data = m_responder.readShare(message);
    const auto fields = data ? cpace::lvSplit(*data) : std::nullopt;
    if (!fields || fields->size() != 2 || (*fields)[1].empty() ||
        (*fields)[1].size() > SecurityManager::maxDeviceIDBytes)
        return refused(Refusal::malformed);
    const std::string mode((*fields)[0].begin(), (*fields)[0].end());
    if (mode != pairingMode && mode != secretMode)
        return refused(Refusal::malformed);
    m_pairing = mode == pairingMode;
    m_deviceID.assign((*fields)[1].begin(), (*fields)[1].end());
    std::string password;
    if (m_pairing) {
        // Consulted before the share is answered: a refused attempt has tested nothing.
        if (!m_security.checkRateLimit(m_deviceID, m_source))
            return refused(m_security.pairingStopped() ? Refusal::codeSpent : Refusal::tooManyAttempts);
        const Verdict verdict = m_security.pairingCodeForExchange(m_code);
        if (verdict != Verdict::accepted) {
            // Nothing was judged, so nothing counts against the browser or its network.
            m_security.withdrawAttempt(m_deviceID, m_source);
            return refused(verdict == Verdict::storeUnavailable ? Refusal::storeUnavailable : Refusal::wrongCode);
        }
        password = m_code.code;
    } else {
        const Verdict verdict = m_security.browserSecret(m_deviceID, password);
        if (verdict != Verdict::accepted)
            return refused(verdict == Verdict::storeUnavailable ? Refusal::storeUnavailable : Refusal::secretRefused);
    }
    auto reply = m_responder.reply(cpace::bytesOf(password), {});
    if (!reply)
        return refused(Refusal::malformed);
    return {std::move(*reply), std::nullopt, false, std::nullopt};
}

BrowserChannel::Step BrowserChannel::confirm(ByteView message) {
    auto established = m_responder.readConfirmation(message);
    Step step;
    if (m_pairing) {
        std::string secret;
        const Verdict verdict = m_security.concludeBrowserPairing(m_deviceID, m_code, established.has_value(), secret);
        if (verdict != Verdict::accepted)
            return refused(verdict == Verdict::storeUnavailable ? Refusal::storeUnavailable : Refusal::wrongCode);
        step.secret = std::move(secret);
    } else if (!established) {
        return refused(Refusal::secretRefused);
    }
    step.reply = std::move(established->confirmation);
    step.established = true;
    m_channel.emplace(std::move(established->channel));
    return step;
}

std::optional<std::string> BrowserChannel::open(ByteView frame) {
    if (!m_channel)
        return std::nullopt;
    auto plaintext = m_channel->incoming.open(frame);
    if (!plaintext)
        return std::nullopt;
    return std::string(plaintext->begin(), plaintext->end());
}

Bytes BrowserChannel::seal(std::string_view text) {
    return m_channel ? m_channel->outgoing.seal(cpace::bytesOf(text)) : Bytes{};
}

} // namespace vemdo

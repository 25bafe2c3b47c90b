// SPDX-License-Identifier: MIT
#include "security/pake_exchange.h"

#include "security/random_source.h"

#include <utility>

namespace vemdo {

namespace {

constexpr std::size_t nonceBytes = 16;

// lv_cat is a plain concatenation of prefixed parts, so it can be built a part at a time.
Bytes channelIdentifier(const std::vector<std::string>& channel) {
    Bytes ci = cpace::lvCat({cpace::bytesOf(cpace::protocolName)});
    for (const std::string& part : channel) {
        const Bytes encoded = cpace::lvCat({cpace::bytesOf(part)});
        ci.insert(ci.end(), encoded.begin(), encoded.end());
    }
    return ci;
}

Bytes drawNonce(RandomSource& random) {
    Bytes nonce(nonceBytes);
    random.fill(nonce);
    return nonce;
}

Bytes concat(ByteView first, ByteView second) {
    Bytes out(first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

// The fields of a message when it has exactly fieldCount of them.
std::optional<std::vector<Bytes>> fields(ByteView frame, std::size_t fieldCount) {
    auto parts = cpace::lvSplit(frame);
    if (!parts || parts->size() != fieldCount)
        return std::nullopt;
    return parts;
}

} // namespace

// Each side draws its nonce and then its scalar when it is made, so that a scripted random source gives
// the same exchange in every implementation.
PakeResponder::PakeResponder(const std::vector<std::string>& channel, RandomSource& random)
    : m_ci(channelIdentifier(channel)) {
    const Bytes nonce = drawNonce(random);
    m_scalar = cpace::sampleScalar(random);
    m_hello = cpace::lvCat({cpace::bytesOf(cpace::protocolName), nonce});
    m_sid = nonce;
    if (cpace::sodiumReady())
        m_step = Step::share;
}

// Each step marks the object failed first, and only a step that succeeds moves it on.
std::optional<Bytes> PakeResponder::readShare(ByteView frame) {
    const Step step = std::exchange(m_step, Step::failed);
    auto parts = fields(frame, 3);
    if (step != Step::share || !parts || (*parts)[0].size() != nonceBytes || (*parts)[1].size() != cpace::pointBytes)
        return std::nullopt;
    m_sid.insert(m_sid.end(), (*parts)[0].begin(), (*parts)[0].end());
    m_initiatorShare = std::move((*parts)[1]);
    m_initiatorData = std::move((*parts)[2]);
    m_step = Step::reply;
    return m_initiatorData;
}

std::optional<Bytes> PakeResponder::reply(ByteView password, ByteView associatedData) {
    const Step step = std::exchange(m_step, Step::failed);
    if (step != Step::reply)
        return std::nullopt;
    const auto share = cpace::scalarMult(m_scalar, cpace::calculateGenerator(password, m_ci, m_sid));
    const auto k = cpace::scalarMult(m_scalar, m_initiatorShare);
    if (!share || !k)
        return std::nullopt;
    m_agreement = cpace::agree(m_sid, *k, m_initiatorShare, m_initiatorData, *share, associatedData);
    m_step = Step::confirmation;
    return cpace::lvCat({*share, associatedData});
}

std::optional<PakeResponder::Established> PakeResponder::readConfirmation(ByteView frame) {
    const Step step = std::exchange(m_step, Step::failed);
    const auto parts = fields(frame, 1);
    if (step != Step::confirmation || !parts || !cpace::sameTag(m_agreement->initiatorTag, (*parts)[0]))
        return std::nullopt;
    m_step = Step::done;
    const cpace::SessionKeys& keys = m_agreement->keys;
    return Established{cpace::lvCat({m_agreement->responderTag}),
                       {Sealer(keys.responderToInitiator), Opener(keys.initiatorToResponder)}};
}

PakeInitiator::PakeInitiator(Bytes password, const std::vector<std::string>& channel, Bytes associatedData,
                             RandomSource& random)
    : m_password(std::move(password)), m_ci(channelIdentifier(channel)), m_associatedData(std::move(associatedData)),
      m_nonce(drawNonce(random)), m_scalar(cpace::sampleScalar(random)) {
    if (cpace::sodiumReady())
        m_step = Step::hello;
}

std::optional<Bytes> PakeInitiator::readHello(ByteView frame) {
    const Step step = std::exchange(m_step, Step::failed);
    const auto parts = fields(frame, 2);
    if (step != Step::hello || !parts || (*parts)[0] != Bytes(cpace::protocolName.begin(), cpace::protocolName.end()) ||
        (*parts)[1].size() != nonceBytes)
        return std::nullopt;
    m_sid = concat((*parts)[1], m_nonce);
    const auto share = cpace::scalarMult(m_scalar, cpace::calculateGenerator(m_password, m_ci, m_sid));
    if (!share)
        return std::nullopt;
    m_share = *share;
    m_step = Step::reply;
    return cpace::lvCat({m_nonce, m_share, m_associatedData});
}

std::optional<Bytes> PakeInitiator::readReply(ByteView frame) {
    const Step step = std::exchange(m_step, Step::failed);
    auto parts = fields(frame, 2);
    if (step != Step::reply || !parts)
        return std::nullopt;
    const auto k = cpace::scalarMult(m_scalar, (*parts)[0]);
    if (!k)
        return std::nullopt;
    m_responderData = std::move((*parts)[1]);
    m_agreement = cpace::agree(m_sid, *k, m_share, m_associatedData, (*parts)[0], m_responderData);
    m_step = Step::confirmation;
    return cpace::lvCat({m_agreement->initiatorTag});
}

std::optional<SealedChannel> PakeInitiator::readConfirmation(ByteView frame) {
    const Step step = std::exchange(m_step, Step::failed);
    const auto parts = fields(frame, 1);
    if (step != Step::confirmation || !parts || !cpace::sameTag(m_agreement->responderTag, (*parts)[0]))
        return std::nullopt;
    m_step = Step::done;
    const cpace::SessionKeys& keys = m_agreement->keys;
    return SealedChannel{Sealer(keys.initiatorToResponder), Opener(keys.responderToInitiator)};
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "security/sealed_channel.h"

#include <sodium.h>

#include <array>

namespace vemdo {

namespace {

using Nonce = std::array<std::uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES>;

Nonce nonceFor(std::uint64_t counter) {
    Nonce nonce{};
    for (std::size_t index = 0; index < sizeof counter; ++index)
        nonce[index] = static_cast<std::uint8_t>(counter >> (8 * index));
    return nonce;
}

} // namespace

// At one frame a microsecond the counter would take half a million years to wrap.
Bytes Sealer::seal(ByteView plaintext) {
    Bytes frame(plaintext.size() + crypto_aead_chacha20poly1305_IETF_ABYTES);
    const Nonce nonce = nonceFor(m_counter++);
    crypto_aead_chacha20poly1305_ietf_encrypt(frame.data(), nullptr, plaintext.data(), plaintext.size(), nullptr, 0,
                                              nullptr, nonce.data(), m_key.data());
    return frame;
}

std::optional<Bytes> Opener::open(ByteView frame) {
    if (m_failed || frame.size() < crypto_aead_chacha20poly1305_IETF_ABYTES) {
        m_failed = true;
        return std::nullopt;
    }
    Bytes plaintext(frame.size() - crypto_aead_chacha20poly1305_IETF_ABYTES);
    const Nonce nonce = nonceFor(m_counter);
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), nullptr, nullptr, frame.data(), frame.size(),
                                                  nullptr, 0, nonce.data(), m_key.data()) != 0) {
        m_failed = true;
        return std::nullopt;
    }
    ++m_counter;
    return plaintext;
}

} // namespace vemdo

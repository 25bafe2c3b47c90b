// SPDX-License-Identifier: MIT
#pragma once

#include "security/cpace.h"

#include <cstdint>
#include <optional>

namespace vemdo {

// Frames sealed with ChaCha20-Poly1305 (IETF), one key per direction. The nonce is the number of frames
// sealed before, as a 96-bit little-endian integer; it is not sent, so a frame that is altered, repeated,
// left out or moved fails to open. A frame is the ciphertext followed by the 16-byte tag. Not thread-safe:
// one connection's thread at a time.
class Sealer {
public:
    explicit Sealer(const cpace::Key& key) : m_key(key) {}
    Bytes seal(ByteView plaintext);

private:
    cpace::Key m_key;
    std::uint64_t m_counter = 0;
};

class Opener {
public:
    explicit Opener(const cpace::Key& key) : m_key(key) {}
    // The plaintext; none for a frame that does not open as the next one, and for every frame after it:
    // the caller closes the connection.
    std::optional<Bytes> open(ByteView frame);
    bool failed() const { return m_failed; }

private:
    cpace::Key m_key;
    std::uint64_t m_counter = 0;
    bool m_failed = false;
};

// One side's two directions after the exchange.
struct SealedChannel {
    Sealer outgoing;
    Opener incoming;
};

} // namespace vemdo

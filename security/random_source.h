// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vemdo {

// A cryptographically secure source of bytes. Any thread.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // Fills every byte; never returns having filled fewer.
    virtual void fill(std::span<std::uint8_t> bytes) = 0;
};

} // namespace vemdo

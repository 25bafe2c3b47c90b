// SPDX-License-Identifier: MIT
#pragma once

#include "security/random_source.h"

namespace vemdo {

// The kernel's cryptographically secure generator through getrandom(2). Any thread.
class GetrandomSource final : public RandomSource {
public:
    // Blocks only until the kernel's generator is first seeded at boot. Should the kernel fail in a way
    // that leaves no secure bytes at all, the process ends with a message: predictable codes and tokens
    // would be worse than no server.
    void fill(std::span<std::uint8_t> bytes) override;
};

} // namespace vemdo

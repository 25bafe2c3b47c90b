// SPDX-License-Identifier: MIT
#pragma once

#include "security/clock.h"

namespace vemdo {

// The system's wall clock (it follows any setting of the time, as the rate limit's rules expect).
class SystemClock final : public Clock {
public:
    double now() const override;
};

} // namespace vemdo

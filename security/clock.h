// SPDX-License-Identifier: MIT
#pragma once

namespace vemdo {

// Wall-clock time. Any thread. Tests replace it so that time-based rules run without sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00:00 UTC, with the fractional part.
    virtual double now() const = 0;
};

} // namespace vemdo

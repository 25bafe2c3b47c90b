// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

namespace vemdo {

// Time that only goes forward, for intervals (never for dates). Any thread.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    // Seconds since an arbitrary fixed point, with the fractional part.
    virtual double seconds() const = 0;
};

class SteadyMonotonicClock final : public MonotonicClock {
public:
    double seconds() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

} // namespace vemdo

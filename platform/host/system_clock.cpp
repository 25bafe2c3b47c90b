// SPDX-License-Identifier: MIT
#include "platform/host/system_clock.h"

#include <chrono>

namespace vemdo {

double SystemClock::now() const {
    // Since C++20 the system clock's epoch is 1970-01-01 00:00:00 UTC.
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace vemdo

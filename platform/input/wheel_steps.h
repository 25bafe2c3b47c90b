// SPDX-License-Identifier: MIT
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace vemdo {

// Pixel delta that makes one wheel click. Toolkits scroll about three lines, some 40 to 60 pixels, per
// click; a smaller step keeps slow finger movement responsive.
inline constexpr int pixelsPerWheelClick = 40;
// Clicks per axis and scroll event at most, so that an absurd delta cannot flood the desktop.
inline constexpr int maxWheelClicksPerEvent = 25;

// Adds a pixel delta to the axis' carried remainder and takes out the whole wheel clicks it now holds
// (positive for the delta's positive direction). A change of direction drops the old remainder.
inline int takeWheelClicks(double& remainder, std::int32_t delta) {
    if ((delta > 0 && remainder < 0) || (delta < 0 && remainder > 0))
        remainder = 0;
    remainder += delta;
    double whole = std::trunc(remainder / pixelsPerWheelClick);
    if (std::abs(whole) > maxWheelClicksPerEvent) {
        remainder = 0;
        return whole > 0 ? maxWheelClicksPerEvent : -maxWheelClicksPerEvent;
    }
    remainder -= whole * pixelsPerWheelClick;
    return static_cast<int>(whole);
}

} // namespace vemdo

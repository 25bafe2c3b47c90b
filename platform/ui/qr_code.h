// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemdo {

// A QR code as a square of modules, row by row, true for dark.
struct QrCode {
    int size = 0;
    std::vector<bool> modules;

    bool dark(int x, int y) const {
        return x >= 0 && y >= 0 && x < size && y < size && modules[static_cast<std::size_t>(y * size + x)];
    }
};

// The text as a QR code with medium error correction (a phone reads it off a screen at an angle);
// nothing when it does not fit in one.
std::optional<QrCode> encodeQrCode(std::string_view text);

// The code for a terminal, two module rows per line with the half blocks ▀ ▄ █ and a quiet zone of
// `margin` modules around it. The light modules are the ones drawn, as on a terminal's usual dark
// background, so that no line is blank; with `colors`, every line sets white on black first, so that the
// code reads the same on light terminals.
std::vector<std::string> halfBlockLines(const QrCode& code, int margin, bool colors);

} // namespace vemdo

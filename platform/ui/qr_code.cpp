// SPDX-License-Identifier: MIT
#include "platform/ui/qr_code.h"

#include <qrencode.h>

#include <memory>

namespace vemdo {

std::optional<QrCode> encodeQrCode(std::string_view text) {
    const std::string terminated(text);
    // Version 0 lets the library pick the smallest symbol that holds the text.
    std::unique_ptr<QRcode, decltype(&QRcode_free)> encoded(
        QRcode_encodeString8bit(terminated.c_str(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!encoded || encoded->width <= 0)
        return std::nullopt;
    QrCode code;
    code.size = encoded->width;
    code.modules.resize(static_cast<std::size_t>(code.size) * static_cast<std::size_t>(code.size));
    for (std::size_t i = 0; i < code.modules.size(); ++i)
        code.modules[i] = (encoded->data[i] & 1) != 0;
    return code;
}

std::vector<std::string> halfBlockLines(const QrCode& code, int margin, bool colors) {
    std::vector<std::string> lines;
    const int first = -margin;
    const int last = code.size + margin;
    for (int y = first; y < last; y += 2) {
        std::string line = colors ? "\x1b[97;40m" : "";
        for (int x = first; x < last; ++x) {
            const bool top = !code.dark(x, y);
            const bool bottom = y + 1 < last && !code.dark(x, y + 1);
            line += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
        }
        if (colors)
            line += "\x1b[0m";
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace vemdo

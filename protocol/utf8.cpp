// SPDX-License-Identifier: MIT
#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

namespace vemdo {

std::optional<char32_t> nextUtf8Scalar(std::string_view text, std::size_t& index) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(index);
    std::size_t length = 0;
    char32_t scalar = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++index;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, scalar = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, scalar = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, scalar = lead & 0x07, minimum = 0x10000;
    } else {
        ++index;
        return std::nullopt;
    }
    if (text.size() - index < length) {
        ++index;
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char continuation = byte(index + i);
        if ((continuation & 0xC0) != 0x80) {
            ++index;
            return std::nullopt;
        }
        scalar = (scalar << 6) | (continuation & 0x3F);
    }
    if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
        ++index;
        return std::nullopt;
    }
    index += length;
    return scalar;
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t index = 0;
    while (index < bytes.size()) {
        // Messages are mostly ASCII; skipping eight such bytes at a time keeps validation off the profile.
        if (bytes.size() - index >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + index, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                index += 8;
                continue;
            }
        }
        if (!nextUtf8Scalar(bytes, index)) {
            return false;
        }
    }
    return true;
}

} // namespace vemdo

// SPDX-License-Identifier: MIT
#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

namespace vemdo {

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        // Messages are mostly ASCII; skipping eight such bytes at a time keeps validation off the profile.
        if (end - p >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The ranges of the second byte rule out overlong forms (E0, F0), surrogates (ED) and code points
        // above U+10FFFF (F4) without decoding the code point.
        int continuation = 0;
        unsigned char secondMin = 0x80;
        unsigned char secondMax = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuation = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuation = 2;
            if (lead == 0xE0) {
                secondMin = 0xA0;
            } else if (lead == 0xED) {
                secondMax = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuation = 3;
            if (lead == 0xF0) {
                secondMin = 0x90;
            } else if (lead == 0xF4) {
                secondMax = 0x8F;
            }
        } else {
            return false;
        }
        if (end - p <= continuation) {
            return false;
        }
        if (p[1] < secondMin || p[1] > secondMax) {
            return false;
        }
        for (int i = 2; i <= continuation; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
        }
        p += continuation + 1;
    }
    return true;
}

} // namespace vemdo

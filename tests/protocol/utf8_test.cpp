// SPDX-License-Identifier: MIT
#include "protocol/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vemdo {
namespace {

using namespace std::string_literals;

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

void PrintTo(const Utf8Case& row, std::ostream* out) {
    *out << row.name;
}

class Utf8Table : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, judgesSequence) {
    EXPECT_EQ(isValidUtf8(GetParam().bytes), GetParam().valid);
}

const std::string eightAscii = "abcdefgh";

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Table,
    ::testing::Values(
        Utf8Case{"empty", "", true}, Utf8Case{"ascii", "hello", true}, Utf8Case{"nul", "a\0b"s, true},
        Utf8Case{"twoByteMin", "\xC2\x80", true}, Utf8Case{"twoByteMax", "\xDF\xBF", true},
        Utf8Case{"threeByteMin", "\xE0\xA0\x80", true}, Utf8Case{"beforeSurrogates", "\xED\x9F\xBF", true},
        Utf8Case{"afterSurrogates", "\xEE\x80\x80", true}, Utf8Case{"threeByteMax", "\xEF\xBF\xBF", true},
        Utf8Case{"fourByteMin", "\xF0\x90\x80\x80", true}, Utf8Case{"maxCodePoint", "\xF4\x8F\xBF\xBF", true},
        Utf8Case{"multiByteAfterAsciiBlock", eightAscii + "\xC3\xA7" + eightAscii, true},
        Utf8Case{"loneContinuation", "\x80", false}, Utf8Case{"continuationBF", "\xBF", false},
        Utf8Case{"overlongTwoByteC0", "\xC0\x80", false}, Utf8Case{"overlongTwoByteC1", "\xC1\xBF", false},
        Utf8Case{"overlongThreeByte", "\xE0\x9F\xBF", false}, Utf8Case{"surrogateLow", "\xED\xA0\x80", false},
        Utf8Case{"surrogateHigh", "\xED\xBF\xBF", false}, Utf8Case{"overlongFourByte", "\xF0\x8F\xBF\xBF", false},
        Utf8Case{"aboveMax", "\xF4\x90\x80\x80", false}, Utf8Case{"leadF5", "\xF5\x80\x80\x80", false},
        Utf8Case{"leadFF", "\xFF", false}, Utf8Case{"truncatedTwo", "\xC3", false},
        Utf8Case{"truncatedThree", "\xE2\x82", false}, Utf8Case{"truncatedFour", "\xF0\x9F\x98", false},
        Utf8Case{"truncatedAfterAsciiBlock", eightAscii + "\xE2\x82", false},
        Utf8Case{"invalidInsideAsciiBlock",
                 "abc\xFF"
                 "defgh",
                 false},
        Utf8Case{"continuationReplacedByAscii",
                 "\xC3"
                 "A",
                 false},
        Utf8Case{"thirdByteNotContinuation",
                 "\xE2\x82"
                 "A",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// A plain decoder written the long way: decode, then judge the code point.
bool referenceValid(const std::vector<unsigned char>& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = bytes[i];
        int extra;
        std::uint32_t cp;
        if (lead < 0x80) {
            extra = 0;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= bytes.size()) {
            return false;
        }
        for (int k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (bytes[i + k] & 0x3F);
        }
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::string asString(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(Utf8Exhaustive, agreesWithReferenceOnEveryShortSequence) {
    std::vector<unsigned char> bytes;
    for (unsigned a = 0; a < 256; ++a) {
        bytes = {static_cast<unsigned char>(a)};
        ASSERT_EQ(isValidUtf8(asString(bytes)), referenceValid(bytes)) << a;
        for (unsigned b = 0; b < 256; ++b) {
            bytes = {static_cast<unsigned char>(a), static_cast<unsigned char>(b)};
            ASSERT_EQ(isValidUtf8(asString(bytes)), referenceValid(bytes)) << a << ' ' << b;
        }
    }
    // Three bytes: every lead that starts a multi-byte form, every second byte, a spread of third bytes.
    for (unsigned a = 0xC0; a < 0x100; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (unsigned c : {0x00U, 0x41U, 0x7FU, 0x80U, 0x9FU, 0xA0U, 0xBFU, 0xC0U, 0xFFU}) {
                bytes = {static_cast<unsigned char>(a), static_cast<unsigned char>(b), static_cast<unsigned char>(c)};
                ASSERT_EQ(isValidUtf8(asString(bytes)), referenceValid(bytes)) << a << ' ' << b << ' ' << c;
            }
        }
    }
    // Four-byte leads with every second byte, and the same sequences behind a block of ASCII.
    for (unsigned a = 0xF0; a < 0x100; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            for (unsigned d : {0x41U, 0x80U, 0xBFU, 0xC0U}) {
                bytes = {static_cast<unsigned char>(a), static_cast<unsigned char>(b), 0x80,
                         static_cast<unsigned char>(d)};
                ASSERT_EQ(isValidUtf8(asString(bytes)), referenceValid(bytes)) << a << ' ' << b << ' ' << d;
                // Sized up front: GCC 12 misreads an insert into a fresh vector as out of bounds at -O2.
                std::vector<unsigned char> padded(9 + bytes.size(), 'x');
                std::copy(bytes.begin(), bytes.end(), padded.begin() + 9);
                ASSERT_EQ(isValidUtf8(asString(padded)), referenceValid(padded)) << a << ' ' << b << ' ' << d;
            }
        }
    }
}

} // namespace
} // namespace vemdo

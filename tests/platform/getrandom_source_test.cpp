// SPDX-License-Identifier: MIT
#include "platform/getrandom_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace vemdo {
namespace {

TEST(GetrandomSource, FillsEveryByteOfEverySize) {
    GetrandomSource random;
    for (std::size_t size : {0u, 1u, 31u, 257u, 70'000u}) {
        SCOPED_TRACE(size);
        // A byte the source skipped would keep 0x00 in the first buffer and 0xFF in the second; a filled
        // byte does both only with probability 2^-16.
        std::vector<std::uint8_t> zeros(size, 0x00);
        std::vector<std::uint8_t> ones(size, 0xFF);
        random.fill(zeros);
        random.fill(ones);
        std::size_t untouched = 0;
        for (std::size_t i = 0; i < size; ++i)
            untouched += zeros[i] == 0x00 && ones[i] == 0xFF;
        EXPECT_LE(untouched, size / 1000 + 1);
    }
}

// getrandom(2) hands out at most 32 MiB - 1 per call, so a larger buffer needs the loop.
TEST(GetrandomSource, FillsBeyondOneCall) {
    GetrandomSource random;
    std::vector<std::uint8_t> bytes((32u << 20) + 4096, 0);
    random.fill(bytes);
    auto tail = std::span(bytes).last(4096);
    EXPECT_GT(std::count_if(tail.begin(), tail.end(), [](std::uint8_t b) { return b != 0; }), 4000);
}

TEST(GetrandomSource, BytesLookUniform) {
    GetrandomSource random;
    std::vector<std::uint8_t> bytes(1 << 20);
    random.fill(bytes);
    std::array<int, 256> counts{};
    for (auto byte : bytes)
        ++counts[byte];
    // 4096 expected per value, standard deviation 64: eight of them either way.
    for (int value = 0; value < 256; ++value)
        EXPECT_NEAR(counts[static_cast<std::size_t>(value)], 4096, 512) << value;

    std::vector<std::uint8_t> again(bytes.size());
    random.fill(again);
    EXPECT_NE(bytes, again);
}

} // namespace
} // namespace vemdo

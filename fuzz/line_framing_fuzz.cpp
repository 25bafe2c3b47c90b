// SPDX-License-Identifier: MIT
// Framing never loses, reorders or invents a line however the stream is cut into receives, and it agrees
// with a plain split of the whole stream on where the 64 KiB pending-line bound stops a connection.
//
// Input layout: byte 0 seeds the chunk sizes; the rest is the stream, where 0xFE n stands for n * 512
// bytes of filler so that short inputs can reach the bound.
#include "fuzz/fuzz_check.h"
#include "transport/line_framer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Framed {
    std::vector<std::string> lines;
    bool overflowed = false;
    std::string pending;
};

std::string expandStream(const std::uint8_t* data, std::size_t size) {
    // A few times the bound is enough to cross it repeatedly; more would only slow the run down.
    constexpr std::size_t maxStream = 5 * vemdo::LineFramer::maxPendingBytes;
    std::string stream;
    for (std::size_t i = 0; i < size && stream.size() < maxStream; ++i) {
        if (data[i] == 0xFE && i + 1 < size) {
            stream.append(static_cast<std::size_t>(data[++i]) * 512, 'x');
        } else {
            stream.push_back(static_cast<char>(data[i]));
        }
    }
    return stream;
}

Framed frame(std::string_view stream, std::uint32_t seed) {
    vemdo::LineFramer framer;
    Framed out;
    std::size_t at = 0;
    std::uint32_t state = seed * 2654435761U + 1;
    while (at < stream.size()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // Mostly small receives, including empty ones, now and then a large one; small ones grow with
        // the stream so that a long stream still takes a bounded number of appends.
        const std::size_t small = 17 + stream.size() / 128;
        std::size_t length = state % 8 == 0 ? state % 70000 : state % small;
        if (seed == 0) {
            length = stream.size();
        }
        length = std::min(length, stream.size() - at);
        for (auto& line : framer.append(stream.substr(at, length))) {
            out.lines.push_back(std::move(line));
        }
        at += length;
    }
    out.overflowed = framer.overflowed();
    out.pending = framer.pending();
    // Nothing is accepted once the bound is crossed.
    if (out.overflowed) {
        FUZZ_CHECK(framer.append("more\nlines\n").empty());
        FUZZ_CHECK(framer.pending().empty());
    }
    return out;
}

// What any correct framer must produce: the complete lines up to the first one longer than the bound.
Framed reference(std::string_view stream) {
    Framed out;
    std::size_t start = 0;
    while (true) {
        const auto feed = stream.find('\n', start);
        const auto end = feed == std::string_view::npos ? stream.size() : feed;
        if (end - start > vemdo::LineFramer::maxPendingBytes) {
            out.overflowed = true;
            return out;
        }
        if (feed == std::string_view::npos) {
            out.pending = std::string(stream.substr(start));
            return out;
        }
        out.lines.emplace_back(stream.substr(start, end - start));
        start = feed + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string stream = expandStream(data + 1, size - 1);
    const Framed expected = reference(stream);
    const Framed whole = frame(stream, 0);
    const Framed chunked = frame(stream, data[0] + 1U);
    for (const Framed* actual : {&whole, &chunked}) {
        FUZZ_CHECK(actual->overflowed == expected.overflowed);
        FUZZ_CHECK(actual->lines == expected.lines);
        FUZZ_CHECK(actual->overflowed || actual->pending == expected.pending);
    }
    return 0;
}

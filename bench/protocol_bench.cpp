// SPDX-License-Identifier: MIT
// The per-message costs on the input path before dispatch: decoding the JSON of typical messages, decoding
// a datagram, encoding a reply and cutting a receive buffer into lines.
#include "protocol/packet.h"
#include "transport/line_framer.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>

namespace {

using vemdo::Packet;

const std::string moveJson = R"({"kind":"move","dx":3.5,"dy":-1.25,"timestamp":1733500000123})";
const std::string textJson =
    R"({"kind":"text","text":"Merhaba d\u00fcnya, hello world! \u00e7\u011f\u0131","timestamp":1733500000123})";
const std::string authJson = R"({"kind":"auth","deviceID":"5C0F1A3E-8B7D-4E2A-9C61-0D2B7F4E8A19",)"
                             R"("token":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",)"
                             R"("timestamp":1733500000123})";

void decodeJson(benchmark::State& state, const std::string& json) {
    for (auto _ : state) {
        auto packet = Packet::decodeJson(json);
        benchmark::DoNotOptimize(packet);
        if (!packet) {
            state.SkipWithError("message did not decode");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * json.size()));
}

void BM_DecodeJsonMove(benchmark::State& state) {
    decodeJson(state, moveJson);
}
void BM_DecodeJsonText(benchmark::State& state) {
    decodeJson(state, textJson);
}
void BM_DecodeJsonAuth(benchmark::State& state) {
    decodeJson(state, authJson);
}

void BM_DecodeDatagram(benchmark::State& state) {
    // type 1 (move), dx 3.0, dy -2.0, stamp 123
    const std::array<std::uint8_t, 13> datagram = {1, 0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x00, 0xC0, 123, 0, 0, 0};
    for (auto _ : state) {
        auto packet = Packet::decodeDatagram(datagram);
        benchmark::DoNotOptimize(packet);
    }
}

void BM_EncodePairingReply(benchmark::State& state) {
    Packet reply;
    reply.kind = vemdo::Kind::pairResponse;
    reply.timestamp = 1733500000123;
    reply.success = true;
    reply.message = "E\xC5\x9F le\xC5\x9Ftirme ba\xC5\x9F\x61r\xC4\xB1l\xC4\xB1";
    reply.token = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
    for (auto _ : state) {
        auto text = reply.encodeJson();
        benchmark::DoNotOptimize(text);
    }
}

// One 4096-byte receive made only of whole move lines (the last one padded with white space), so the
// framer's pending tail stays empty from one iteration to the next.
std::string chunkOfMoveLines(std::size_t& lineCount) {
    constexpr std::size_t size = 4096;
    const std::string line = moveJson + "\n";
    std::string chunk;
    lineCount = 0;
    while (chunk.size() + 2 * line.size() <= size) {
        chunk += line;
        ++lineCount;
    }
    chunk += moveJson;
    chunk.append(size - chunk.size() - 1, ' ');
    chunk += '\n';
    ++lineCount;
    return chunk;
}

void BM_FrameChunk4096(benchmark::State& state) {
    std::size_t lineCount = 0;
    const std::string chunk = chunkOfMoveLines(lineCount);
    vemdo::LineFramer framer;
    for (auto _ : state) {
        auto lines = framer.append(chunk);
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lineCount));
    state.counters["lines"] = static_cast<double>(lineCount);
}

// The same chunk framed and every line decoded: the TCP path's cost per receive before dispatch.
void BM_FrameAndDecodeChunk4096(benchmark::State& state) {
    std::size_t lineCount = 0;
    const std::string chunk = chunkOfMoveLines(lineCount);
    vemdo::LineFramer framer;
    for (auto _ : state) {
        for (const auto& line : framer.append(chunk)) {
            auto packet = Packet::decodeJson(line);
            benchmark::DoNotOptimize(packet);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lineCount));
}

BENCHMARK(BM_DecodeJsonMove);
BENCHMARK(BM_DecodeJsonText);
BENCHMARK(BM_DecodeJsonAuth);
BENCHMARK(BM_DecodeDatagram);
BENCHMARK(BM_EncodePairingReply);
BENCHMARK(BM_FrameChunk4096);
BENCHMARK(BM_FrameAndDecodeChunk4096);

} // namespace

BENCHMARK_MAIN();

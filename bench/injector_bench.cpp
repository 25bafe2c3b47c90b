// SPDX-License-Identifier: MIT
// The cost of one input packet inside the injector: dispatch and arithmetic alone (into a recording
// backend), and the whole road into an X server through XTest (a private Xvfb started for the run).
#include "injection/input_injector.h"
#include "platform/input/x11_input_backend.h"

#include "tests/integration/x11_test_display.h"
#include "tests/support/fakes.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using vemdo::InputInjector;
using vemdo::Kind;
using vemdo::Packet;

Packet movePacket(float dx, float dy) {
    Packet packet;
    packet.kind = Kind::move;
    packet.dx = dx;
    packet.dy = dy;
    return packet;
}

void BM_HandleMoveRecording(benchmark::State& state) {
    vemdo::testing::RecordingInputBackend backend;
    vemdo::testing::FakeClock clock;
    vemdo::testing::ManualTaskQueue queue;
    InputInjector injector(backend, clock, queue);
    const Packet right = movePacket(1.5f, 0.5f);
    const Packet left = movePacket(-1.5f, -0.5f);
    std::size_t n = 0;
    for (auto _ : state) {
        injector.handle((n++ & 1) ? left : right);
        if (backend.records().size() >= 4096)
            backend.clear();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_HandleMoveRecording);

// One Xvfb for the whole run, started on first use.
vemdo::X11InputBackend* x11Backend(std::string& error) {
    static vemdo::testing::XvfbServer server(1920, 1080);
    static std::unique_ptr<vemdo::X11InputBackend> backend;
    if (!backend && !server.displayName().empty())
        backend = std::make_unique<vemdo::X11InputBackend>(server.displayName().c_str());
    error = !backend ? "Xvfb did not start" : backend->canPost() ? "" : backend->unavailableReason();
    return error.empty() ? backend.get() : nullptr;
}

void BM_HandleMoveX11(benchmark::State& state) {
    std::string error;
    vemdo::X11InputBackend* backend = x11Backend(error);
    if (!backend) {
        state.SkipWithError(("no X server: " + error).c_str());
        return;
    }
    vemdo::testing::FakeClock clock;
    vemdo::testing::ManualTaskQueue queue;
    InputInjector injector(*backend, clock, queue);
    const Packet right = movePacket(1.5f, 0.5f);
    const Packet left = movePacket(-1.5f, -0.5f);
    std::size_t n = 0;
    for (auto _ : state)
        injector.handle((n++ & 1) ? left : right);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_HandleMoveX11)->UseRealTime();

void BM_TypeTextX11(benchmark::State& state) {
    std::string error;
    vemdo::X11InputBackend* backend = x11Backend(error);
    if (!backend) {
        state.SkipWithError(("no X server: " + error).c_str());
        return;
    }
    vemdo::testing::FakeClock clock;
    vemdo::testing::ManualTaskQueue queue;
    InputInjector injector(*backend, clock, queue);
    Packet text;
    text.kind = Kind::text;
    text.text = "hello, w\xC3\xB6rld"; // 12 scalars, one of them through a spare keycode
    for (auto _ : state)
        injector.handle(text);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 12));
}
BENCHMARK(BM_TypeTextX11)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

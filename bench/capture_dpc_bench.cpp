// The capture DPC's work for one IN transfer (input-ring copy, render-target
// bookkeeping, silence fill) on a configured engine, 32 channels, against a
// memcpy of the same audio bytes measured in the same run.
#include "bench/engine_rig.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using sim::usb::BusSpeed;

// One configured engine per bus speed, built on first use and kept for the
// whole run (the benchmark library calls each function several times). The
// device clock stays still: the engine is configured and its transfers wait,
// so only the benchmark thread runs the DPC's work.
using Rig = bench::EngineRig;

std::vector<std::unique_ptr<Rig>>& Rigs() {
    static std::vector<std::unique_ptr<Rig>> rigs;
    return rigs;
}

Rig& RigFor(BusSpeed speed, ULONG rate) {
    for (auto& rig : Rigs())
        if (rig->device->Speed() == speed && rig->adapter->Engine().CurrentRate() == rate) return *rig;
    Rigs().push_back(std::make_unique<Rig>(speed, rate, true));
    return *Rigs().back();
}

void CaptureDpcWork(benchmark::State& state, BusSpeed speed, ULONG rate) {
    Rig& rig = RigFor(speed, rate);
    sim::MachineScope scope(rig.machine);
    if (!rig.started) {
        state.SkipWithError("engine not started");
        return;
    }
    StreamEngine& engine = rig.adapter->Engine();
    const ULONG bytes = engine.Direction(true).transferBytes;
    const ULONG audioBytes = ChunkBytesToFrames(rig.adapter->Device().BusSpeed(), rate, bytes) *
                             engine.Direction(true).bytesPerFrame;
    auto buffer = std::make_unique<CaptureBuffer>();
    for (ULONG i = 0; i < bytes; ++i) buffer->data[i] = static_cast<UCHAR>(i * 7);

    for (auto _ : state) engine.ProcessCaptureBuffer(buffer.get(), bytes);

    // Both figures again, timed by hand over the same count, so the ratio
    // compares two loops of one run.
    const std::int64_t count = state.iterations();
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    for (std::int64_t i = 0; i < count; ++i) engine.ProcessCaptureBuffer(buffer.get(), bytes);
    const double engineNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
    std::vector<UCHAR> ring(kRingSize);
    ULONG offset = 0;
    start = Clock::now();
    for (std::int64_t i = 0; i < count; ++i) {
        std::memcpy(ring.data() + offset, buffer->data, audioBytes);
        benchmark::ClobberMemory();
        offset = (offset + audioBytes) % (kRingSize - audioBytes);
    }
    const double copyNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count;
    state.counters["ns_per_transfer"] = engineNs;
    state.counters["memcpy_ns"] = copyNs;
    state.counters["ratio_to_memcpy"] = engineNs / copyNs;
    state.counters["audio_bytes"] = audioBytes;
}

BENCHMARK_CAPTURE(CaptureDpcWork, HighSpeed48k, BusSpeed::High, 48000)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(CaptureDpcWork, SuperSpeed192k, BusSpeed::Super, 192000)->Unit(benchmark::kNanosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Each machine goes on the thread that made it, before static teardown.
    while (!Rigs().empty()) Rigs().pop_back();
    return 0;
}

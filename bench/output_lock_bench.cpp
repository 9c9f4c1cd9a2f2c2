// How long the capture DPC can have to wait for the output lock while the
// streams stop and start: the longest hold of that lock (in the holder's CPU
// time, sim/kernel/lock_watch.h) over ASIO start/stop cycles, each stop
// zeroing the 1.5 MB output ring. Baseline, in the same run: the longest
// hold when the ring is zeroed under the output lock, as the playback
// worker used to do at every stop.
//   ovu_bench_output_lock --benchmark_report_aggregates_only=true
#include "bench/engine_rig.h"
#include "platform/kernel/spinlock.h"
#include "sim/kernel/lock_watch.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The maker's device at high speed, 48 kHz; the device clock stays still,
// so only starts and stops move the engine.
using Rig = bench::EngineRig;

std::unique_ptr<Rig>& TheRig() {
    static std::unique_ptr<Rig> rig;
    return rig;
}

void OutputLockWaitAcrossStops(benchmark::State& state) {
    // One device for the whole run.
    if (!TheRig()) TheRig() = std::make_unique<Rig>(sim::usb::BusSpeed::High, 48000, false);
    Rig* rig = TheRig().get();
    sim::MachineScope scope(rig->machine);
    if (!rig->ready) {
        state.SkipWithError("adapter not built");
        return;
    }
    StreamEngine& engine = rig->adapter->Engine();

    sim::WatchSpinLock(engine.OutputLock());
    std::int64_t cycles = 0;
    for (auto _ : state) {
        if (!NT_SUCCESS(engine.AsioStart()) || !NT_SUCCESS(engine.AsioStop())) {
            state.SkipWithError("start or stop failed");
            break;
        }
        ++cycles;
    }
    const sim::SpinLockStats stops = sim::WatchedSpinLock(engine.OutputLock());

    // Baseline: the same number of 1.5 MB zeroings, each under the lock.
    sim::WatchSpinLock(engine.OutputLock());
    for (std::int64_t i = 0; i < cycles; ++i) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(engine.OutputLock(), &handle);
        std::memset(engine.OutputRing(), 0, kRingSize);
        benchmark::ClobberMemory();
        KeReleaseInStackQueuedSpinLock(&handle);
    }
    const sim::SpinLockStats zeroing = sim::WatchedSpinLock(engine.OutputLock());
    sim::UnwatchSpinLock(engine.OutputLock());

    using Micro = std::chrono::duration<double, std::micro>;
    const double stopHold = Micro(stops.longestHold).count();
    const double zeroHold = Micro(zeroing.longestHold).count();
    state.counters["longest_hold_us_stops"] = stopHold;
    state.counters["longest_hold_us_ring_zeroed_under_lock"] = zeroHold;
    state.counters["ratio_to_zeroing_under_lock"] = zeroHold > 0 ? stopHold / zeroHold : 0;
    state.counters["holds_per_cycle"] = cycles > 0 ? static_cast<double>(stops.acquisitions) / cycles : 0;
}

// A holder whose virtual processor the host takes away still counts CPU
// time: rare spikes, so each figure is also given as the lowest of several
// runs, which a hold the code really makes is in every time.
BENCHMARK(OutputLockWaitAcrossStops)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200)
    ->Repetitions(7)
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The machine goes on the thread that made it, before static teardown.
    TheRig().reset();
    return 0;
}

// The capture DPC's work for one IN transfer (input-ring copy, render-target
// bookkeeping, silence fill) on a configured engine, 32 channels, against a
// memcpy of the same audio bytes measured in the same run.
#include "driver/adapter/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/stream/engine.h"
#include "platform/base/ntstatus.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using sim::usb::BusSpeed;

struct EveryChannel final : IDefaultFormatSource {
    NTSTATUS GetDefaultFormat(bool, ULONG* channels, ULONG* bits) override {
        *channels = 32;
        *bits = 32;
        return STATUS_SUCCESS;
    }
};

// One configured engine per bus speed, built on first use and kept for the
// whole run (the benchmark library calls each function several times).
struct Rig {
    sim::Machine machine;
    std::shared_ptr<sim::usb::VirtualDevice> device;
    DEVICE_OBJECT* fdo = nullptr;
    AdapterCommon* adapter = nullptr;
    EveryChannel formats;
    bool ready = false;

    Rig(BusSpeed speed, ULONG rate) {
        sim::usb::MakerDeviceOptions options;
        options.speed = speed;
        options.channels = 32;
        device = std::make_shared<sim::usb::VirtualDevice>(sim::usb::MakerDevice(options));
        sim::usb::UsbPort* port = machine.usb().Plug(device);
        DRIVER_OBJECT* driver = machine.io().CreateDriverObject(u"\\Driver\\ovubench");
        IoCreateDevice(driver, kDeviceExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        if (!NT_SUCCESS(AdapterCommon::Create(&adapter)) ||
            !NT_SUCCESS(adapter->Init(sim::usb::HostController::Pdo(port), fdo)))
            return;
        StreamEngine& engine = adapter->Engine();
        engine.SetCurrentRate(rate);
        engine.AttachDefaultFormatSource(&formats);
        // The device clock stays still: the engine is configured and its
        // transfers wait, so only the benchmark thread runs the DPC's work.
        ready = NT_SUCCESS(engine.AsioStart());
    }
    ~Rig() {
        if (adapter != nullptr) {
            if (ready) adapter->Engine().AsioStop();
            adapter->Release();
        }
        if (fdo != nullptr) IoDeleteDevice(fdo);
    }
};

std::vector<std::unique_ptr<Rig>>& Rigs() {
    static std::vector<std::unique_ptr<Rig>> rigs;
    return rigs;
}

Rig& RigFor(BusSpeed speed, ULONG rate) {
    for (auto& rig : Rigs())
        if (rig->device->Speed() == speed && rig->adapter->Engine().CurrentRate() == rate) return *rig;
    Rigs().push_back(std::make_unique<Rig>(speed, rate));
    return *Rigs().back();
}

void CaptureDpcWork(benchmark::State& state, BusSpeed speed, ULONG rate) {
    Rig& rig = RigFor(speed, rate);
    sim::MachineScope scope(rig.machine);
    if (!rig.ready) {
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

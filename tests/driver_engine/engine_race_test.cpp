// Stops and starts racing the streams: the device on its real-time clock,
// an ASIO client reading and writing on its own thread, the capture DPC and
// the workers, while the test stops and starts the engine over and over.
// Run under ThreadSanitizer (label "concurrency"): a capture DPC of an old
// run touching the new run's ring positions, or a write into the output ring
// while a stop zeroes it, is a reported race.
#include "tests/driver_engine/engine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace engine_test {
namespace {

// The system-audio side of the capture DPC, held shut on request: a capture
// DPC that is inside CopyCapture waits there until the gate opens.
struct CaptureGate final : ISystemAudioPath {
    std::atomic<bool> shut{false};
    std::atomic<bool> inside{false};
    std::atomic<int> copies{0};

    ULONG CopyCapture(const UCHAR*, ULONG) override {
        inside = true;
        while (shut) std::this_thread::yield();
        inside = false;
        ++copies;
        return 0;
    }
    ULONG MixRender(UCHAR*, ULONG, ULONG, ULONG) override { return 0; }
    void StreamAdvanced(bool, ULONG) override {}
    void PlaybackRestarted() override {}
};

TEST_F(EngineTest, AStopReturnsOnlyOnceTheCaptureDpcsOfItsRunAreDone) {
    Build({BusSpeed::High, 48000});
    CaptureGate gate;
    engine->AttachSystemAudio(&gate);
    engine->SetSystemAudioActive(true, true);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    StepTransfers(3);

    // One more IN transfer: its capture DPC is held inside the copy.
    gate.shut = true;
    device->AdvanceFrames(FramesPerIn());
    ASSERT_TRUE(Eventually([&] { return gate.inside.load(); }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        sim::MachineScope scope(machine);
        EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
        stopped = true;
    });
    // The stop cannot be done while its run's DPC is.
    for (int i = 0; i < 50 && !stopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(stopped);
    gate.shut = false;
    stopper.join();
    EXPECT_EQ(gate.copies, 4);
    EXPECT_FALSE(gate.inside);

    // A new run starts from zero: nothing of the old one is left to land.
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    machine.kernel().DrainDpcs();
    const auto rings = engine->Rings();
    EXPECT_EQ(rings.capturedFrames, 0u);
    EXPECT_EQ(rings.inputWritePos, 0u);
    EXPECT_EQ(rings.renderGroup, 0u);
    EXPECT_EQ(rings.playCursor, 0u);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    engine->AttachSystemAudio(nullptr);
}

TEST_F(EngineTest, StopsAndStartsRaceTheClientAndTheDpcs) {
    Build({BusSpeed::High, 48000});
    CaptureGate systemAudio;  // never shut: the capture DPC calls out as with a WaveRT stream
    engine->AttachSystemAudio(&systemAudio);
    engine->SetSystemAudioActive(true, true);
    AsioHandle handle;
    Attach(handle);
    handle.MapTick();
    device->SetRealTime(1.0);

    const ULONG bufferBytes = 64 * 128;
    std::atomic<bool> quit{false};
    std::atomic<int> served{0};
    std::atomic<int> written{0};
    // The client's turn: what IOCTL_UAC2_ASIO_START does to the handle's
    // record is never done while the same handle reads or writes.
    std::mutex turn;
    // An ASIO client: a read, then a write of the same size, whatever the
    // engine answers. Reads left waiting at a stop are cancelled.
    std::thread client([&] {
        sim::MachineScope scope(machine);
        std::vector<UCHAR> out(bufferBytes, 0x11);
        while (!quit) {
            std::lock_guard hold(turn);
            auto read = handle.QueueRead(bufferBytes);
            while (!read->done) {
                if (quit) engine->CancelRequests(&handle.file, kCancelThisHandle);
                std::this_thread::yield();
            }
            if (read->status == STATUS_SUCCESS) ++served;
            if (handle.Write(*engine, out.data(), bufferBytes).first == STATUS_SUCCESS) ++written;
        }
    });
    const auto startRun = [&] {
        // A read waiting on a stopped engine holds the turn: cancel it.
        while (!turn.try_lock()) engine->CancelRequests(nullptr, kCancelAllHandles);
        handle.MarkStarted();
        engine->RecomputeRunning();
        turn.unlock();
        return engine->AsioStart();
    };

    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(startRun(), STATUS_SUCCESS) << cycle;
        // Let a few transfers complete; the client reads and writes meanwhile.
        const ULONG64 from = engine->CapturedFrames();
        ASSERT_TRUE(Eventually([&] { return engine->CapturedFrames() >= from + 4 * FramesPerIn(); })) << cycle;
        ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS) << cycle;
        // Stopped: the ring is silent and stays so, whatever the client writes.
        const UCHAR* ring = engine->OutputRing();
        ASSERT_EQ(std::count(ring, ring + kRingSize, 0), static_cast<std::ptrdiff_t>(kRingSize)) << cycle;
        EXPECT_EQ(engine->Rings().layout.groupCount, 0u);
    }
    quit = true;
    engine->CancelRequests(nullptr, kCancelAllHandles);
    client.join();
    device->SetStepped();
    EXPECT_GT(served, 0);
    EXPECT_GT(written, 0);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    engine->AttachSystemAudio(nullptr);
    RecordProperty("readsServed", served.load());
    RecordProperty("writesTaken", written.load());
}

}  // namespace
}  // namespace engine_test

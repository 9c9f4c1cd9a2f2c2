// The engine with the device on its real-time clock: the workers, the
// completion context, the DPCs and an ASIO client thread run concurrently.
#include "tests/driver_engine/engine_fixture.h"

#include <gtest/gtest.h>

namespace engine_test {
namespace {

struct RealTimeCase {
    BusSpeed speed;
    ULONG rate;
};

class RealTime : public EngineTest, public ::testing::WithParamInterface<RealTimeCase> {};

TEST_P(RealTime, KeepsEveryTransferInFlightAndLosesNoInTransfer) {
    const RealTimeCase& c = GetParam();
    Build({c.speed, c.rate});
    AsioHandle handle;
    Attach(handle);
    handle.MapTick();
    handle.MarkStarted();
    engine->RecomputeRunning();
    device->SetRealTime(1.0);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    // The device streams from the moment its setting is selected; the chunks
    // before the first submission are the start-up's, not losses.
    ASSERT_TRUE(Primed());
    const ULONG64 startFrames = engine->CapturedFrames();
    device->ResetCounters();

    // An ASIO client: one buffer read, one buffer written, over and over.
    const ULONG bufferFrames = engine->BufferSize();
    const ULONG bpf = engine->Direction(true).bytesPerFrame;
    const ULONG64 target = 3ull * c.rate;  // about three seconds of frames
    ULONG reads = 0;
    std::vector<UCHAR> out(bufferFrames * bpf, 0x01);
    for (;;) {
        auto read = handle.QueueRead(bufferFrames * bpf);
        ASSERT_TRUE(Eventually([&] { return read->done.load(); }));
        ASSERT_EQ(read->status, STATUS_SUCCESS);
        ++reads;
        const auto [status, written] = handle.Write(*engine, out.data(), static_cast<ULONG>(out.size()));
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(written, out.size());
        if (ReadAcquire64(reinterpret_cast<volatile LONG64*>(&handle.context.stampedFrame)) >=
            static_cast<LONG64>(target))
            break;
    }
    const auto in = device->Counters(kInEndpoint);
    const auto outCounters = device->Counters(kOutEndpoint);
    const auto stream = device->Stream();
    EXPECT_EQ(in.maxInFlight, kCaptureTransfersInFlight);
    EXPECT_EQ(outCounters.maxInFlight, kPlaybackTransfersInFlight);
    EXPECT_EQ(in.succeeded, in.completed);
    EXPECT_EQ(stream.overrunChunks, 0u);
    EXPECT_EQ(ReadAcquire(&engine->Counters().captureErrors), 0);
    EXPECT_EQ(ReadAcquire(&engine->Counters().recoveries), 0);
    EXPECT_GT(ReadAcquire(&handle.tick), 0);
    // How far the capture DPC fell behind is the host's scheduling, not the
    // engine's: it is counted and shown, not asserted.
    RecordProperty("captureBuffersDropped", ReadAcquire(&engine->Counters().captureBuffersDropped));
    RecordProperty("reads", static_cast<int>(reads));

    ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    device->SetStepped();
    // Every frame the device captured reached the engine's frame clock, but
    // those in the transfers the stop cut short.
    const ULONG64 captured = engine->CapturedFrames();
    EXPECT_GE(captured - startFrames + kCaptureTransfersInFlight * FramesPerIn(), device->Stream().framesCaptured);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(SuperSpeedAndHighSpeed, RealTime,
                         ::testing::Values(RealTimeCase{BusSpeed::Super, 192000},
                                           RealTimeCase{BusSpeed::High, 44100}));

}  // namespace
}  // namespace engine_test

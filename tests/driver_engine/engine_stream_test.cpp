// The engine against the virtual device on a stepped clock: transfer and ring
// layouts, start and stop counting, the input ring's contents, faults and
// recovery, and the streaming path's allocations.
#include "tests/driver_engine/engine_fixture.h"
#include "sim/kernel/pool.h"
#include "sim/usb/device/sample_format.h"

#include <gtest/gtest.h>

namespace engine_test {
namespace {

struct LayoutCase {
    BusSpeed speed;
    ULONG rate;
    std::optional<std::uint8_t> channels;
    ULONG d, groupBytes, groupCount, stride, slots, framesPerIn;
};

class Layouts : public EngineTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layouts, TransfersAndRingMatchTheTable) {
    const LayoutCase& c = GetParam();
    Build({c.speed, c.rate, c.channels});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    const auto capture = engine->Direction(true);
    const auto playback = engine->Direction(false);
    const auto rings = engine->Rings();
    EXPECT_EQ(capture.chunksPerTransfer, c.d);
    EXPECT_EQ(playback.transferBytes, c.groupBytes);
    EXPECT_EQ(rings.layout.groupBytes, c.groupBytes);
    EXPECT_EQ(rings.layout.groupCount, c.groupCount);
    EXPECT_EQ(rings.layout.stride, c.stride);
    EXPECT_EQ(rings.layout.slots, c.slots);
    EXPECT_EQ(rings.silenceLag, playback.channels * 4096);

    // The device sees IN transfers of d chunks and OUT transfers of one slot.
    StepTransfers(3);
    const auto in = device->Counters(kInEndpoint);
    EXPECT_EQ(in.maxInFlight, kCaptureTransfersInFlight);
    EXPECT_EQ(device->Counters(kOutEndpoint).maxInFlight, kPlaybackTransfersInFlight);
    EXPECT_EQ(in.bytes, 3ull * c.groupBytes);
    EXPECT_EQ(engine->Rings().capturedFrames, 3ull * c.framesPerIn);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    EverySpeedAndRateClass, Layouts,
    ::testing::Values(LayoutCase{BusSpeed::Super, 48000, {}, 3, 3072, 512, 196608, 8, 24},
                      LayoutCase{BusSpeed::Super, 96000, {}, 4, 4096, 384, 262144, 6, 32},
                      LayoutCase{BusSpeed::Super, 192000, {}, 4, 4096, 384, 262144, 6, 32},
                      LayoutCase{BusSpeed::High, 44100, {}, 6, 3072, 512, 196608, 8, 24},
                      LayoutCase{BusSpeed::High, 48000, {}, 6, 3072, 512, 196608, 8, 24},
                      LayoutCase{BusSpeed::High, 96000, {}, 8, 4096, 384, 262144, 6, 32},
                      LayoutCase{BusSpeed::High, 192000, 16, 8, 4096, 384, 262144, 6, 64},
                      LayoutCase{BusSpeed::Full, 44100, {}, 2, 128, 12288, 262144, 6, 16}));

TEST(LayoutTable, OutputLayoutPicksTheLargestDividingStride) {
    OutputLayout layout{};
    ASSERT_TRUE(ComputeOutputLayout(3072, &layout));
    EXPECT_EQ(layout.stride, 196608u);
    // 0x180000 / 5000 leaves a remainder: refused.
    EXPECT_FALSE(ComputeOutputLayout(5000, &layout));
    EXPECT_FALSE(ComputeOutputLayout(0, &layout));
}

TEST_F(EngineTest, AnEndpointPacketOtherThanTheChunkSizeIsRefused) {
    for (std::uint16_t packet : {std::uint16_t{1024}, std::uint16_t{256}}) {
        Build({BusSpeed::High, 48000, {}, packet});
        EXPECT_EQ(engine->AsioStart(), STATUS_UNSUCCESSFUL) << packet;
        EXPECT_EQ(engine->Direction(true).users, 0u);
        EXPECT_EQ(engine->Direction(false).users, 0u);
        EXPECT_EQ(adapter->Device().CaptureInterface->CurrentAlt, 0);
        EXPECT_EQ(adapter->Device().PlaybackInterface->CurrentAlt, 0);
        EXPECT_EQ(device->Counters(kInEndpoint).submitted, 0u);
        adapter->Release();
        adapter = nullptr;
        IoDeleteDevice(fdo);
        fdo = nullptr;
        device.reset();
    }
}

TEST_F(EngineTest, AnIsochronousDeviceIsRefusedBeforeAnySettingIsSelected) {
    Build({BusSpeed::High, 48000, {}, {}, true});
    EXPECT_EQ(engine->AsioStart(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(engine->Direction(true).users, 0u);
    EXPECT_EQ(engine->Direction(false).users, 0u);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    for (StreamingInterface* stream : {adapter->Device().CaptureInterface, adapter->Device().PlaybackInterface}) {
        EXPECT_EQ(stream->CurrentAlt, 0);
        EXPECT_EQ(device->CurrentAlternate(stream->InterfaceNumber), 0);
    }
    EXPECT_EQ(device->Counters(kInEndpoint).submitted, 0u);
    EXPECT_EQ(device->Counters(kOutEndpoint).submitted, 0u);
    EXPECT_EQ(ReadAcquire(&engine->Counters().recoveries), 0);
}

TEST_F(EngineTest, AUsbAudio10DeviceStreamsBothDirections) {
    sim::usb::GenericUac1Options options;
    options.isochronous = false;
    Build({.rate = 44100, .description = sim::usb::GenericUac1Device(options)});
    device->ClearControlLog();
    // No clock entity: the clock is valid at once, nothing is polled.
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    for (const auto& record : device->ControlLog()) EXPECT_EQ(record.setup.bmRequestType & 0x60, 0) << int(record.setup.bRequest);
    ASSERT_TRUE(Primed());
    const auto capture = engine->Direction(true);
    EXPECT_EQ(capture.transferBytes, 2u * 64);
    EXPECT_EQ(capture.bytesPerFrame, 2u * 2);
    EXPECT_EQ(engine->Direction(false).transferBytes, 2u * 64);

    StepTransfers(10);
    const auto rings = engine->Rings();
    EXPECT_EQ(rings.capturedFrames, 160u);
    EXPECT_EQ(rings.inputWritePos, 160u * 4);
    // The counter pattern, frame after frame, on both channels.
    const sim::usb::SampleLayout layout{2, 2, 16};
    const auto first = sim::usb::DecodeCounterSample(rings.inputRing, layout);
    for (ULONG frame = 0; frame < 160; ++frame)
        for (ULONG channel : {0u, 1u}) {
            const auto code = sim::usb::DecodeCounterSample(rings.inputRing + frame * 4 + channel * 2, layout);
            ASSERT_EQ(code.frameModulo, (first.frameModulo + frame) % sim::usb::CounterFrameModulus(16)) << frame;
            ASSERT_EQ(code.channel, channel);
        }
    // The device played from the OUT transfers all along.
    const auto stream = device->Stream();
    EXPECT_GE(stream.framesPlayed, 150u);
    EXPECT_EQ(stream.underrunPackets, 0u);
    EXPECT_EQ(stream.overrunChunks, 0u);
    EXPECT_EQ(device->Counters(OutEndpoint()).inFlight, kPlaybackTransfersInFlight);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, StartsCountUsersAndOnlyTheLastStopEndsTheWorkers) {
    Build({BusSpeed::High, 48000});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 2u);
    EXPECT_EQ(engine->Direction(true).users, 2u);

    // A second ASIO start: two more users, the same two workers.
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Direction(true).users, 4u);
    EXPECT_EQ(engine->Direction(false).users, 4u);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 2u);
    StepTransfers(2);

    ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    EXPECT_TRUE(engine->DirectionRunning(true));
    EXPECT_TRUE(engine->DirectionRunning(false));
    StepTransfers(2);
    EXPECT_EQ(engine->Direction(true).outstanding, kCaptureTransfersInFlight);

    ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    EXPECT_FALSE(engine->DirectionRunning(true));
    EXPECT_FALSE(engine->DirectionRunning(false));
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    EXPECT_EQ(engine->Direction(true).outstanding, 0u);
    EXPECT_EQ(device->Counters(kInEndpoint).inFlight, 0u);
    EXPECT_EQ(device->Counters(kOutEndpoint).inFlight, 0u);
    EXPECT_EQ(adapter->Device().CaptureInterface->CurrentAlt, 0);
    EXPECT_EQ(adapter->Device().PlaybackInterface->CurrentAlt, 0);
    EXPECT_EQ(engine->Rings().layout.stride, 0u);

    // A stop with nobody left changes nothing; a new start streams again.
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Direction(true).users, 0u);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    StepTransfers(1);
    EXPECT_EQ(engine->Rings().capturedFrames, FramesPerIn());
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, ReleasingTheAdapterWhileStreamingEndsTheWorkersAndFreesEverything) {
    Build({BusSpeed::High, 48000});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    StepTransfers(3);
    adapter->Release();
    adapter = nullptr;
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    EXPECT_EQ(device->Counters(kInEndpoint).inFlight, 0u);
    EXPECT_EQ(device->Counters(kOutEndpoint).inFlight, 0u);
    EXPECT_EQ(machine.kernel().pool().Stats(PoolTag("PcCr")).liveBlocks, 0u);
    EXPECT_EQ(machine.kernel().pool().Stats(PoolTag("USBA")).liveBlocks, 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(EngineTest, InputRingHoldsExactlyTheCapturedFramesAcrossTheWrap) {
    Build({BusSpeed::High, 44100});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    const ULONG bpf = engine->Direction(true).bytesPerFrame;
    ASSERT_EQ(bpf, 32u * 4);
    const ULONG ringFrames = kRingSize / bpf;
    const sim::usb::SampleLayout layout{32, 4, 32};

    // The first captured frame's device frame, from the first IN transfer.
    StepTransfers(1);
    const auto first = sim::usb::DecodeCounterSample(engine->Rings().inputRing, layout);
    EXPECT_EQ(first.channel, 0u);

    // Past one lap and a bit: 24 frames per transfer.
    StepTransfers(ringFrames / 24 + 37);
    machine.kernel().DrainDpcs();
    const auto rings = engine->Rings();
    const ULONG64 captured = rings.capturedFrames;
    EXPECT_EQ(captured, (ringFrames / 24 + 38) * 24ull);
    EXPECT_EQ(rings.inputWritePos, (captured * bpf) % kRingSize);
    EXPECT_EQ(rings.baseFrame, captured - rings.inputWritePos / bpf);

    const std::uint64_t modulus = sim::usb::CounterFrameModulus(32);
    for (ULONG frame = 0; frame < ringFrames; frame += 97) {
        const ULONG offset = frame * bpf;
        // Offsets behind the write position hold this lap, the rest the last.
        const ULONG64 engineFrame = offset < rings.inputWritePos ? rings.baseFrame + frame
                                                                 : rings.baseFrame - ringFrames + frame;
        for (ULONG channel : {0u, 5u, 31u}) {
            const auto code = sim::usb::DecodeCounterSample(rings.inputRing + offset + channel * 4, layout);
            ASSERT_EQ(code.frameModulo, (first.frameModulo + engineFrame) % modulus) << "frame " << frame;
            ASSERT_EQ(code.channel, channel);
        }
    }
    EXPECT_EQ(device->Stream().overrunChunks, 0u);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, AZeroByteCompletionFreesItsBufferAndStillTicks) {
    Build({BusSpeed::High, 48000});
    AsioHandle handle;
    Attach(handle);
    handle.MapTick();
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    device->InjectShortIn(kInEndpoint, 1, 0);
    StepTransfers(3);
    // Four completions: the empty one and three full ones; the empty one
    // moved no frames.
    EXPECT_EQ(handle.tick, 4);
    EXPECT_EQ(engine->Rings().capturedFrames, 3ull * FramesPerIn());
    ULONG free = 0;
    ULONG completed = 0;
    engine->CaptureBufferCounts(&free, &completed);
    EXPECT_EQ(free + kCaptureTransfersInFlight, kCaptureBufferCount);
    EXPECT_EQ(completed, 0u);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, AShortTransferCopiesOnlyTheChunksItHolds) {
    Build({BusSpeed::High, 48000});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    device->InjectShortIn(kInEndpoint, 1, 2);
    StepTransfers(2);
    const auto rings = engine->Rings();
    // 2 chunks of 4 frames, then a whole transfer of 6 chunks.
    EXPECT_EQ(rings.capturedFrames, 8u + 24u);
    EXPECT_EQ(rings.inputWritePos, (8u + 24u) * 128u);
    EXPECT_EQ(ReadAcquire(&engine->Counters().shortCaptures), 1);
    const sim::usb::SampleLayout layout{32, 4, 32};
    const auto a = sim::usb::DecodeCounterSample(rings.inputRing, layout);
    const auto b = sim::usb::DecodeCounterSample(rings.inputRing + 31 * 128, layout);
    EXPECT_EQ(b.frameModulo, a.frameModulo + 31);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

// Keeps the machine's DPC thread busy so completed buffers pile up.
struct DpcBlocker {
    KDPC dpc{};
    std::atomic<bool> release{false};
    std::atomic<bool> running{false};
    static void Routine(KDPC*, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<DpcBlocker*>(context);
        self->running = true;
        while (!self->release) std::this_thread::yield();
    }
    DpcBlocker() {
        KeInitializeDpc(&dpc, Routine, this);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        Eventually([&] { return running.load(); });
    }
};

TEST_F(EngineTest, WithEveryBufferWaitingTheOldestIsReused) {
    Build({BusSpeed::High, 48000});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    const ULONG frames = FramesPerIn();
    {
        DpcBlocker blocker;
        // 32 buffers fill the completed list (8 more are in flight); each
        // further completion's resubmission takes the oldest waiting one.
        for (int i = 0; i < 35; ++i) device->AdvanceFrames(frames);
        ULONG free = 1;
        ULONG completed = 0;
        engine->CaptureBufferCounts(&free, &completed);
        EXPECT_EQ(free, 0u);
        EXPECT_EQ(completed, kCaptureBufferCount - kCaptureTransfersInFlight);
        EXPECT_EQ(ReadAcquire(&engine->Counters().captureBuffersDropped), 3);
        EXPECT_EQ(engine->Direction(true).outstanding, kCaptureTransfersInFlight);
        blocker.release = true;
        machine.kernel().DrainDpcs();
    }
    // The ring starts with the fourth transfer's frames: the three oldest
    // were dropped, loudly.
    const sim::usb::SampleLayout layout{32, 4, 32};
    const auto rings = engine->Rings();
    EXPECT_EQ(rings.inputWritePos, 32u * frames * 128u);
    EXPECT_EQ(rings.capturedFrames, 35ull * frames);
    EXPECT_EQ(rings.baseFrame, 3ull * frames);
    const auto first = sim::usb::DecodeCounterSample(rings.inputRing, layout);
    const auto last = sim::usb::DecodeCounterSample(rings.inputRing + (32 * frames - 1) * 128, layout);
    EXPECT_EQ(last.frameModulo - first.frameModulo, 32u * frames - 1);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, AClockThatNeverBecomesValidFailsTheStartAndLeavesNoUser) {
    Build({BusSpeed::High, 48000});
    for (UCHAR id : sim::usb::kMakerClockSourceIds) device->SetClockNeverValid(id, true);
    EXPECT_EQ(engine->AsioStart(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->Direction(true).users, 0u);
    EXPECT_EQ(engine->Direction(false).users, 0u);
    EXPECT_FALSE(engine->DirectionRunning(true));
    EXPECT_FALSE(engine->DirectionRunning(false));
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    EXPECT_EQ(adapter->Device().CaptureInterface->CurrentAlt, 0);
    EXPECT_EQ(adapter->Device().PlaybackInterface->CurrentAlt, 0);
    EXPECT_EQ(device->Counters(kInEndpoint).submitted, 0u);
}

TEST_F(EngineTest, ADisconnectedDeviceStopsBothWorkersAndRefusesLaterStarts) {
    Build({BusSpeed::High, 48000});
    AsioHandle handle;
    Attach(handle);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    StepTransfers(2);
    device->InjectTransferErrors(kInEndpoint, 1, USBD_STATUS_DEVICE_GONE);
    device->AdvanceFrames(FramesPerIn());
    machine.kernel().DrainDpcs();
    EXPECT_TRUE(engine->DeviceGone());
    EXPECT_TRUE(Eventually([&] { return machine.kernel().RunningSystemThreads() == 0; }));
    EXPECT_EQ(engine->Direction(true).outstanding, 0u);
    EXPECT_TRUE(Eventually([&] { return engine->Direction(false).outstanding == 0; }));
    EXPECT_EQ(device->Counters(kInEndpoint).inFlight, 0u);
    EXPECT_EQ(device->Counters(kOutEndpoint).inFlight, 0u);

    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Direction(true).users, 0u);
    EXPECT_NE(engine->AsioStart(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Direction(true).users, 0u);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
}

TEST_F(EngineTest, AStalledEndpointIsResetAndStreamingResumesOnTheSameFrameClock) {
    Build({BusSpeed::High, 48000});
    AsioHandle handle;
    Attach(handle);
    handle.MapTick();
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    StepTransfers(4);
    const ULONG64 before = engine->Rings().capturedFrames;
    const ULONG writeBefore = engine->Rings().inputWritePos;

    device->StallEndpoint(kInEndpoint);
    EXPECT_TRUE(Eventually([&] { return ReadAcquire(&engine->Counters().recoveries) >= 1; }));
    // Recovered: the pipe was reset and every transfer is back in flight.
    ASSERT_TRUE(Primed());
    EXPECT_GE(device->Counters(kInEndpoint).resets, 1u);
    EXPECT_FALSE(engine->DeviceGone());
    EXPECT_GE(ReadAcquire(&engine->Counters().captureErrors), 1);

    StepTransfers(5);
    const auto rings = engine->Rings();
    // The frame clock went on from where it was: nothing was reset, and the
    // ring grew by exactly the frames that arrived.
    EXPECT_EQ(rings.capturedFrames, before + 5ull * FramesPerIn());
    EXPECT_EQ(rings.inputWritePos, writeBefore + 5 * FramesPerIn() * 128);
    EXPECT_EQ(rings.baseFrame, rings.capturedFrames - rings.inputWritePos / 128);
    EXPECT_EQ(device->Counters(kOutEndpoint).inFlight, kPlaybackTransfersInFlight);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, AFailedPlaybackTransferIsRecoveredWithoutStoppingCapture) {
    Build({BusSpeed::High, 48000});
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    device->InjectTransferErrors(kOutEndpoint, 1, USBD_STATUS_STALL_PID);
    // One OUT transfer lasts 1536 frames: enough steps to reach the fault.
    StepTransfers(70);
    EXPECT_TRUE(Eventually([&] { return ReadAcquire(&engine->Counters().recoveries) >= 1; }));
    ASSERT_TRUE(Primed());
    EXPECT_GE(ReadAcquire(&engine->Counters().playbackErrors), 1);
    EXPECT_EQ(ReadAcquire(&engine->Counters().captureErrors), 0);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(EngineTest, AfterWarmUpTheStreamingPathTakesNothingFromThePool) {
    Build({BusSpeed::High, 48000});
    AsioHandle handle;
    Attach(handle);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    handle.MarkStarted();
    StepTransfers(200);
    const std::uint64_t pool = PoolAllocations();
    const ULONG contexts = adapter->Device().ContextAllocations();
    const ULONG misses = adapter->Device().ContextMisses();
    std::vector<std::unique_ptr<ReadRequest>> reads;
    for (int i = 0; i < 50; ++i) {
        reads.push_back(handle.QueueRead(48 * 128));
        StepTransfers(2);
    }
    EXPECT_EQ(PoolAllocations(), pool);
    EXPECT_GT(adapter->Device().ContextAllocations(), contexts + 100);
    EXPECT_EQ(adapter->Device().ContextMisses(), misses);
    EXPECT_TRUE(reads[40]->done);
    engine->CancelRequests(nullptr, kCancelAllHandles);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace engine_test

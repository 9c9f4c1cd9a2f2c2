// The ASIO side of the engine on a stepped clock: margins, reads served from
// the input ring, writes placed by the frame stamp, the silence filler, the
// handle list operations and the device settings.
#include "tests/driver_engine/engine_fixture.h"
#include "sim/usb/device/sample_format.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace engine_test {
namespace {

const sim::usb::SampleLayout kLayout32{32, 4, 32};

struct MarginCase {
    BusSpeed speed;
    ULONG rate;
    ULONG buffer;
    ULONG margin;
};

class Margins : public EngineTest, public ::testing::WithParamInterface<MarginCase> {};

TEST_P(Margins, TheStartComputesTheOutputMargin) {
    const MarginCase& c = GetParam();
    Build({c.speed, c.rate, c.speed == BusSpeed::High && c.rate > 96000 ? std::optional<std::uint8_t>(16) : std::nullopt});
    ASSERT_EQ(engine->SetBufferSize(c.buffer), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetOutputMargin(4000), STATUS_SUCCESS);
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    ULONG margin = 1;
    ASSERT_EQ(engine->GetOutputMargin(&margin), STATUS_SUCCESS);
    EXPECT_EQ(margin, c.margin);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BySpeedRateAndBuffer, Margins,
                         ::testing::Values(MarginCase{BusSpeed::High, 48000, 256, 272},
                                           MarginCase{BusSpeed::High, 48000, 64, 48},
                                           MarginCase{BusSpeed::High, 48000, 128, 96},
                                           MarginCase{BusSpeed::Super, 192000, 512, 708},
                                           MarginCase{BusSpeed::Super, 192000, 352, 176},
                                           MarginCase{BusSpeed::Full, 44100, 256, 0}));

class Transport : public EngineTest {
protected:
    AsioHandle handle;

    void SetUp() override {
        Build({BusSpeed::High, 48000});
        Attach(handle);
        handle.MarkStarted();
        engine->RecomputeRunning();
        ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
        ASSERT_TRUE(Primed());
    }
    void TearDown() override {
        engine->CancelRequests(nullptr, kCancelAllHandles);
        engine->AsioStop();
        handle.Detach();
        EngineTest::TearDown();
    }
    std::uint64_t FrameAt(const UCHAR* bytes) { return sim::usb::DecodeCounterSample(bytes, kLayout32).frameModulo; }
};

TEST_F(Transport, TheFirstReadStartsAtTheWritePositionAndIsFilledAcrossPasses) {
    auto zero = handle.QueueRead(0);
    auto read = handle.QueueRead(60 * 128);  // two and a half IN transfers
    StepTransfers(1);
    EXPECT_TRUE(zero->done);
    EXPECT_EQ(zero->status, STATUS_SUCCESS);
    // The pass that first met the read only synchronised it.
    EXPECT_FALSE(read->done);
    EXPECT_EQ(handle.context.inputReadPos, 24u * 128);
    StepTransfers(2);
    EXPECT_FALSE(read->done);
    EXPECT_EQ(read->irp->IoStatus.Information, 48u * 128);
    StepTransfers(1);
    ASSERT_TRUE(read->done);
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    EXPECT_EQ(read->information, 60u * 128);

    // Frames 24..83 of the capture, in order, every channel.
    const std::uint64_t ringStart = FrameAt(engine->Rings().inputRing);
    for (ULONG f = 0; f < 60; ++f)
        for (ULONG c : {0u, 31u}) {
            const auto code = sim::usb::DecodeCounterSample(read->data.data() + f * 128 + c * 4, kLayout32);
            ASSERT_EQ(code.frameModulo, ringStart + 24 + f);
            ASSERT_EQ(code.channel, c);
        }
    // The stamp names the frame after the read's last one; bit 0 is spent.
    EXPECT_EQ(handle.context.stampedFrame, 84u);
    EXPECT_EQ(handle.context.syncFlags & 1, 0);
}

TEST_F(Transport, ReadsOfSeveralHandlesAreServedInOrder) {
    AsioHandle other;
    Attach(other);
    other.MarkStarted();
    auto a1 = handle.QueueRead(24 * 128);
    auto a2 = handle.QueueRead(24 * 128);
    auto b = other.QueueRead(12 * 128);
    StepTransfers(2);
    EXPECT_TRUE(a1->done);
    EXPECT_FALSE(a2->done);
    EXPECT_TRUE(b->done);
    StepTransfers(1);
    EXPECT_TRUE(a2->done);
    EXPECT_EQ(FrameAt(a2->data.data()), FrameAt(a1->data.data()) + 24);
}

TEST_F(Transport, WritesLandAtTheStampPlusTheMarginAndMoveByWholeWords) {
    const UCHAR early[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Before any read completed there is no stamp to place it by.
    EXPECT_EQ(handle.Write(*engine, early, sizeof(early)).first, STATUS_UNSUCCESSFUL);

    auto read = handle.QueueRead(24 * 128);
    StepTransfers(2);
    ASSERT_TRUE(read->done);
    const ULONG64 stamp = handle.context.stampedFrame;
    ULONG margin = 0;
    engine->GetOutputMargin(&margin);
    ASSERT_EQ(margin, 272u);  // high speed, 48 kHz, 256 frames

    const UCHAR bytes[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    const auto [status, written] = handle.Write(*engine, bytes, sizeof(bytes));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
    const ULONG position = static_cast<ULONG>(((stamp + margin) * 128) % kRingSize);
    EXPECT_EQ(handle.context.outputWritePos, position + 4);
    EXPECT_EQ(std::memcmp(engine->OutputRing() + position, bytes, 4), 0);
    EXPECT_EQ(engine->OutputRing()[position + 4], 0);

    // The next write follows on, whatever later reads stamp.
    auto again = handle.QueueRead(24 * 128);
    StepTransfers(1);
    ASSERT_TRUE(again->done);
    const ULONG word = 0xA5A5A5A5;
    EXPECT_EQ(handle.Write(*engine, &word, 4).second, 4u);
    EXPECT_EQ(std::memcmp(engine->OutputRing() + position + 4, &word, 4), 0);
    EXPECT_EQ(handle.context.outputWritePos, position + 8);

    std::vector<UCHAR> huge(kRingSize + 4);
    EXPECT_EQ(handle.Write(*engine, huge.data(), static_cast<ULONG>(huge.size())).first, STATUS_UNSUCCESSFUL);
}

TEST_F(Transport, AStopZeroesTheOutputRingAndLaterWritesAreRefused) {
    auto read = handle.QueueRead(24 * 128);
    StepTransfers(2);
    ASSERT_TRUE(read->done);
    std::vector<UCHAR> buffer(256 * 128, 0x5A);
    ASSERT_EQ(handle.Write(*engine, buffer.data(), static_cast<ULONG>(buffer.size())).first, STATUS_SUCCESS);
    const ULONG end = handle.context.outputWritePos;
    ASSERT_EQ(engine->OutputRing()[end - 1], 0x5A);

    ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS);
    const UCHAR* ring = engine->OutputRing();
    EXPECT_EQ(std::count(ring, ring + kRingSize, 0), static_cast<std::ptrdiff_t>(kRingSize));
    // The handle still runs, but the streams do not: the ring has no room.
    EXPECT_EQ(handle.Write(*engine, buffer.data(), static_cast<ULONG>(buffer.size())),
              (std::pair<NTSTATUS, ULONG_PTR>{STATUS_UNSUCCESSFUL, 0}));
    EXPECT_EQ(std::count(ring, ring + kRingSize, 0), static_cast<std::ptrdiff_t>(kRingSize));
    EXPECT_EQ(handle.context.outputWritePos, end);
}

TEST_F(Transport, TheSilenceFillerTrailsThePlayCursorByTheLag) {
    std::memset(engine->OutputRing(), 0x7F, kRingSize);
    StepTransfers(200);
    const auto rings = engine->Rings();
    const ULONG step = 32 * 24 * 4;  // one group of 24 frames
    EXPECT_EQ(rings.silenceLag, 32u * 4096);
    EXPECT_EQ(rings.playCursor, 200 * step);
    // Caught up: one step behind the lag line, everything before it zero.
    const ULONG line = (rings.playCursor + kRingSize - rings.silenceLag) % kRingSize;
    EXPECT_EQ((line + kRingSize - rings.silenceFill) % kRingSize, step);
    EXPECT_EQ(engine->OutputRing()[rings.silenceFill - 1], 0);
    EXPECT_EQ(engine->OutputRing()[rings.silenceFill], 0x7F);
    EXPECT_EQ(engine->OutputRing()[kRingSize - rings.silenceLag - 1], 0x7F);
}

TEST_F(Transport, TheSilenceFillerStopsAtARunningClientsWritePosition) {
    StepTransfers(100);
    const ULONG fill = engine->Rings().silenceFill;
    // A client writing a little ahead of the filler.
    handle.context.outputWritePos = (fill + 4000) % kRingSize;
    StepTransfers(100);
    EXPECT_EQ(engine->Rings().silenceFill, (fill + 4000) % kRingSize);
    // Not running: it is ignored and the filler goes on.
    handle.context.running = 0;
    StepTransfers(3);
    EXPECT_NE(engine->Rings().silenceFill, (fill + 4000) % kRingSize);
}

TEST_F(Transport, CancelTakesTheReadsOfOneHandleOrOfAll) {
    AsioHandle other;
    Attach(other);
    other.MarkStarted();
    auto mine = handle.QueueRead(1000 * 128);
    auto theirs = other.QueueRead(1000 * 128);
    engine->CancelRequests(&handle.file, kCancelThisHandle);
    ASSERT_TRUE(mine->done);
    EXPECT_EQ(mine->status, STATUS_CANCELLED);
    EXPECT_EQ(mine->information, 0u);
    EXPECT_FALSE(theirs->done);
    engine->CancelRequests(nullptr, kCancelAllHandles);
    EXPECT_TRUE(theirs->done);
    EXPECT_EQ(theirs->status, STATUS_CANCELLED);
}

TEST_F(Transport, BlockingCompletesTheTickRequestAndUnblockingClearsTheFlag) {
    const auto pending = handle.PendTick();
    ReadRequest& tick = *pending;
    StepTransfers(3);
    EXPECT_EQ(handle.tick, 3);

    engine->BlockAsioHandles();
    EXPECT_EQ(handle.context.blocked, 1);
    ASSERT_TRUE(tick.done);
    EXPECT_EQ(tick.status, STATUS_SUCCESS);
    EXPECT_EQ(tick.information, 0u);
    EXPECT_EQ(handle.context.tickRequest, nullptr);
    StepTransfers(1);
    EXPECT_EQ(handle.tick, 3);  // unmapped
    engine->UnblockAsioHandles();
    EXPECT_EQ(handle.context.blocked, 0);
}

TEST_F(Transport, SettingsAreCheckedAndRefusedWhileStreaming) {
    struct Case {
        ULONG frames;
        NTSTATUS status;
    };
    // A handle runs at 256: only 256 is accepted; the range applies first.
    for (Case c : {Case{23, STATUS_INVALID_PARAMETER}, Case{4097, STATUS_INVALID_PARAMETER},
                   Case{512, STATUS_UNSUCCESSFUL}, Case{256, STATUS_SUCCESS}})
        EXPECT_EQ(engine->SetBufferSize(c.frames), c.status) << c.frames;
    EXPECT_EQ(engine->SetOutputMargin(4097), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->SetOutputMargin(4096), STATUS_SUCCESS);
    EXPECT_EQ(engine->SetOutputMargin(0), STATUS_SUCCESS);
    ULONG value = 7;
    EXPECT_EQ(engine->ReadAndClearCounter(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(engine->GetUsbSpeed(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(engine->SetClockSource(36, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->SetClockSource(41, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->SetClockSource(0x26, FALSE), STATUS_UNSUCCESSFUL);  // streams run

    handle.context.running = 0;
    engine->AsioStop();
    EXPECT_EQ(engine->SetBufferSize(24), STATUS_SUCCESS);
    EXPECT_EQ(engine->SetBufferSize(4096), STATUS_SUCCESS);
    EXPECT_EQ(engine->SetClockSource(0x26, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(engine->SelectedClockSource(), 0x26u);
    EXPECT_EQ(device->SelectorPin(sim::usb::kMakerClockSelector), 2);
}

TEST_F(EngineTest, AttachRefusesARecordWithoutTheTag) {
    Build({BusSpeed::High, 48000});
    AsioHandle handle;
    handle.context.tag = 0;
    EXPECT_EQ(engine->AttachHandle(&handle.context), STATUS_INVALID_PARAMETER);
    handle.context.tag = kAsioHandleTag;
    Attach(handle);
    handle.context.running = 1;
    engine->RecomputeRunning();
    EXPECT_TRUE(engine->AnyHandleRunning());
    handle.Detach();
    engine->RecomputeRunning();
    EXPECT_FALSE(engine->AnyHandleRunning());
}

// The endpoint records ask for 8 channels of 16 bits; the capture direction
// has no format until a playback format is set.
class OtherDirectionFormat : public EngineTest {
protected:
    void SetUp() override {
        Build({BusSpeed::High, 48000});
        formats.channels = 8;
        formats.bits = 16;
    }
    void ExpectCaptureFormat(ULONG channels, ULONG bits) {
        const auto capture = engine->Direction(true);
        EXPECT_TRUE(capture.formatSet);
        EXPECT_EQ(capture.channels, channels);
        EXPECT_EQ(capture.bits, bits);
        EXPECT_EQ(capture.rate, 48000u);
    }
};

TEST_F(OtherDirectionFormat, IsRefusedAnotherRateAndChangesWhileTheRateMoved) {
    EXPECT_EQ(engine->SetFormat(false, 1, 2, 32, 44100), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(engine->SetFormat(false, 1, 2, 32, 48000), STATUS_SUCCESS);
    // The other direction took its default format, at the same rate.
    EXPECT_EQ(formats.calls, 1);
    ExpectCaptureFormat(8, 16);

    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    // A forced rate change while the streams run only records the new rate.
    engine->SetCurrentRate(96000);
    // A running direction keeps the rate it streams at; the old rate is no
    // longer the device's.
    EXPECT_EQ(engine->SetFormat(true, 1, 2, 32, 96000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->SetFormat(false, 1, 2, 32, 48000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->Direction(true).rate, 48000u);
    ASSERT_EQ(engine->AsioStop(), STATUS_SUCCESS);

    // Stopped, both directions take the new rate: the next start runs at it.
    ASSERT_EQ(engine->AsioStart(), STATUS_SUCCESS);
    EXPECT_EQ(engine->Direction(true).rate, 96000u);
    EXPECT_EQ(engine->Direction(false).rate, 96000u);
    EXPECT_EQ(engine->Direction(true).streamRate, 96000u);
    EXPECT_EQ(engine->Direction(true).chunksPerTransfer, 8u);
    EXPECT_EQ(engine->AsioStop(), STATUS_SUCCESS);
}

TEST_F(OtherDirectionFormat, WithoutADefaultTakesTheRequestedOne) {
    formats.status = STATUS_OBJECT_NAME_NOT_FOUND;  // no endpoint record
    ASSERT_EQ(engine->SetFormat(false, 1, 2, 24, 48000), STATUS_SUCCESS);
    EXPECT_EQ(formats.calls, 1);
    ExpectCaptureFormat(2, 24);
}

}  // namespace
}  // namespace engine_test

// Rate and clock-source changes against running streams: the engine's
// worker threads run against the device's real-time clock.
#include "rate_fixture.h"

#include "driver/stream/asio_file_context.h"
#include "platform/base/ntstatus.h"

namespace rate_test {
namespace {

TEST_F(RateTest, StreamsRefuseChangesUnlessForcedWithoutAsio) {
    auto* port = PlugMaker();
    AdapterCommon& adapter = Adapter(port);
    StreamEngine& engine = adapter.Engine();
    // Playback workers only see their stop once an OUT transfer completes.
    Device(port).SetRealTime();
    // As the system audio engine's streams do: formats, then one user on
    // each direction.
    ASSERT_EQ(engine.SetFormat(true, 1, 2, 24, 44100), STATUS_SUCCESS);
    ASSERT_EQ(engine.SetFormat(false, 1, 2, 24, 44100), STATUS_SUCCESS);
    ASSERT_EQ(engine.StartStreaming(), STATUS_SUCCESS);
    ASSERT_TRUE(engine.DirectionRunning(true));

    EXPECT_EQ(adapter.SetSampleRate(44100, FALSE), STATUS_SUCCESS);  // the current rate again
    EXPECT_EQ(adapter.SetSampleRate(48000, FALSE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(adapter.SetClockSource(0x26, FALSE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(adapter.SetClockSource(0x26, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rate(port), 44100u);
    EXPECT_EQ(adapter.SetSampleRate(48000, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Rate(port), 48000u);
    // The running streams keep framing chunks at the rate the device runs.
    EXPECT_EQ(engine.Direction(true).streamRate, 44100u);
    EXPECT_EQ(engine.Direction(false).streamRate, 44100u);

    // Once an "\asio" handle runs, force is no help.
    AsioFileContext handle{};
    handle.tag = kAsioHandleTag;
    handle.running = 1;
    InitializeListHead(&handle.readQueue);
    KeInitializeSpinLock(&handle.readQueueLock);
    KeInitializeSpinLock(&handle.tickLock);
    ASSERT_EQ(engine.AttachHandle(&handle), STATUS_SUCCESS);
    EXPECT_EQ(adapter.SetSampleRate(96000, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Rate(port), 48000u);
    engine.DetachHandle(&handle);

    ASSERT_EQ(engine.StopStreaming(), STATUS_SUCCESS);
    EXPECT_FALSE(engine.DirectionRunning(true));
    EXPECT_EQ(adapter.SetSampleRate(96000, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(adapter.SetClockSource(0x26, FALSE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace rate_test

// Asynchronous transfers on a device that runs in real time: completions
// arrive on the device's thread at DISPATCH_LEVEL and resubmit from there
// while the test thread submits on the same request layer.
#include "model_fixture.h"

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/irql.h"

#include <atomic>
#include <thread>

namespace {

constexpr int kTransfers = 200;

struct Stream {
    UsbAudioDevice* model = nullptr;
    std::vector<UCHAR> buffer;
    ULONG size = 0;
    std::atomic<int> completed{0};
    std::atomic<int> failed{0};
    std::atomic<int> submitted{0};

    static void Done(NTSTATUS status, ULONG, PVOID context, PVOID) {
        auto* self = static_cast<Stream*>(context);
        if (!NT_SUCCESS(status) || KeGetCurrentIrql() != DISPATCH_LEVEL) self->failed++;
        self->completed++;
        // Resubmitting here keeps the count above zero until the last one.
        if (self->submitted.fetch_add(1) < kTransfers) self->Read();
    }
    // The caller has counted the submission.
    void Read() {
        if (!NT_SUCCESS(model->ReadCapture(buffer.data(), size, Done, this))) failed++;
    }
};

struct Writes {
    std::atomic<int> completed{0};
    std::atomic<int> failed{0};
    static void Done(NTSTATUS status, ULONG, PVOID context, PVOID) {
        auto* self = static_cast<Writes*>(context);
        if (!NT_SUCCESS(status)) self->failed++;
        self->completed++;
    }
};

using DriverModelThreads = ModelTest;

TEST_F(DriverModelThreads, CompletionsOnTheDeviceThreadResubmitWhileTheTestSubmits) {
    StartConfigured(usb::MakerDevice());
    AppliedFormat capture{};
    AppliedFormat playback{};
    ASSERT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 48000, 6, &capture), STATUS_SUCCESS);
    ASSERT_EQ(model->ApplyFormat(false, kFormatTagPcm, 2, 16, 48000, 6, &playback), STATUS_SUCCESS);

    Stream in;
    in.model = model.get();
    in.size = capture.TransferSize;
    in.buffer.resize(in.size);
    Writes out;
    std::vector<UCHAR> silence(playback.TransferSize);

    device->SetRealTime(16.0);
    for (int i = 0; i < 3; ++i) {
        in.submitted++;
        in.Read();
    }
    // Playback from this thread, at most three in flight.
    int written = 0;
    while (written < kTransfers) {
        if (written - out.completed < 3) {
            ASSERT_EQ(model->WritePlayback(silence.data(), nullptr, playback.TransferSize, Writes::Done, &out),
                      STATUS_SUCCESS);
            ++written;
        } else {
            std::this_thread::yield();
        }
    }
    // A guard against a hang only; nothing here is timed.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -600000000LL;  // 60 s
    ASSERT_EQ(KeWaitForSingleObject(model->IoZeroEvent(), Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    device->SetStepped();

    EXPECT_EQ(out.completed, kTransfers);
    EXPECT_EQ(out.failed, 0);
    EXPECT_EQ(in.completed, kTransfers);
    EXPECT_EQ(in.failed, 0);
    EXPECT_EQ(model->OutstandingTransfers(), 0u);
}

}  // namespace

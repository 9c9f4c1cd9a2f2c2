// The device thread: the clock moving in real time, and transfers submitted,
// aborted and completed from several threads at once.
#include "device_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace sim::usb::test {
namespace {

using namespace std::chrono_literals;

constexpr UCHAR kOut = 0x01;
constexpr UCHAR kIn = 0x81;

// Waits for `done` with a bound far beyond any expected time: a liveness
// guard, not a timing assertion.
template <class Predicate>
bool Eventually(Predicate done) {
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(RealTime, ClockMovesAndStreamsUntilStepped) {
    for (const double factor : {1.0, 4.0}) {
        SCOPED_TRACE(factor);
        auto device = StreamingMakerDevice(BusSpeed::High);
        device->CaptureCounter();
        TransferLoop in(*device, kIn, 6 * 512, 8);
        TransferLoop out(*device, kOut, 4 * 512, 3);
        in.Start();
        out.Start();
        EXPECT_FALSE(device->Counters(kIn).completed);
        device->SetRealTime(factor);
        EXPECT_FALSE(device->AdvanceFrames(1));  // the thread owns the clock
        ASSERT_TRUE(Eventually([&] { return in.Completions().size() >= 20 && out.Completions().size() >= 10; }));
        device->SetStepped();

        // Completions resubmit at once, so nothing overran, and the frames of
        // consecutive transfers follow one another.
        EXPECT_EQ(device->Stream().overrunChunks, 0u);
        const auto done = in.Completions();
        for (std::size_t k = 0; k < done.size(); ++k)
            ASSERT_EQ(DecodeCounterSample(done[k].data.data(), SampleLayout{32, 2, 16}).frameModulo, (24 * k) % 1024) << k;

        const std::uint64_t stopped = device->ClockFrame();
        EXPECT_GE(stopped, 24 * done.size());
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(device->ClockFrame(), stopped);
        EXPECT_TRUE(device->AdvanceFrames(24));
        EXPECT_EQ(device->ClockFrame(), stopped + 24);
    }
}

TEST(RealTime, ConcurrentSubmittersAndAbortsCompleteEachTransferOnce) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->SetRealTime(8.0);
    constexpr int kThreads = 3;
    constexpr int kPerThread = 150;
    // One flag per transfer: a second completion would find it set.
    std::vector<std::atomic<int>> completions(kThreads * kPerThread);
    std::vector<std::vector<UCHAR>> buffers(kThreads * kPerThread, std::vector<UCHAR>(512));
    std::atomic<bool> submitting{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int n = t * kPerThread + i;
                const UCHAR ep = (i % 2) ? kIn : kOut;
                device->SubmitBulk(ep, buffers[n].data(), 512, 0, [&completions, n](USBD_STATUS, ULONG) {
                    completions[n].fetch_add(1);
                });
                if (i % 16 == 0) std::this_thread::yield();
            }
        });
    std::thread aborter([&] {
        while (submitting.load()) {
            device->AbortPipe(kIn);
            std::this_thread::sleep_for(1ms);
        }
    });
    for (auto& thread : threads) thread.join();
    submitting = false;
    aborter.join();
    device->AbortPipe(kIn);
    device->AbortPipe(kOut);
    device->SetStepped();

    for (std::size_t n = 0; n < completions.size(); ++n) ASSERT_EQ(completions[n].load(), 1) << n;
    for (UCHAR ep : {kIn, kOut}) {
        const EndpointCounters c = device->Counters(ep);
        EXPECT_EQ(c.submitted, static_cast<std::uint64_t>(kThreads * kPerThread / 2));
        EXPECT_EQ(c.completed, c.submitted);
        EXPECT_EQ(c.inFlight, 0u);
    }
}

TEST(RealTime, ClockSettlesAfterItsRealSettleTime) {
    DeviceBehaviour behaviour;
    behaviour.clocks.push_back(Clock(kMakerClockSourceIds[0], 20ms));
    auto device = StreamingMakerDevice(BusSpeed::High, 96000, behaviour);
    const auto valid = [&] {
        return Get(*device, EntityRequest(true, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_CS_CLOCK_VALID_CONTROL, 0,
                                   kMakerClockSourceIds[0], 1))
            .data;
    };
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(valid(), std::vector<UCHAR>{1});
}

}  // namespace
}  // namespace sim::usb::test

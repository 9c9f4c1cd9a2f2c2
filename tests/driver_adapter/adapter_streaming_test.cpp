// The adapter of a device the driver started through PnP, while its streams
// run for an "\asio" handle: power down and back, surprise removal, and the
// device unplugged. The handle's requests go through the adapter's
// IAsioStreamControl, as the "\asio" dispatch hands them over.
#include "driver/adapter/adapter.h"
#include "platform/base/ntstatus.h"
#include "sim/kernel/debug_output.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/support/asio_handle.h"
#include "tests/support/machine_test.h"
#include "tests/support/wave_miniport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using sim::usb::HostController;
using test_support::AsioHandle;
using test_support::Eventually;

constexpr UCHAR kOutEndpoint = 0x01;
constexpr UCHAR kInEndpoint = 0x81;

class AdapterStreaming : public test_support::MachineTest {
protected:
    std::shared_ptr<sim::usb::VirtualDevice> device =
        std::make_shared<sim::usb::VirtualDevice>(sim::usb::MakerDevice());
    sim::usb::UsbPort* port = nullptr;
    AdapterCommon* adapter = nullptr;
    IAsioStreamControl* control = nullptr;  // one reference, as an "\asio" handle holds
    AsioHandle handle;

    void SetUp() override {
        test_support::WaveMiniports() = {};
        InstallPackage(test_support::WithWaveMiniport(test_support::NewWaveMiniport));
        port = Plug(device);
        ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
        adapter = &Adapter(port);
        ASSERT_EQ(adapter->QueryInterface(IID_IAsioStreamControl, reinterpret_cast<PVOID*>(&control)), STATUS_SUCCESS);
        device->CaptureCounter();
        handle.directIo = true;
        ASSERT_EQ(handle.Attach(*control), STATUS_SUCCESS);
    }
    void TearDown() override {
        // As the close of the handle: its tick request and its reference.
        handle.context.tickRequest = nullptr;
        handle.Detach();
        if (control != nullptr) control->Release();
        if (port != nullptr) machine.usb().Unplug(port);
    }

    // IOCTL_UAC2_ASIO_START on the handle.
    NTSTATUS StartHandle() {
        handle.MarkStarted();
        control->RecomputeRunning();
        return control->Start();
    }
    bool Primed() { return test_support::Primed(*adapter, *device); }
    ULONG FramesPerIn() {
        const auto capture = adapter->Engine().Direction(true);
        return ChunkBytesToFrames(adapter->Device().BusSpeed(), capture.streamRate, capture.transferBytes);
    }
    void StepTransfers(ULONG transfers) {
        for (ULONG i = 0; i < transfers; ++i) {
            device->AdvanceFrames(FramesPerIn());
            machine.kernel().DrainDpcs();
        }
    }
    // The clock-selector SET CUR requests in the device's control log.
    std::vector<int> SelectorPins() {
        std::vector<int> pins;
        for (const auto& record : device->ControlLog())
            if (record.setup.bmRequestType == 0x21 && record.setup.bRequest == 1 && record.setup.wValue == 0x0100 &&
                (record.setup.wIndex >> 8) == sim::usb::kMakerClockSelector && record.data.size() == 1)
                pins.push_back(record.data[0]);
        return pins;
    }
};

TEST_F(AdapterStreaming, PowerDownBlocksAndCancelsAndTheNextStartReappliesTheClock) {
    ASSERT_EQ(StartHandle(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    auto tick = handle.PendTick();
    auto read = handle.QueueRead(100 * 128);
    StepTransfers(2);
    EXPECT_EQ(handle.tick, 2);
    ASSERT_FALSE(read->done);

    // Leaving D0: the handle is blocked, its tick request completes (the
    // client's sign that streaming ended) and its read is cancelled.
    ASSERT_EQ(machine.pnp().SetDevicePower(HostController::Node(port), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(adapter->PowerState(), PowerDeviceD3);
    EXPECT_EQ(handle.context.blocked, 1);
    ASSERT_TRUE(tick->done);
    EXPECT_EQ(tick->status, STATUS_SUCCESS);
    EXPECT_EQ(tick->information, 0u);
    EXPECT_EQ(handle.context.tickRequest, nullptr);
    ASSERT_TRUE(read->done);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_EQ(read->information, 0u);
    // The client stops; the streams end.
    EXPECT_EQ(control->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);

    // Back in D0: unblocked, and the clock is chosen again at the next start,
    // forced, before any setting is selected.
    ASSERT_EQ(machine.pnp().SetDevicePower(HostController::Node(port), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(adapter->PowerState(), PowerDeviceD0);
    EXPECT_EQ(handle.context.blocked, 0);
    EXPECT_FALSE(adapter->PowerDownPending());
    device->ClearControlLog();
    ASSERT_EQ(StartHandle(), STATUS_SUCCESS);
    EXPECT_EQ(SelectorPins(), std::vector<int>{1});  // pin 1 was selected already: only force sends it
    const auto log = device->ControlLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().setup.bmRequestType, 0x21);
    ASSERT_TRUE(Primed());
    StepTransfers(2);
    EXPECT_EQ(adapter->Engine().Rings().capturedFrames, 2u * FramesPerIn());
    EXPECT_EQ(control->Stop(), STATUS_SUCCESS);

    // Once only: the start after that leaves the selector alone.
    device->ClearControlLog();
    ASSERT_EQ(StartHandle(), STATUS_SUCCESS);
    EXPECT_TRUE(SelectorPins().empty());
    EXPECT_EQ(control->Stop(), STATUS_SUCCESS);
}

TEST_F(AdapterStreaming, UnpluggedWhileStreamingEverythingEndsAndStartAndStopSayDeletePending) {
    ASSERT_EQ(StartHandle(), STATUS_SUCCESS);
    ASSERT_TRUE(Primed());
    auto read = handle.QueueRead(100 * 128);
    StepTransfers(3);
    ASSERT_FALSE(read->done);

    // The device is pulled: its transfers fail, then PnP reports the
    // surprise removal and removes the device.
    machine.kernel().debugger().Clear();
    machine.usb().Unplug(port);
    port = nullptr;
    ASSERT_TRUE(read->done);
    EXPECT_EQ(read->status, STATUS_CANCELLED);
    EXPECT_TRUE(adapter->SurpriseRemoved());
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);
    EXPECT_EQ(adapter->Engine().Direction(true).users, 0u);
    EXPECT_EQ(adapter->Engine().Direction(false).users, 0u);
    EXPECT_EQ(device->Counters(kInEndpoint).inFlight, 0u);
    EXPECT_EQ(device->Counters(kOutEndpoint).inFlight, 0u);
    EXPECT_EQ(test_support::WaveMiniports().live, 0);
    EXPECT_EQ(machine.kernel().debugger().Text(), "UsbAudio!DriverUnload\n");

    // The handle still holds the adapter: start and stop are refused.
    EXPECT_EQ(StartHandle(), STATUS_DELETE_PENDING);
    EXPECT_EQ(control->Stop(), STATUS_DELETE_PENDING);
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u);

    // Its close releases the last reference, and nothing is left.
    handle.Detach();
    control->Release();
    control = nullptr;
    EXPECT_EQ(LiveBlocks("PcCr"), 0u);
    EXPECT_EQ(LiveBlocks("USBA"), 0u);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

}  // namespace

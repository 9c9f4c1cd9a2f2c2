#include "tests/support/machine_test.h"

#include "driver/core/device_extension.h"
#include "platform/kernel/object.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "tests/support/asio_handle.h"

namespace test_support {

DriverServices WithWaveMiniport(MiniportFactory wave) {
    DriverServices services = DriverOwnServices();
    services.WaveMiniport = wave;
    return services;
}

MachineTest::~MachineTest() {
    // No worker of the streaming engine outlives the test that started it.
    EXPECT_EQ(machine.kernel().RunningSystemThreads(), 0u) << "system threads still running at the end of the test";
}

void MachineTest::InstallPackage(const DriverServices& services, const package::InstallOptions& options) {
    services_.reset();
    services_.emplace(services);
    package::Install(machine, options);
}

sim::usb::UsbPort* MachineTest::PlugMaker(const sim::usb::MakerDeviceOptions& options) {
    return Plug(sim::usb::MakerDevice(options));
}

sim::usb::UsbPort* MachineTest::Plug(const sim::usb::Description& description, sim::usb::DeviceBehaviour behaviour) {
    return Plug(std::make_shared<sim::usb::VirtualDevice>(description, std::move(behaviour)));
}

sim::usb::UsbPort* MachineTest::Plug(std::shared_ptr<sim::usb::VirtualDevice> device) {
    return machine.usb().Plug(std::move(device));
}

DEVICE_OBJECT* MachineTest::Fdo(sim::usb::UsbPort* port) {
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(sim::usb::HostController::Pdo(port));
    ObDereferenceObject(top);
    return top;
}

AdapterCommon& MachineTest::Adapter(sim::usb::UsbPort* port) {
    IAdapterCommon* adapter = ExtensionOf(Fdo(port))->Adapter;
    EXPECT_NE(adapter, nullptr) << "the device has no adapter: not started";
    return *static_cast<AdapterCommon*>(adapter);
}

sim::usb::VirtualDevice& MachineTest::Device(sim::usb::UsbPort* port) {
    return sim::usb::HostController::Device(port);
}

std::uint64_t MachineTest::LiveBlocks(const char (&tag)[5]) {
    return machine.kernel().pool().Stats(PoolTag(tag)).liveBlocks;
}

bool Primed(AdapterCommon& adapter, sim::usb::VirtualDevice& device) {
    StreamEngine& engine = adapter.Engine();
    const UCHAR in = adapter.Device().CaptureInterface->Alts[1].DataEndpoint->bEndpointAddress;
    const UCHAR out = adapter.Device().PlaybackInterface->Alts[1].DataEndpoint->bEndpointAddress;
    return Eventually([&] {
        return engine.Direction(true).outstanding == kCaptureTransfersInFlight &&
               engine.Direction(false).outstanding == kPlaybackTransfersInFlight &&
               device.Counters(in).inFlight == kCaptureTransfersInFlight &&
               device.Counters(out).inFlight == kPlaybackTransfersInFlight;
    });
}

}  // namespace test_support

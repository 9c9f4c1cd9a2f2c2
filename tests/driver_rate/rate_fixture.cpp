#include "rate_fixture.h"

#include "driver/core/device_extension.h"
#include "driver/core/driver_entry.h"
#include "driver/core/driver_services.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "sim/pnp/pnp_manager.h"

namespace rate_test {

namespace {

constexpr char16_t kMakerId[] = u"USB\\VID_7A3C&PID_0B51&MI_00";

DEVICE_OBJECT* Fdo(sim::usb::UsbPort* port) {
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(sim::usb::HostController::Pdo(port));
    ObDereferenceObject(top);
    return top;
}

}  // namespace

void RateTest::SetUp() {
    Miniports() = {};
    Services() = {nullptr, test_support::NewWaveMiniport, nullptr};
    machine.pnp().InstallDriver(u"ovuac2audio", DriverEntry, {kMakerId});
}

void RateTest::TearDown() { Services() = {}; }

sim::usb::UsbPort* RateTest::Plug(const sim::usb::MakerDeviceOptions& options) {
    return machine.usb().Plug(std::make_shared<sim::usb::VirtualDevice>(sim::usb::MakerDevice(options)));
}

void RateTest::Restart(sim::usb::UsbPort* port) {
    machine.usb().CyclePort(port);
    machine.usb().WaitForEnumeration();
}

AdapterCommon& RateTest::Adapter(sim::usb::UsbPort* port) {
    IAdapterCommon* adapter = ExtensionOf(Fdo(port))->Adapter;
    EXPECT_NE(adapter, nullptr);
    return *static_cast<AdapterCommon*>(adapter);
}

sim::usb::VirtualDevice& RateTest::Device(sim::usb::UsbPort* port) { return sim::usb::HostController::Device(port); }

std::u16string RateTest::HardwareKey(sim::usb::UsbPort* port) const {
    return sim::usb::HostController::Node(port)->EnumKeyPath() + u"\\Device Parameters";
}

std::u16string RateTest::Endpoint(sim::usb::UsbPort* port, sim::audio::Flow flow) {
    const auto endpoint =
        sim::audio::FindEndpoint(machine.registry(), flow, sim::usb::HostController::Node(port)->InstanceId());
    EXPECT_TRUE(endpoint.has_value());
    return endpoint.value_or(u"");
}

ULONG RateTest::Rate(sim::usb::UsbPort* port) {
    ULONG rate = 0;
    EXPECT_EQ(Adapter(port).GetSampleRate(&rate), STATUS_SUCCESS);
    return rate;
}

std::vector<int> RateTest::SelectorPins(sim::usb::UsbPort* port) {
    std::vector<int> pins;
    for (const auto& record : Device(port).ControlLog())
        if (record.setup.bmRequestType == 0x21 && record.setup.bRequest == 1 && record.setup.wValue == 0x0100 &&
            (record.setup.wIndex >> 8) == sim::usb::kMakerClockSelector && record.data.size() == 1)
            pins.push_back(record.data[0]);
    return pins;
}

}  // namespace rate_test

#include "rate_fixture.h"

#include "platform/base/ntstatus.h"
#include "sim/pnp/pnp_manager.h"

namespace rate_test {

void RateTest::SetUp() {
    Miniports() = {};
    InstallPackage(test_support::WithWaveMiniport(test_support::NewWaveMiniport));
}

void RateTest::Restart(sim::usb::UsbPort* port) {
    machine.usb().CyclePort(port);
    machine.usb().WaitForEnumeration();
}

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

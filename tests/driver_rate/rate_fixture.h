// The driver loaded through PnP on the maker's device, with the system-audio
// test miniport.
#pragma once

#include "driver/core/adapter.h"
#include "sim/audio/endpoints.h"
#include "sim/machine.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "tests/support/wave_miniport.h"

#include <gtest/gtest.h>

#include <string>

namespace rate_test {

inline test_support::WaveMiniportCounts& Miniports() { return test_support::WaveMiniports(); }

class RateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::usb::UsbPort* Plug(const sim::usb::MakerDeviceOptions& options = {});
    // Removal and arrival of the same device on the same port.
    void Restart(sim::usb::UsbPort* port);

    static AdapterCommon& Adapter(sim::usb::UsbPort* port);
    static sim::usb::VirtualDevice& Device(sim::usb::UsbPort* port);
    std::u16string HardwareKey(sim::usb::UsbPort* port) const;
    // The device's endpoint record of the flow (its key name).
    std::u16string Endpoint(sim::usb::UsbPort* port, sim::audio::Flow flow);
    ULONG Rate(sim::usb::UsbPort* port);
    // Selector SET CUR requests (the pin numbers sent) in the control log.
    static std::vector<int> SelectorPins(sim::usb::UsbPort* port);

    sim::Machine machine;
};

}  // namespace rate_test

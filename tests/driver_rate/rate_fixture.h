// The driver loaded through PnP on the maker's device, with a system-audio
// test miniport that registers with the adapter and withdraws its subdevice
// when the adapter asks, as the WaveRT miniport does.
#pragma once

#include "driver/core/adapter.h"
#include "sim/audio/endpoints.h"
#include "sim/machine.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <string>

namespace rate_test {

// How many test miniports live, and how often one registered with its adapter.
struct MiniportCounts {
    int live = 0;
    int registered = 0;
    bool registerWithAdapter = true;  // false: the adapter never learns of it
};
MiniportCounts& Miniports();

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

// The driver loaded through PnP on the maker's device, with the system-audio
// test miniport.
#pragma once

#include "driver/adapter/adapter.h"
#include "sim/audio/endpoints.h"
#include "tests/support/machine_test.h"
#include "tests/support/wave_miniport.h"

#include <gtest/gtest.h>

#include <string>

namespace rate_test {

inline test_support::WaveMiniportCounts& Miniports() { return test_support::WaveMiniports(); }

class RateTest : public test_support::MachineTest {
protected:
    void SetUp() override;

    // Removal and arrival of the same device on the same port.
    void Restart(sim::usb::UsbPort* port);

    std::u16string HardwareKey(sim::usb::UsbPort* port) const;
    // The device's endpoint record of the flow (its key name).
    std::u16string Endpoint(sim::usb::UsbPort* port, sim::audio::Flow flow);
    ULONG Rate(sim::usb::UsbPort* port);
    // Selector SET CUR requests (the pin numbers sent) in the control log.
    static std::vector<int> SelectorPins(sim::usb::UsbPort* port);
};

}  // namespace rate_test

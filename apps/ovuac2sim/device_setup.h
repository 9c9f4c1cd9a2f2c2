// The virtual device a run plugs, from a profile or a descriptor dump, and
// what the installation binds the driver to.
#pragma once

#include "apps/ovuac2sim/options.h"
#include "sim/usb/device/virtual_device.h"

#include <memory>
#include <string>
#include <vector>

namespace ovusim {

struct MadeDevice {
    std::shared_ptr<sim::usb::VirtualDevice> device;  // null on error
    std::string error;
    std::string speedRule;  // what decided the bus speed
    // A dump without string descriptors answers placeholders for these.
    bool placeholderStrings = false;
    std::vector<unsigned> placeholderIndices;
};

MadeDevice MakeDevice(const Options& options);

// The hardware ids the package's installation binds the driver to for this
// device: its function at interface 0, composite or not.
std::vector<std::u16string> HardwareIds(const sim::usb::VirtualDevice& device);

}  // namespace ovusim

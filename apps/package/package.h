// The package's installation into a simulated machine, as the device
// installer leaves Windows after the package's INF: the driver's service
// key with its "\Parameters" key, the hardware ids the driver serves, and
// the description its devices then carry. The simulator and the tests
// install through here; each deliverable that joins the package adds its
// step (the service, the ASIO driver's registration, the control panel's
// path, the co-installer).
#pragma once

#include "sim/machine.h"

#include <string>
#include <vector>

namespace package {

// The driver's service name (its key under ...\CurrentControlSet\Services).
inline constexpr char16_t kDriverService[] = u"ovuac2audio";
// The description the INF gives the devices it installs.
inline constexpr char16_t kDeviceDescription[] = u"OVU USB Audio 2.0";

// The hardware ids the INF lists: the maker's interface.
const std::vector<std::u16string>& DriverHardwareIds();

struct InstallOptions {
    // More hardware ids for the driver, as a developer's own installation
    // adds a device (class-compliant test devices, dumps of other devices).
    std::vector<std::u16string> extraHardwareIds{};
};

// Installs the package. Devices already present and without a driver bind
// to it at once; the service key's "\Parameters" exists afterwards, where
// an installation may put the driver's margin tables.
void Install(sim::Machine& machine, const InstallOptions& options = {});

}  // namespace package

// One place for what the driver's tests share: a simulated machine per
// test, the package installed into it (apps/package) with the test's own
// parts in force, devices plugged, the driver's objects of a started device
// reached, and the streams primed. Fixtures derive from MachineTest; every
// test ends in its destructor, where the checks that hold for all of them
// live.
#pragma once

#include "apps/package/package.h"
#include "driver/adapter/adapter.h"
#include "driver/core/driver_services.h"
#include "driver/stream/engine.h"
#include "sim/machine.h"
#include "sim/usb/device/virtual_device.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

// The driver's own parts with the "Wave" slot given to `wave` (a test
// miniport, or the simulator's stand-in).
DriverServices WithWaveMiniport(MiniportFactory wave);

class MachineTest : public ::testing::Test {
protected:
    MachineTest() = default;
    // Every test ends here, after its own TearDown and members: the checks
    // that hold for every test of the driver go in this one place.
    ~MachineTest() override;

    // The package, with `services` in force for the rest of the test
    // (another install replaces them). Devices present bind at once.
    void InstallPackage(const DriverServices& services = DriverOwnServices(),
                        const package::InstallOptions& options = {});

    // Plugs the maker's device, a described device, or a device made by
    // the test. With the package installed, a device it serves is started.
    sim::usb::UsbPort* PlugMaker(const sim::usb::MakerDeviceOptions& options = {});
    sim::usb::UsbPort* Plug(const sim::usb::Description& description, sim::usb::DeviceBehaviour behaviour = {});
    sim::usb::UsbPort* Plug(std::shared_ptr<sim::usb::VirtualDevice> device);

    // A started device's driver objects.
    static DEVICE_OBJECT* Fdo(sim::usb::UsbPort* port);
    static AdapterCommon& Adapter(sim::usb::UsbPort* port);
    static sim::usb::VirtualDevice& Device(sim::usb::UsbPort* port);

    // Live pool blocks of a tag.
    std::uint64_t LiveBlocks(const char (&tag)[5]);

private:
    // Declared before the machine, so it ends after it: the driver stays
    // loaded in the machine until the machine goes.
    std::optional<DriverServicesOverride> services_;

protected:
    sim::Machine machine;
};

// Both directions of the adapter's engine have all their transfers in
// flight, and `device` holds them too (the engine counts a transfer before
// its worker submits it). False after a generous bound.
bool Primed(AdapterCommon& adapter, sim::usb::VirtualDevice& device);

}  // namespace test_support

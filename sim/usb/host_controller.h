// The simulated USB host controller and hub: the bus driver that owns a
// physical device object per plugged device, serves the URBs a function
// driver sends to it, and reports arrivals and removals to PnP.
//
// Synchronous URBs (descriptors, configuration, interface selection,
// class and vendor requests, pipe abort and reset) complete inside the
// dispatch call. Bulk transfers go to the virtual device and complete later,
// on the thread that runs the device's clock (the test's AdvanceFrames call
// or the device thread), raised to DISPATCH_LEVEL: that is the controller's
// own context, and the completion routine runs there exactly once.
#pragma once

#include "platform/io/device.h"
#include "sim/usb/device/virtual_device.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
class Machine;
class PnpNode;
}  // namespace sim

namespace sim::usb {

struct UsbPort;

class HostController {
public:
    explicit HostController(Machine& machine);
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Plugs `device` into the lowest free port (or `port` when given): a
    // PDO is created and reported to PnP, which binds and starts its driver
    // before this returns. The instance id and container id derive from the
    // port and the device's identity, so the same device on the same port
    // is the same device node across runs.
    UsbPort* Plug(std::shared_ptr<VirtualDevice> device, int port = 0);
    // Pulls the plug: the device fails everything from now on and PnP sees
    // a surprise removal.
    void Unplug(UsbPort* port);
    // What IOCTL_INTERNAL_USB_CYCLE_PORT does: the device is re-enumerated
    // (removal, then arrival as a new PDO on the same port), asynchronously.
    void CyclePort(UsbPort* port);
    // Waits until every queued re-enumeration has finished.
    void WaitForEnumeration();

    std::vector<UsbPort*> Ports() const;
    static DEVICE_OBJECT* Pdo(const UsbPort* port);
    static PnpNode* Node(const UsbPort* port);
    static VirtualDevice& Device(const UsbPort* port);
    // How many re-enumerations the port has been through.
    static unsigned Enumerations(const UsbPort* port);

    // Machine teardown: deletes the PDOs of devices still plugged.
    void Shutdown();

    // The worker side of CyclePort.
    void Reenumerate(UsbPort* port);

private:
    void Enumerate(UsbPort* port);

    Machine& machine_;
    DRIVER_OBJECT* bus_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    unsigned pendingEnumerations_ = 0;
    std::vector<std::unique_ptr<UsbPort>> ports_;
};

}  // namespace sim::usb

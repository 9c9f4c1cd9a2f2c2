// What PortCls sees of the subdevices an adapter fails to install.
//
// An adapter driver installs a subdevice in steps that pass through PortCls:
// PcNewPort, a miniport (PcNewMiniport or the driver's own), IPort::Init,
// PcRegisterSubdevice. A step that fails leaves no subdevice, and the driver
// usually goes on without one. PortCls records each such failure on the
// adapter device, so that what was installed can be told from what was only
// tried. Ports made during a device's start-device routine are tied to that
// device; a port made there that never reached Init had no miniport, and
// the status is PortCls's own when PcNewMiniport refused it, else unknown
// (the driver's own miniport factory failed).
#pragma once

#include "platform/base/types.h"
#include "platform/io/device.h"

namespace sim::portcls {

class AdapterDevice;
class Port;

// Marks the thread as running `device`'s start-device routine; at its end,
// the ports made meanwhile that never reached Init are recorded as failed.
class StartDeviceScope {
public:
    explicit StartDeviceScope(AdapterDevice* device);
    ~StartDeviceScope();
    StartDeviceScope(const StartDeviceScope&) = delete;
    StartDeviceScope& operator=(const StartDeviceScope&) = delete;
};

// Called by the Pc* routines and the ports.
void NotePortCreated(Port* port);
void NoteMiniportRefused(NTSTATUS status);
// Returns `status`.
NTSTATUS NotePortInit(Port* port, DEVICE_OBJECT* deviceObject, NTSTATUS status);
void NoteRegistrationRefused(AdapterDevice* device, Port* port, PCWSTR name, NTSTATUS status);

}  // namespace sim::portcls

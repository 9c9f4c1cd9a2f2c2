// What other parts of the driver plug into the adapter device: the "\asio"
// handle routines and the miniport factories of the two subdevices. Driver
// entry fills the table with the parts the driver is built with; a slot left
// empty makes that part absent (an "\asio" create fails with
// STATUS_INVALID_DEVICE_REQUEST, a subdevice without a miniport factory is
// not installed and the device runs without a filter), never half-present.
#pragma once

#include "platform/io/device.h"
#include "platform/kernel/pool.h"
#include "platform/portcls/portcls.h"

// The handling of an "\asio" handle's requests: create, cleanup, close,
// read, write, device control. Each completes (or pends) the request itself.
struct AsioHandleRoutines {
    PDRIVER_DISPATCH Create;
    PDRIVER_DISPATCH Cleanup;
    PDRIVER_DISPATCH Close;
    PDRIVER_DISPATCH Read;
    PDRIVER_DISPATCH Write;
    PDRIVER_DISPATCH DeviceControl;
};

// Creates a miniport object (one reference) of a subdevice.
using MiniportFactory = NTSTATUS (*)(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType);

struct DriverServices {
    const AsioHandleRoutines* Asio;
    MiniportFactory WaveMiniport;
    MiniportFactory MidiMiniport;
};

// The driver image's table.
DriverServices& Services();

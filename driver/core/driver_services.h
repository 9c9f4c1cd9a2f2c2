// What other parts of the driver plug into the adapter device: the "\asio"
// handle routines and the miniport factories of the two subdevices. Driver
// entry sets the table to the parts the driver is built with; a slot left
// empty makes that part absent (an "\asio" create fails with
// STATUS_INVALID_DEVICE_REQUEST, a subdevice without a miniport factory is
// not installed and the device runs without a filter), never half-present.
// Tests, and the simulator's stand-ins for parts the package does not have
// yet, put another table in force for a scope.
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

// The table in force: an override's while one is in scope, else the one
// driver entry set (all empty before it ran). Read at PASSIVE_LEVEL by the
// request routing and the subdevice installation.
const DriverServices& Services();

// The parts this driver image is built with: what driver entry sets.
DriverServices DriverOwnServices();

// Puts `services` in force until the scope ends, whatever driver entry sets
// meanwhile; scopes nest. Build the replacement from DriverOwnServices() to
// change a slot and keep the others. Driver-image state: one machine with
// the driver at a time, set before that machine loads it.
class DriverServicesOverride {
public:
    explicit DriverServicesOverride(const DriverServices& services);
    ~DriverServicesOverride();
    DriverServicesOverride(const DriverServicesOverride&) = delete;
    DriverServicesOverride& operator=(const DriverServicesOverride&) = delete;

private:
    DriverServices services_;
    const DriverServices* previous_;
};

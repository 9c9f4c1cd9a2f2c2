// The driver's entry point and the driver-wide state it sets up.
#pragma once

#include "driver/core/margin.h"
#include "platform/io/device.h"
#include "platform/portcls/portcls.h"

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);

// The output-margin tables read at driver entry.
const MarginTables& DriverMargins();

// Start-device, as PortCls calls it for IRP_MN_START_DEVICE.
NTSTATUS StartDevice(DEVICE_OBJECT* deviceObject, IRP* irp, IResourceList* resourceList);

// The driver's own dispatch routines for the major functions it overrides.
NTSTATUS DispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS DispatchCreate(DEVICE_OBJECT* deviceObject, IRP* irp);
NTSTATUS DispatchAsioOrPortClass(DEVICE_OBJECT* deviceObject, IRP* irp);

// The Pc* routines an adapter driver calls on its driver and device
// objects, and PcDispatchIrp's routing of requests.
#include "platform/base/ntstatus.h"
#include "platform/io/pnp.h"
#include "platform/portcls/portcls.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/install_log.h"
#include "sim/portcls/port.h"
#include "sim/verifier.h"

using sim::portcls::AdapterDevice;

namespace {

// PortCls keeps nothing per driver: its state lives with each adapter
// device and goes at IRP_MN_REMOVE_DEVICE.
void PortClassUnload(DRIVER_OBJECT*) {}

NTSTATUS CompleteRequest(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS PcInitializeAdapterDriver(DRIVER_OBJECT* driverObject, UNICODE_STRING*, PDRIVER_ADD_DEVICE addDevice) {
    if (driverObject == nullptr || addDevice == nullptr) return STATUS_INVALID_PARAMETER;
    for (auto& dispatch : driverObject->MajorFunction) dispatch = PcDispatchIrp;
    driverObject->DriverUnload = PortClassUnload;
    driverObject->DriverExtension->AddDevice = addDevice;
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize) {
    return AdapterDevice::Add(driverObject, physicalDeviceObject, startDevice, maxObjects, deviceExtensionSize);
}

NTSTATUS PcDispatchIrp(DEVICE_OBJECT* deviceObject, IRP* irp) {
    AdapterDevice* device = AdapterDevice::FromDeviceObject(deviceObject);
    if (device == nullptr)
        sim::VerifierStop("PcDispatchIrp for device object %p, which is no PortCls adapter device (or was removed)",
                          (void*)deviceObject);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return device->DispatchPnp(irp);
    case IRP_MJ_POWER:
        return device->DispatchPower(irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return device->ForwardAndForget(irp);
    case IRP_MJ_CREATE:
        return device->DispatchCreate(irp);
    case IRP_MJ_CLOSE:
        return device->DispatchClose(irp);
    case IRP_MJ_CLEANUP:
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        return device->DispatchDeviceControl(irp);
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS PcCompleteIrp(DEVICE_OBJECT*, IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PcRegisterSubdevice(DEVICE_OBJECT* deviceObject, PCWSTR name, PUNKNOWN unknown) {
    AdapterDevice* device = AdapterDevice::FromDeviceObject(deviceObject);
    if (device == nullptr || unknown == nullptr) return STATUS_INVALID_PARAMETER;
    sim::portcls::Port* port = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(sim::portcls::IID_SimPortClassPort, reinterpret_cast<PVOID*>(&port))))
        return STATUS_INVALID_PARAMETER;  // not one of PortCls's ports
    const NTSTATUS status = device->RegisterSubdevice(name, port);
    if (!NT_SUCCESS(status)) sim::portcls::NoteRegistrationRefused(device, port, name, status);
    port->Release();
    return status;
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID context) {
    AdapterDevice* device = AdapterDevice::FromDeviceObject(static_cast<DEVICE_OBJECT*>(context));
    if (device == nullptr || unknown == nullptr) return STATUS_INVALID_PARAMETER;
    IAdapterPowerManagement* power = nullptr;
    const NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) return status;
    if (power == nullptr) return STATUS_INVALID_PARAMETER;
    device->SetPowerManagement(power);
    return STATUS_SUCCESS;
}

NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, ULONG* resultLength) {
    AdapterDevice* device = AdapterDevice::FromDeviceObject(static_cast<DEVICE_OBJECT*>(deviceObject));
    if (device == nullptr) return STATUS_INVALID_PARAMETER;
    return IoGetDeviceProperty(device->pdo(), deviceProperty, bufferLength, propertyBuffer, resultLength);
}

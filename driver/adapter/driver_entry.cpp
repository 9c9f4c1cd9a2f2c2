// Driver entry, unload, add-device and start-device.
#include "driver/adapter/driver_entry.h"

#include "driver/adapter/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_services.h"
#include "driver/core/subdevice.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/portcls/portcls.h"
#include "platform/trace/debug.h"

namespace {

PDRIVER_UNLOAD g_portClassUnload = nullptr;
MarginTables g_margins = kBuiltInMargins;
DriverServices g_services = {};
const DriverServices* g_override = nullptr;

// The driver's own parts. A slot stays empty until its part is built: the
// "\asio" handle routines, the WaveRT miniport, the MIDI miniport.
constexpr DriverServices kOwnServices = {nullptr, nullptr, nullptr};

// At most two subdevices per adapter device.
constexpr ULONG kMaxSubdevices = 2;

void DriverUnload(DRIVER_OBJECT* driverObject) {
    DbgPrint("UsbAudio!DriverUnload\n");
    if (g_portClassUnload != nullptr) g_portClassUnload(driverObject);
    TraceUnregisterProvider(&g_DriverTrace);
}

NTSTATUS AddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject) {
    return PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, kMaxSubdevices, kDeviceExtensionSize);
}

}  // namespace

const DriverServices& Services() { return g_override != nullptr ? *g_override : g_services; }

DriverServices DriverOwnServices() { return kOwnServices; }

DriverServicesOverride::DriverServicesOverride(const DriverServices& services)
    : services_(services), previous_(g_override) {
    g_override = &services_;
}

DriverServicesOverride::~DriverServicesOverride() { g_override = previous_; }

const MarginTables& DriverMargins() { return g_margins; }

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath) {
    TraceRegisterProvider(&g_DriverTrace);
    DbgPrint("UsbAudio!DriverEntry\n");
    g_margins = kBuiltInMargins;
    ReadDriverParameters(registryPath, &g_margins);
    g_services = kOwnServices;

    const NTSTATUS status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
    if (NT_SUCCESS(status)) {
        driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchAsioOrPortClass;
        driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchAsioOrPortClass;
        driverObject->MajorFunction[IRP_MJ_READ] = DispatchAsioOrPortClass;
        driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchAsioOrPortClass;
        driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchAsioOrPortClass;
    }
    g_portClassUnload = driverObject->DriverUnload;
    driverObject->DriverUnload = DriverUnload;
    return status;
}

NTSTATUS StartDevice(DEVICE_OBJECT* deviceObject, IRP* irp, IResourceList* resourceList) {
    // 1. The bottom of the stack: every USB request goes straight to it.
    DEVICE_OBJECT* pdo = IoGetDeviceAttachmentBaseRef(deviceObject);
    if (pdo == nullptr) return STATUS_UNSUCCESSFUL;
    ObDereferenceObject(pdo);

    // 2.
    DeviceExtension* extension = ExtensionOf(deviceObject);
    extension->Adapter = nullptr;
    extension->MidiMode = 0;

    // 3.
    AdapterCommon* adapter = nullptr;
    NTSTATUS status = AdapterCommon::Create(&adapter);
    if (!NT_SUCCESS(status)) return status;

    // 4.
    IAdapterCommon* common = nullptr;
    status = adapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&common));
    if (NT_SUCCESS(status)) {
        status = common->Init(pdo, deviceObject);
        if (!NT_SUCCESS(status)) MODEL_TRACE(TRACE_LEVEL_ERROR, "adapter init failed 0x%08x", static_cast<unsigned>(status));
    }

    // 5.
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(static_cast<IAdapterCommon*>(adapter), deviceObject);
        if (!NT_SUCCESS(status))
            MODEL_TRACE(TRACE_LEVEL_ERROR, "power management registration failed 0x%08x", static_cast<unsigned>(status));
    }

    // 6. A failed subdevice leaves the device started without a filter.
    if (NT_SUCCESS(status)) {
        const NTSTATUS subdevice = InstallSubdevice(deviceObject, irp, resourceList, common);
        if (!NT_SUCCESS(subdevice))
            MODEL_TRACE(TRACE_LEVEL_ERROR, "subdevice installation failed 0x%08x", static_cast<unsigned>(subdevice));
    }

    // 7. The port, the miniport and PortCls's power registration hold the
    // adapter from here on.
    if (NT_SUCCESS(status)) extension->Adapter = common;
    if (common != nullptr) common->Release();
    adapter->Release();
    return status;
}

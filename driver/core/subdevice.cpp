#include "driver/core/subdevice.h"

#include "driver/core/device_extension.h"
#include "driver/core/driver_services.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/portcls/portcls.h"

NTSTATUS InstallSubdevice(DEVICE_OBJECT* deviceObject, IRP* irp, IResourceList* resourceList, IUnknown* adapter) {
    const bool midi = ExtensionOf(deviceObject)->MidiMode == 1;
    const PCWSTR name = midi ? u"Midi" : u"Wave";
    const GUID& portClass = midi ? CLSID_PortMidi : CLSID_PortWaveRT;
    const MiniportFactory factory = midi ? Services().MidiMiniport : Services().WaveMiniport;

    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (!NT_SUCCESS(status)) return status;

    PUNKNOWN miniport = nullptr;
    if (factory != nullptr) {
        status = factory(&miniport, portClass, nullptr, NonPagedPoolNx);
    } else {
        PMINIPORT created = nullptr;
        status = PcNewMiniport(&created, portClass);
        miniport = created;
    }
    if (NT_SUCCESS(status)) status = port->Init(deviceObject, irp, miniport, adapter, resourceList);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(deviceObject, name, port);
    if (!NT_SUCCESS(status))
        MODEL_TRACE(TRACE_LEVEL_ERROR, "%s subdevice: 0x%08x", midi ? "Midi" : "Wave", static_cast<unsigned>(status));

    if (miniport != nullptr) miniport->Release();
    port->Release();
    return status;
}

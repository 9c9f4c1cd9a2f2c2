#include "sim/portcls/port.h"

#include "platform/base/ntstatus.h"
#include "platform/io/pnp.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/description.h"
#include "sim/portcls/install_log.h"
#include "sim/portcls/pool_object.h"
#include "sim/verifier.h"

namespace sim::portcls {

namespace {

// The spin lock that guards a port's children, at whatever IRQL the caller
// runs (servicing runs at DISPATCH_LEVEL).
class PortLock {
public:
    explicit PortLock(KSPIN_LOCK* lock) : lock_(lock) { KeAcquireSpinLock(lock_, &irql_); }
    ~PortLock() { KeReleaseSpinLock(lock_, irql_); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    KSPIN_LOCK* lock_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

const char* PortName(PortType type) { return type == PortType::WaveRT ? "WaveRT" : "MIDI"; }

}  // namespace

void Port::Teardown() {
    // A port whose miniport never held it still owns its children here.
    ReleaseChildren();
    AdapterDevice::UnlinkPort(this);
}

ULONG Port::ReleaseCommon() {
    const LONG left = --references_;
    if (left < 0) VerifierStop("%s port %p released more often than referenced", PortName(type_), (void*)this);
    if (left == 0) Destroy();
    return static_cast<ULONG>(left);
}

bool Port::TryAddRef() {
    LONG current = references_.load();
    while (current > 0)
        if (references_.compare_exchange_weak(current, current + 1)) return true;
    return false;
}

NTSTATUS Port::QueryCommon(REFIID id, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    IPort* port = AsPort();
    if (id == IID_IUnknown || id == IID_IPort) {
        *object = port;
    } else if ((type_ == PortType::WaveRT && id == IID_IPortWaveRT) ||
               (type_ == PortType::Midi && id == IID_IPortMidi)) {
        *object = port;
    } else if (id == IID_IUnregisterSubdevice) {
        *object = static_cast<IUnregisterSubdevice*>(this);
    } else if (id == IID_SimPortClassPort) {
        *object = this;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS Port::CheckInit(DEVICE_OBJECT* deviceObject, PUNKNOWN unknownMiniport, AdapterDevice** device) {
    if (unknownMiniport == nullptr) return STATUS_INVALID_PARAMETER;
    *device = AdapterDevice::FromDeviceObject(deviceObject);
    if (*device == nullptr) return STATUS_INVALID_PARAMETER;
    PortLock lock(&lock_);
    if (initialised_ || childrenReleased_) return STATUS_INVALID_DEVICE_REQUEST;
    return STATUS_SUCCESS;
}

NTSTATUS Port::CompleteInit(AdapterDevice* device, IMiniport* miniport, PUNKNOWN majorTarget, IPowerNotify* notify) {
    PCFILTER_DESCRIPTOR* description = nullptr;
    const NTSTATUS status = miniport->GetDescription(&description);
    if (!NT_SUCCESS(status)) return status;
    if (description == nullptr) return STATUS_UNSUCCESSFUL;
    if (const char* fault = DescriptionFault(*description))
        VerifierStop("filter description of the %s miniport %p: %s", PortName(type_), (void*)miniport, fault);
    {
        PortLock lock(&lock_);
        miniport_ = miniport;
        majorTarget_ = majorTarget;
        powerNotify_ = notify;
        description_ = description;
        deviceObject_ = device->fdo();
        initialised_ = true;
    }
    device->AdoptPort(this);
    return STATUS_SUCCESS;
}

bool Port::AcquireTarget(PortTarget* target) {
    PortLock lock(&lock_);
    if (!initialised_ || childrenReleased_) return false;
    miniport_->AddRef();
    target->miniport = miniport_;
    target->majorTarget = majorTarget_;
    target->description = description_;
    return true;
}

void Port::ReleaseTarget(PortTarget* target) {
    if (target->miniport != nullptr) target->miniport->Release();
    *target = PortTarget{};
}

IPowerNotify* Port::AcquirePowerNotify() {
    PortLock lock(&lock_);
    if (childrenReleased_ || powerNotify_ == nullptr) return nullptr;
    powerNotify_->AddRef();
    return powerNotify_;
}

void Port::ReleaseChildren() {
    IMiniport* miniport;
    IPowerNotify* notify;
    {
        PortLock lock(&lock_);
        if (childrenReleased_) return;
        childrenReleased_ = true;
        miniport = miniport_;
        notify = powerNotify_;
        miniport_ = nullptr;
        majorTarget_ = nullptr;
        powerNotify_ = nullptr;
        description_ = nullptr;
    }
    ReleaseOwnChildren();
    // The miniport usually holds this port: keep it alive through the
    // miniport's destruction (unless it is being destroyed already).
    const bool keepAlive = TryAddRef();
    if (notify != nullptr) notify->Release();
    if (miniport != nullptr) miniport->Release();
    if (keepAlive) Release();
}

NTSTATUS Port::PortGetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, ULONG* result) {
    if (deviceObject_ == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return PcGetDeviceProperty(deviceObject_, property, length, buffer, result);
}

NTSTATUS Port::UnregisterSubdevice(DEVICE_OBJECT* deviceObject, PUNKNOWN unknown) {
    AdapterDevice* device = AdapterDevice::FromDeviceObject(deviceObject);
    if (device == nullptr || unknown == nullptr) return STATUS_INVALID_PARAMETER;
    Port* port = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_SimPortClassPort, reinterpret_cast<PVOID*>(&port))))
        return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = device->UnregisterSubdevice(port);
    port->Release();
    return status;
}

// ---- WaveRT ----

NTSTATUS PortWaveRT::Init(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                        IResourceList* resourceList) {
    return NotePortInit(this, deviceObject, InitPort(deviceObject, irp, unknownMiniport, unknownAdapter, resourceList));
}

NTSTATUS PortWaveRT::InitPort(DEVICE_OBJECT* deviceObject, IRP*, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          IResourceList* resourceList) {
    AdapterDevice* device;
    NTSTATUS status = CheckInit(deviceObject, unknownMiniport, &device);
    if (!NT_SUCCESS(status)) return status;
    IMiniportWaveRT* miniport = nullptr;
    status = unknownMiniport->QueryInterface(IID_IMiniportWaveRT, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) return status;
    if (miniport == nullptr) return STATUS_INVALID_PARAMETER;
    IPowerNotify* notify = nullptr;
    if (!NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))))
        notify = nullptr;

    status = miniport->Init(unknownAdapter, resourceList, this);
    if (NT_SUCCESS(status)) status = CompleteInit(device, miniport, miniport, notify);
    if (!NT_SUCCESS(status)) {
        if (notify != nullptr) notify->Release();
        miniport->Release();
    }
    return status;
}

NTSTATUS PortWaveRT::NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG,
                                    ULONG*) {
    // No component of the package opens registry keys through its port.
    return STATUS_NOT_SUPPORTED;
}

void PortWaveRT::Destroy() {
    Teardown();
    PoolDelete(this, kPcTagPort);
}

// ---- MIDI ----

NTSTATUS PortMidi::Init(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                        IResourceList* resourceList) {
    return NotePortInit(this, deviceObject, InitPort(deviceObject, irp, unknownMiniport, unknownAdapter, resourceList));
}

NTSTATUS PortMidi::InitPort(DEVICE_OBJECT* deviceObject, IRP*, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                        IResourceList* resourceList) {
    AdapterDevice* device;
    NTSTATUS status = CheckInit(deviceObject, unknownMiniport, &device);
    if (!NT_SUCCESS(status)) return status;
    IMiniportMidi* miniport = nullptr;
    status = unknownMiniport->QueryInterface(IID_IMiniportMidi, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) return status;
    if (miniport == nullptr) return STATUS_INVALID_PARAMETER;
    IPowerNotify* notify = nullptr;
    if (!NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify))))
        notify = nullptr;

    IServiceGroup* group = nullptr;
    status = miniport->Init(unknownAdapter, resourceList, this, &group);
    if (NT_SUCCESS(status)) {
        midiMiniport_ = miniport;
        status = CompleteInit(device, miniport, miniport, notify);
    }
    if (NT_SUCCESS(status) && group != nullptr) status = JoinServiceGroup(group);
    if (group != nullptr) group->Release();  // Init handed us a reference; JoinServiceGroup took its own
    if (!NT_SUCCESS(status)) {
        if (initialised_) {
            ReleaseChildren();  // owns miniport and notify now
        } else {
            midiMiniport_ = nullptr;
            if (notify != nullptr) notify->Release();
            miniport->Release();
        }
    }
    return status;
}

NTSTATUS PortMidi::JoinServiceGroup(IServiceGroup* group) {
    {
        PortLock lock(&lock_);
        if (serviceGroup_ != nullptr || childrenReleased_) return STATUS_INVALID_DEVICE_REQUEST;
        group->AddRef();
        serviceGroup_ = group;
    }
    const NTSTATUS status = group->AddMember(&sink_);
    if (!NT_SUCCESS(status)) {
        {
            PortLock lock(&lock_);
            serviceGroup_ = nullptr;
        }
        group->Release();
    }
    return status;
}

NTSTATUS PortMidi::RegisterServiceGroup(IServiceGroup* serviceGroup) {
    if (serviceGroup == nullptr) return STATUS_INVALID_PARAMETER;
    return JoinServiceGroup(serviceGroup);
}

void PortMidi::Notify(IServiceGroup* serviceGroup) {
    IServiceGroup* group;
    {
        PortLock lock(&lock_);
        group = serviceGroup != nullptr ? serviceGroup : serviceGroup_;
        if (group == nullptr) return;
        group->AddRef();
    }
    group->RequestService();
    group->Release();
}

void PortMidi::ReleaseOwnChildren() {
    IServiceGroup* group;
    {
        PortLock lock(&lock_);
        group = serviceGroup_;
        serviceGroup_ = nullptr;
    }
    if (group != nullptr) {
        // Once RemoveMember returns no service of this sink is running, so
        // the miniport can go.
        group->RemoveMember(&sink_);
        group->Release();
    }
}

NTSTATUS PortMidi::NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG,
                                  ULONG*) {
    return STATUS_NOT_SUPPORTED;
}

void PortMidi::Destroy() {
    Teardown();
    PoolDelete(this, kPcTagPort);
}

NTSTATUS PortMidi::Sink::QueryInterface(REFIID id, PVOID* object) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (id == IID_IUnknown || id == IID_IServiceSink) {
        *object = static_cast<IServiceSink*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return port_.QueryInterface(id, object);
}

void PortMidi::Sink::RequestService() {
    // A member only while the miniport is held (see ReleaseOwnChildren).
    if (port_.midiMiniport_ != nullptr) port_.midiMiniport_->Service();
}

}  // namespace sim::portcls

// ---- factories ----

using sim::portcls::PoolNew;

NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId) {
    if (outPort == nullptr) return STATUS_INVALID_PARAMETER;
    *outPort = nullptr;
    if (classId == CLSID_PortWaveRT) {
        auto* port = PoolNew<sim::portcls::PortWaveRT>(sim::kPcTagPort);
        if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        sim::portcls::NotePortCreated(port);
        *outPort = port;
        return STATUS_SUCCESS;
    }
    if (classId == CLSID_PortMidi) {
        auto* port = PoolNew<sim::portcls::PortMidi>(sim::kPcTagPort);
        if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        sim::portcls::NotePortCreated(port);
        *outPort = port;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS PcNewMiniport(PMINIPORT* outMiniport, REFCLSID) {
    // The adapters this simulation serves bring their own miniports.
    if (outMiniport != nullptr) *outMiniport = nullptr;
    sim::portcls::NoteMiniportRefused(STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
}

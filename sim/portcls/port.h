// Port drivers: the WaveRT and MIDI ports that bind a miniport, keep its
// filter description and publish it as a subdevice.
//
// References: the port holds the miniport (and its IPowerNotify, and for
// MIDI the service group); a miniport usually holds its port. PortCls breaks
// that cycle by releasing the port's children when the subdevice is
// unregistered and, for every port initialised on a device, at
// IRP_MN_REMOVE_DEVICE. After that the port answers no more requests.
#pragma once

#include "platform/base/list.h"
#include "platform/kernel/spinlock.h"
#include "platform/portcls/portcls.h"
#include "sim/portcls/port_class.h"

#include <atomic>

namespace sim::portcls {

class AdapterDevice;

// QueryInterface with this id yields the Port object behind any of a port's
// interfaces (AddRef'ed); PcRegisterSubdevice and UnregisterSubdevice use it.
inline constexpr GUID IID_SimPortClassPort = {0x5B7A1C3E, 0x2D4F, 0x4A61, {0x9E, 0x0B, 0x71, 0x3C, 0x8D, 0x52, 0xA4, 0x19}};

// What a request on the port's filter uses. Valid until ReleaseTarget.
struct PortTarget {
    IMiniport* miniport = nullptr;  // referenced
    PUNKNOWN majorTarget = nullptr; // the port-specific miniport interface
    const PCFILTER_DESCRIPTOR* description = nullptr;
};

class Port : public IUnregisterSubdevice {
public:
    explicit Port(PortType type) : type_(type) {
        InitializeListHead(&deviceLink_.entry);
        deviceLink_.port = this;
        KeInitializeSpinLock(&lock_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    PortType type() const { return type_; }

    // Takes a reference on the miniport for one request; false when the port
    // was never initialised or its children are released.
    bool AcquireTarget(PortTarget* target);
    static void ReleaseTarget(PortTarget* target);
    // The miniport's IPowerNotify, referenced, or null.
    IPowerNotify* AcquirePowerNotify();

    // Drops the miniport and everything the port holds of it. Idempotent;
    // PASSIVE_LEVEL.
    void ReleaseChildren();

    // AddRef unless the object is already being destroyed (the adapter
    // device's weak list of ports uses it).
    bool TryAddRef();

    // The adapter device's list of initialised ports (AdapterDevice guards
    // both).
    struct DeviceLink {
        LIST_ENTRY entry;
        Port* port;
    } deviceLink_;
    AdapterDevice* device_ = nullptr;

    NTSTATUS UnregisterSubdevice(DEVICE_OBJECT* deviceObject, PUNKNOWN unknown) override;

protected:
    ~Port() = default;
    // Runs from Destroy, before the memory goes: the children and the
    // device's link.
    void Teardown();

    ULONG AddRefCommon() { return static_cast<ULONG>(++references_); }
    ULONG ReleaseCommon();
    NTSTATUS QueryCommon(REFIID id, PVOID* object);
    virtual IPort* AsPort() = 0;
    virtual void Destroy() = 0;
    // Port-specific part of ReleaseChildren, under no lock.
    virtual void ReleaseOwnChildren() {}

    // Common part of IPort::Init once the port-specific miniport interface
    // is in hand: description, validation, linking to the device.
    NTSTATUS CompleteInit(AdapterDevice* device, IMiniport* miniport, PUNKNOWN majorTarget, IPowerNotify* notify);
    // Validates the arguments IPort::Init takes.
    NTSTATUS CheckInit(DEVICE_OBJECT* deviceObject, PUNKNOWN unknownMiniport, AdapterDevice** device);
    NTSTATUS PortGetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, ULONG* result);

    const PortType type_;
    std::atomic<LONG> references_{1};
    KSPIN_LOCK lock_ = 0;  // guards the children below
    bool initialised_ = false;
    bool childrenReleased_ = false;
    IMiniport* miniport_ = nullptr;
    PUNKNOWN majorTarget_ = nullptr;
    IPowerNotify* powerNotify_ = nullptr;
    const PCFILTER_DESCRIPTOR* description_ = nullptr;
    DEVICE_OBJECT* deviceObject_ = nullptr;
};

class PortWaveRT final : public IPortWaveRT, public Port {
public:
    PortWaveRT() : Port(PortType::WaveRT) {}

    NTSTATUS QueryInterface(REFIID id, PVOID* object) override { return QueryCommon(id, object); }
    ULONG AddRef() override { return AddRefCommon(); }
    ULONG Release() override { return ReleaseCommon(); }

    NTSTATUS Init(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                  IResourceList* resourceList) override;
    NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                               ULONG* result) override {
        return PortGetDeviceProperty(property, length, buffer, result);
    }
    NTSTATUS NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG,
                            ULONG*) override;

private:
    NTSTATUS InitPort(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                      IResourceList* resourceList);
    IPort* AsPort() override { return this; }
    void Destroy() override;
};

class PortMidi final : public IPortMidi, public Port {
public:
    PortMidi() : Port(PortType::Midi), sink_(*this) {}

    NTSTATUS QueryInterface(REFIID id, PVOID* object) override { return QueryCommon(id, object); }
    ULONG AddRef() override { return AddRefCommon(); }
    ULONG Release() override { return ReleaseCommon(); }

    NTSTATUS Init(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                  IResourceList* resourceList) override;
    NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                               ULONG* result) override {
        return PortGetDeviceProperty(property, length, buffer, result);
    }
    NTSTATUS NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, OBJECT_ATTRIBUTES*, ULONG,
                            ULONG*) override;
    void Notify(IServiceGroup* serviceGroup) override;
    NTSTATUS RegisterServiceGroup(IServiceGroup* serviceGroup) override;

private:
    NTSTATUS InitPort(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                      IResourceList* resourceList);

    // The port's member of its service group: servicing the group services
    // the miniport (IMiniportMidi::Service), at DISPATCH_LEVEL.
    class Sink final : public IServiceSink {
    public:
        explicit Sink(PortMidi& port) : port_(port) {}
        NTSTATUS QueryInterface(REFIID id, PVOID* object) override;
        ULONG AddRef() override { return port_.AddRef(); }
        ULONG Release() override { return port_.Release(); }
        void RequestService() override;

    private:
        PortMidi& port_;
    };

    IPort* AsPort() override { return this; }
    void Destroy() override;
    void ReleaseOwnChildren() override;
    NTSTATUS JoinServiceGroup(IServiceGroup* group);

    Sink sink_;
    IMiniportMidi* midiMiniport_ = nullptr;  // not referenced: miniport_ holds it
    IServiceGroup* serviceGroup_ = nullptr;  // referenced; the sink is a member
};

}  // namespace sim::portcls

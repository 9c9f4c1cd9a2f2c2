// PortCls's state for one adapter device (the functional device object that
// PcAddAdapterDevice creates): its place in the stack, the start-device
// callback, the registered subdevices, the open filter handles, the
// adapter's power interface, and the request handling built on them.
//
// Locking: `mutex_` guards the subdevice slots and the filter list and is
// never held while driver code runs. A static lock guards every port's link
// to its device, since a port may be destroyed after its device.
#pragma once

#include "platform/base/list.h"
#include "platform/base/unicode.h"
#include "platform/portcls/portcls.h"
#include "sim/portcls/port_class.h"

#include <atomic>
#include <mutex>
#include <string_view>
#include <vector>

namespace sim::portcls {

class Port;

// A published port: its name and device interfaces. Referenced by its
// device's slot and by every filter handle open on it.
class Subdevice {
public:
    static constexpr ULONG kMaxName = 63;
    static constexpr ULONG kMaxInterfaces = 8;

    Subdevice(Port* port, PCWSTR name, USHORT length);  // takes a reference on `port`
    void AddRef() { ++references_; }
    void Release();

    Port* port() const { return port_; }
    std::u16string_view name() const { return {name_, nameLength_}; }
    bool NameIs(const UNICODE_STRING& text) const;  // case-insensitive

    // Interfaces (and whether they are enabled and announced).
    ULONG interfaceCount = 0;
    GUID categories[kMaxInterfaces]{};
    UNICODE_STRING links[kMaxInterfaces]{};
    bool published = false;

private:
    ~Subdevice();
    std::atomic<LONG> references_{1};
    Port* port_;
    WCHAR name_[kMaxName + 1]{};
    USHORT nameLength_ = 0;
};

// One open filter handle (FILE_OBJECT::FsContext points at it).
struct FilterHandle {
    LIST_ENTRY link;
    FILE_OBJECT* file = nullptr;
    Subdevice* subdevice = nullptr;  // referenced
    std::atomic<LONG> references{1};
};

class AdapterDevice {
public:
    // PcAddAdapterDevice.
    static NTSTATUS Add(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, PCPFNSTARTDEVICE startDevice,
                        ULONG maxSubdevices, ULONG extensionSize);
    // The state of an adapter device, or null for any other device object.
    static AdapterDevice* FromDeviceObject(DEVICE_OBJECT* deviceObject);

    DEVICE_OBJECT* fdo() const { return fdo_; }
    DEVICE_OBJECT* pdo() const { return pdo_; }

    // Requests (PcDispatchIrp).
    NTSTATUS DispatchPnp(IRP* irp);
    NTSTATUS DispatchPower(IRP* irp);
    NTSTATUS DispatchCreate(IRP* irp);
    NTSTATUS DispatchClose(IRP* irp);
    NTSTATUS DispatchDeviceControl(IRP* irp);
    NTSTATUS ForwardAndForget(IRP* irp);

    // PcRegisterSubdevice, IUnregisterSubdevice.
    NTSTATUS RegisterSubdevice(PCWSTR name, Port* port);
    NTSTATUS UnregisterSubdevice(Port* port);
    // PcRegisterAdapterPowerManagement: takes the reference `power` carries.
    void SetPowerManagement(IAdapterPowerManagement* power);

    // The weak list of ports initialised on this device.
    void AdoptPort(Port* port);
    static void UnlinkPort(Port* port);
    bool HasPort(Port* port) const;

    std::vector<SubdeviceInfo> PublishedSubdevices() const;
    void RecordFailure(SubdeviceFailure failure);
    std::vector<SubdeviceFailure> Failures() const;

private:
    AdapterDevice(DEVICE_OBJECT* fdo, DEVICE_OBJECT* pdo, DEVICE_OBJECT* lower, PCPFNSTARTDEVICE startDevice,
                  ULONG maxSubdevices, Subdevice** slots);
    ~AdapterDevice();

    NTSTATUS Start(IRP* irp);
    NTSTATUS QueryCapabilities(IRP* irp);
    void SurpriseRemove();
    NTSTATUS Remove(IRP* irp);
    NTSTATUS SetDevicePower(IRP* irp, DEVICE_POWER_STATE state);
    NTSTATUS ForwardAndWait(IRP* irp);

    // Disables a subdevice's interfaces and tells the listeners, once.
    // Called without `mutex_`; `subdevice` is referenced by the caller.
    void Withdraw(Subdevice* subdevice);
    SubdeviceInfo Describe(const Subdevice& subdevice) const;
    FilterHandle* FindFilter(FILE_OBJECT* file);  // referenced
    static void ReleaseFilter(FilterHandle* filter);
    NTSTATUS HandleProperty(FilterHandle* filter, IRP* irp);

    DEVICE_OBJECT* const fdo_;
    DEVICE_OBJECT* const pdo_;
    DEVICE_OBJECT* const lower_;
    const PCPFNSTARTDEVICE startDevice_;
    const ULONG maxSubdevices_;
    Subdevice** const slots_;  // maxSubdevices_ entries, pool

    mutable std::mutex mutex_;
    LIST_ENTRY filters_;
    ULONG openFilters_ = 0;
    bool surpriseRemoved_ = false;
    bool removed_ = false;
    IAdapterPowerManagement* power_ = nullptr;  // referenced
    std::vector<SubdeviceFailure> failures_;
    LIST_ENTRY ports_;                          // guarded by the static port-link lock
};

}  // namespace sim::portcls

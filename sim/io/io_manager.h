// The simulated I/O manager of one machine: driver and device objects,
// device stacks, IRP allocation and completion, work items with a device
// object, and the object-namespace names that user mode opens.
#pragma once

#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "sim/kernel/object_ref.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

class IoManager;
class Machine;
class PnpNode;

// What the I/O manager keeps about one device object
// (DEVICE_OBJECT::DeviceObjectExtension points at it).
// ObfReferenceObject / ObfDereferenceObject on a device object land here.
struct DeviceInfo : ObjectBody {
    LONG_PTR Reference() override;
    LONG_PTR Dereference() override;
    POBJECT_TYPE BodyType() const override;

    IoManager* io = nullptr;
    DEVICE_OBJECT* device = nullptr;
    std::u16string name;              // "\Device\..." or empty
    PnpNode* node = nullptr;          // for physical device objects
    bool deletePending = false;       // IoDeleteDevice called while referenced
};

// Final completion of an IRP the I/O manager owns: called once the IRP has
// passed its top stack location (user-mode requests, threaded IRPs).
using IrpFinisher = std::function<void(IRP* irp)>;

class IoManager {
public:
    explicit IoManager(Machine& machine);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Drivers. `name` is the service name ("ovuac2audio"); the registry path
    // handed to the entry point is the service key under
    // \Registry\Machine\System\CurrentControlSet\Services.
    DRIVER_OBJECT* CreateDriverObject(const std::u16string& name);
    NTSTATUS CallDriverEntry(DRIVER_OBJECT* driver, PDRIVER_INITIALIZE entry);
    void UnloadDriver(DRIVER_OBJECT* driver);  // DriverUnload, then the object goes
    DRIVER_OBJECT* FindDriver(const std::u16string& name) const;

    // Devices.
    NTSTATUS CreateDevice(DRIVER_OBJECT* driver, ULONG extensionSize, const UNICODE_STRING* name, DEVICE_TYPE type,
                          ULONG characteristics, DEVICE_OBJECT** result);
    void DeleteDevice(DEVICE_OBJECT* device);
    void Detach(DEVICE_OBJECT* target);  // IoDetachDevice
    LONG_PTR ReferenceDevice(DEVICE_OBJECT* device);
    LONG_PTR DereferenceDevice(DEVICE_OBJECT* device);
    static DeviceInfo& Info(DEVICE_OBJECT* device);
    DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device);     // not referenced
    DEVICE_OBJECT* BottomOfStack(DEVICE_OBJECT* device);  // not referenced
    std::size_t LiveDeviceCount() const;

    // IRPs. Every IRP is tracked from allocation to free so the verifier can
    // catch double completion and leaks.
    IRP* AllocateIrp(CCHAR stackSize);
    void FreeIrp(IRP* irp);
    // Marks `irp` as owned by the I/O manager: when its completion passes the
    // top stack location, `finish` runs (it frees the IRP).
    void SetFinisher(IRP* irp, IrpFinisher finish);
    void Complete(IRP* irp, CCHAR boost);
    void Reuse(IRP* irp, NTSTATUS status);
    std::size_t LiveIrpCount() const;

    // Symbolic links in the object namespace ("\??\..." names, compared
    // case-insensitively) resolving to a device object.
    void CreateSymbolicLink(const std::u16string& link, DEVICE_OBJECT* device);
    void DeleteSymbolicLink(const std::u16string& link);
    DEVICE_OBJECT* ResolveSymbolicLink(const std::u16string& link) const;
    // The device of the longest link that `path` starts with (whole path
    // components); `remainder` gets the rest of `path`, case kept. Null when
    // no link matches.
    DEVICE_OBJECT* ResolvePath(std::u16string_view path, std::u16string* remainder) const;

    // Runs at machine teardown: unloads drivers, then checks for leaks.
    void Shutdown();

private:
    struct IrpState {
        IrpFinisher finish;
        bool completing = false;  // between IoCompleteRequest and reuse/free
    };
    struct DriverRecord {
        std::unique_ptr<DRIVER_OBJECT> object;
        std::unique_ptr<DRIVER_EXTENSION> extension;
        std::u16string name;
        std::u16string registryPath;
        std::u16string objectName;
    };

    [[maybe_unused]] Machine& machine_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<DriverRecord>> drivers_;
    std::unordered_map<DEVICE_OBJECT*, std::unique_ptr<DeviceInfo>> devices_;
    std::unordered_map<IRP*, IrpState> irps_;
    std::map<std::u16string, DEVICE_OBJECT*> links_;  // key upper-cased
    unsigned nextDeviceNumber_ = 1;

    void FreeDeviceLocked(std::unordered_map<DEVICE_OBJECT*, std::unique_ptr<DeviceInfo>>::iterator it);
};

IoManager& CurrentIo();

}  // namespace sim

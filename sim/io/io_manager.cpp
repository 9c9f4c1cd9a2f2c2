#include "sim/io/io_manager.h"

#include "platform/base/ntstatus.h"
#include "platform/kernel/irql.h"
#include "sim/machine.h"
#include "sim/strings.h"
#include "sim/verifier.h"

#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;

IO_STACK_LOCATION* StackLocations(IRP* irp) { return reinterpret_cast<IO_STACK_LOCATION*>(irp + 1); }

}  // namespace

IoManager& CurrentIo() { return CurrentMachine().io(); }

namespace {
OBJECT_TYPE device_object_type{"Device"};
}

LONG_PTR DeviceInfo::Reference() { return io->ReferenceDevice(device); }
LONG_PTR DeviceInfo::Dereference() { return io->DereferenceDevice(device); }
POBJECT_TYPE DeviceInfo::BodyType() const { return &device_object_type; }

IoManager::IoManager(Machine& machine) : machine_(machine) {}

IoManager::~IoManager() = default;

DRIVER_OBJECT* IoManager::CreateDriverObject(const std::u16string& name) {
    auto record = std::make_unique<DriverRecord>();
    record->object = std::make_unique<DRIVER_OBJECT>();
    record->extension = std::make_unique<DRIVER_EXTENSION>();
    record->name = name;
    record->objectName = u"\\Driver\\" + name;
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
    DRIVER_OBJECT* driver = record->object.get();
    std::memset(driver, 0, sizeof(*driver));
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = record->extension.get();
    record->extension->DriverObject = driver;
    record->extension->ServiceKeyName = {static_cast<USHORT>(record->name.size() * 2),
                                         static_cast<USHORT>(record->name.size() * 2),
                                         record->name.data()};
    driver->DriverName = {static_cast<USHORT>(record->objectName.size() * 2),
                          static_cast<USHORT>(record->objectName.size() * 2), record->objectName.data()};
    // Until the driver says otherwise every request fails as on Windows.
    for (auto& dispatch : driver->MajorFunction)
        dispatch = [](DEVICE_OBJECT*, IRP* irp) -> NTSTATUS {
            irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_INVALID_DEVICE_REQUEST;
        };
    std::lock_guard lock(mutex_);
    drivers_.push_back(std::move(record));
    return driver;
}

NTSTATUS IoManager::CallDriverEntry(DRIVER_OBJECT* driver, PDRIVER_INITIALIZE entry) {
    DriverRecord* record = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (auto& r : drivers_)
            if (r->object.get() == driver) record = r.get();
    }
    if (record == nullptr) VerifierStop("driver entry called for an unknown driver object");
    driver->DriverInit = entry;
    UNICODE_STRING path{static_cast<USHORT>(record->registryPath.size() * 2),
                        static_cast<USHORT>(record->registryPath.size() * 2), record->registryPath.data()};
    return entry(driver, &path);
}

void IoManager::UnloadDriver(DRIVER_OBJECT* driver) {
    if (driver->DeviceObject != nullptr)
        VerifierStop("driver %s unloaded while it still has device objects",
                     ToUtf8({driver->DriverName.Buffer, driver->DriverName.Length / 2u}).c_str());
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    std::lock_guard lock(mutex_);
    std::erase_if(drivers_, [driver](const auto& r) { return r->object.get() == driver; });
}

DRIVER_OBJECT* IoManager::FindDriver(const std::u16string& name) const {
    std::lock_guard lock(mutex_);
    for (auto& r : drivers_)
        if (EqualsNoCase(r->name, name)) return r->object.get();
    return nullptr;
}

NTSTATUS IoManager::CreateDevice(DRIVER_OBJECT* driver, ULONG extensionSize, const UNICODE_STRING* name,
                                 DEVICE_TYPE type, ULONG characteristics, DEVICE_OBJECT** result) {
    // Device object and extension in one zeroed block, as Windows lays them out.
    const std::size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~std::size_t{15};
    auto* block = static_cast<char*>(std::calloc(1, extensionOffset + extensionSize));
    if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* device = reinterpret_cast<DEVICE_OBJECT*>(block);
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->DeviceExtension = extensionSize != 0 ? block + extensionOffset : nullptr;
    device->DeviceType = type;
    device->Characteristics = characteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING;

    auto info = std::make_unique<DeviceInfo>();
    info->io = this;
    info->device = device;
    RegisterObjectBody(device, info.get());
    std::lock_guard lock(mutex_);
    if (name != nullptr && name->Length != 0) {
        info->name.assign(name->Buffer, name->Length / 2);
    } else if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char buffer[32];
        std::snprintf(buffer, sizeof(buffer), "\\Device\\%08x", nextDeviceNumber_++);
        info->name = ToU16(buffer);
    }
    device->DeviceObjectExtension = info.get();
    devices_.emplace(device, std::move(info));
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    *result = device;
    return STATUS_SUCCESS;
}

DeviceInfo& IoManager::Info(DEVICE_OBJECT* device) { return *static_cast<DeviceInfo*>(device->DeviceObjectExtension); }

void IoManager::DeleteDevice(DEVICE_OBJECT* device) {
    std::unique_lock lock(mutex_);
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second->deletePending)
        VerifierStop("IoDeleteDevice on an unknown or deleted device object %p", (void*)device);
    DRIVER_OBJECT* driver = device->DriverObject;
    for (DEVICE_OBJECT** link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice)
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    // Deleted without detaching first: the device below is no longer covered.
    DEVICE_OBJECT* uncovered = nullptr;
    for (auto& [other, info] : devices_)
        if (other->AttachedDevice == device) {
            other->AttachedDevice = nullptr;
            if (info->deletePending && other->ReferenceCount == 0) uncovered = other;
        }
    if (uncovered != nullptr) FreeDeviceLocked(devices_.find(uncovered));
    // A device still referenced, or with a device still attached on top of
    // it (a function driver detaches after its lower device went), lives on
    // until both are over.
    if (device->ReferenceCount > 0 || device->AttachedDevice != nullptr) {
        it->second->deletePending = true;
        return;
    }
    FreeDeviceLocked(it);
}

void IoManager::Detach(DEVICE_OBJECT* target) {
    std::lock_guard lock(mutex_);
    target->AttachedDevice = nullptr;
    auto it = devices_.find(target);
    if (it != devices_.end() && it->second->deletePending && target->ReferenceCount == 0) FreeDeviceLocked(it);
}

void IoManager::FreeDeviceLocked(std::unordered_map<DEVICE_OBJECT*, std::unique_ptr<DeviceInfo>>::iterator it) {
    DEVICE_OBJECT* device = it->first;
    UnregisterObjectBody(device);
    devices_.erase(it);
    std::free(device);
}

LONG_PTR IoManager::ReferenceDevice(DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    return ++device->ReferenceCount;
}

LONG_PTR IoManager::DereferenceDevice(DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    if (device->ReferenceCount <= 0) VerifierStop("device object %p dereferenced below zero", (void*)device);
    const LONG count = --device->ReferenceCount;
    if (count == 0 && device->AttachedDevice == nullptr) {
        auto it = devices_.find(device);
        if (it != devices_.end() && it->second->deletePending) FreeDeviceLocked(it);
    }
    return count;
}

DEVICE_OBJECT* IoManager::TopOfStack(DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

DEVICE_OBJECT* IoManager::BottomOfStack(DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    for (;;) {
        DEVICE_OBJECT* lower = nullptr;
        for (auto& [other, info] : devices_)
            if (other->AttachedDevice == device) lower = other;
        if (lower == nullptr) return device;
        device = lower;
    }
}

std::size_t IoManager::LiveDeviceCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

IRP* IoManager::AllocateIrp(CCHAR stackSize) {
    if (stackSize < 1) VerifierStop("IoAllocateIrp with a stack size of %d", stackSize);
    const USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = static_cast<IRP*>(std::malloc(size));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    std::lock_guard lock(mutex_);
    irps_.emplace(irp, IrpState{});
    return irp;
}

void IoManager::FreeIrp(IRP* irp) {
    {
        std::lock_guard lock(mutex_);
        if (irps_.erase(irp) == 0) VerifierStop("IoFreeIrp on an IRP that is not allocated (%p): freed twice?", (void*)irp);
    }
    std::free(irp);
}

void IoManager::SetFinisher(IRP* irp, IrpFinisher finish) {
    std::lock_guard lock(mutex_);
    irps_.at(irp).finish = std::move(finish);
}

void IoManager::Reuse(IRP* irp, NTSTATUS status) {
    IrpFinisher keep;
    {
        std::lock_guard lock(mutex_);
        auto it = irps_.find(irp);
        if (it == irps_.end()) VerifierStop("IoReuseIrp on an IRP that is not allocated (%p)", (void*)irp);
        it->second.completing = false;
    }
    const UCHAR flags = irp->AllocationFlags;
    IoInitializeIrp(irp, irp->Size, irp->StackCount);
    irp->AllocationFlags = flags;
    irp->IoStatus.Status = status;
}

void IoManager::Complete(IRP* irp, CCHAR boost) {
    (void)boost;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) VerifierStop("IoCompleteRequest above DISPATCH_LEVEL");
    {
        std::lock_guard lock(mutex_);
        auto it = irps_.find(irp);
        if (it == irps_.end()) VerifierStop("IoCompleteRequest on a freed IRP (%p): completed twice?", (void*)irp);
    }
    if (irp->IoStatus.Status == STATUS_PENDING) VerifierStop("IRP %p completed with STATUS_PENDING", (void*)irp);
    if (irp->CurrentLocation > irp->StackCount)
        VerifierStop("IRP %p completed twice (no stack location left to complete)", (void*)irp);

    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    while (irp->CurrentLocation <= irp->StackCount) {
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        if (invoke) {
            DEVICE_OBJECT* owner =
                irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
            if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        ++stack;
    }

    IrpFinisher finish;
    {
        std::lock_guard lock(mutex_);
        auto& state = irps_.at(irp);
        finish = state.finish;
        state.completing = true;
    }
    if (!finish)
        VerifierStop("IRP %p allocated with IoAllocateIrp completed past its top: its completion routine must return "
                     "STATUS_MORE_PROCESSING_REQUIRED",
                     (void*)irp);
    finish(irp);
}

std::size_t IoManager::LiveIrpCount() const {
    std::lock_guard lock(mutex_);
    return irps_.size();
}

void IoManager::CreateSymbolicLink(const std::u16string& link, DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    links_[UpperCase(link)] = device;
}

void IoManager::DeleteSymbolicLink(const std::u16string& link) {
    std::lock_guard lock(mutex_);
    links_.erase(UpperCase(link));
}

DEVICE_OBJECT* IoManager::ResolveSymbolicLink(const std::u16string& link) const {
    std::lock_guard lock(mutex_);
    auto it = links_.find(UpperCase(link));
    return it == links_.end() ? nullptr : it->second;
}

DEVICE_OBJECT* IoManager::ResolvePath(std::u16string_view path, std::u16string* remainder) const {
    const std::u16string upper = UpperCase(std::u16string(path));
    std::lock_guard lock(mutex_);
    DEVICE_OBJECT* device = nullptr;
    std::size_t matched = 0;
    for (const auto& [link, target] : links_) {
        if (link.size() <= matched || upper.compare(0, link.size(), link) != 0) continue;
        if (upper.size() > link.size() && upper[link.size()] != u'\\') continue;
        device = target;
        matched = link.size();
    }
    if (device != nullptr) remainder->assign(path.substr(matched));
    return device;
}

void IoManager::Shutdown() {
    std::vector<DRIVER_OBJECT*> loaded;
    {
        std::lock_guard lock(mutex_);
        for (auto& r : drivers_) loaded.push_back(r->object.get());
    }
    for (DRIVER_OBJECT* driver : loaded)
        if (driver->DeviceObject == nullptr) UnloadDriver(driver);
    std::lock_guard lock(mutex_);
    if (!irps_.empty()) VerifierStop("%zu IRP(s) still allocated at machine teardown", irps_.size());
}

}  // namespace sim

// ---- the platform routines ----

using sim::CurrentIo;

void IoInitializeIrp(IRP* irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(irp, 0, packetSize);
    irp->Type = sim::kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = sim::StackLocations(irp) + stackSize;
}

IRP* IoAllocateIrp(CCHAR stackSize, BOOLEAN) { return CurrentIo().AllocateIrp(stackSize); }
void IoReuseIrp(IRP* irp, NTSTATUS status) { CurrentIo().Reuse(irp, status); }
void IoFreeIrp(IRP* irp) { CurrentIo().FreeIrp(irp); }
void IofCompleteRequest(IRP* irp, CCHAR boost) { CurrentIo().Complete(irp, boost); }

NTSTATUS IofCallDriver(DEVICE_OBJECT* deviceObject, IRP* irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierStop("IoCallDriver above DISPATCH_LEVEL");
    if (irp->CurrentLocation <= 1) sim::VerifierStop("IRP %p sent with no stack location left", (void*)irp);
    IoSetNextIrpStackLocation(irp);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = deviceObject;
    return deviceObject->DriverObject->MajorFunction[stack->MajorFunction](deviceObject, irp);
}

#include "sim/pnp/pnp_manager.h"

#include "platform/base/ntstatus.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "platform/registry/registry_types.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr char16_t kEnumRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kServicesRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr char16_t kDeviceClassesRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\";

NTSTATUS SignalAndKeep(DEVICE_OBJECT*, IRP*, PVOID context) {
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends `irp` (its next stack location filled in) to the top of the stack
// over `pdo` and waits for it.
NTSTATUS SendAndWait(DEVICE_OBJECT* pdo, IRP* irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    IoCallDriver(top, irp);  // the completion routine signals either way
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

std::u16string PropertyKeyPath(const PnpNode& node, const DEVPROPKEY& key) {
    char pid[8];
    std::snprintf(pid, sizeof(pid), "%04X", key.pid & 0xFFFF);
    return node.EnumKeyPath() + u"\\Properties\\" + GuidToString(key.fmtid) + u"\\" + ToU16(pid);
}

std::u16string HashedInstance(std::u16string_view instanceId) {
    std::u16string out(instanceId);
    std::replace(out.begin(), out.end(), u'\\', u'#');
    return out;
}

}  // namespace

std::u16string PnpNode::EnumKeyPath() const { return kEnumRoot + InstanceId(); }

PnpManager& CurrentPnp() { return CurrentMachine().pnp(); }

PnpManager::PnpManager(Machine& machine) : machine_(machine), notifier_(machine) {}

PnpManager::~PnpManager() = default;

void PnpManager::InstallDriver(const std::u16string& service, PDRIVER_INITIALIZE entry,
                               std::vector<std::u16string> hardwareIds, std::u16string deviceDescription) {
    auto& reg = machine_.registry();
    const std::u16string key = kServicesRoot + service;
    reg.SetDword(key, u"Type", 1);   // SERVICE_KERNEL_DRIVER
    reg.SetDword(key, u"Start", 3);  // SERVICE_DEMAND_START
    reg.SetDword(key, u"ErrorControl", 1);
    reg.SetString(key, u"ImagePath", u"\\SystemRoot\\System32\\drivers\\" + service + u".sys", REG_EXPAND_SZ);
    reg.CreateKey(key + u"\\Parameters");
    std::vector<PnpNode*> waiting;
    {
        std::lock_guard lock(mutex_);
        drivers_.push_back({service, entry, std::move(hardwareIds), std::move(deviceDescription), nullptr});
        for (auto& node : nodes_)
            if (node->state_ == NodeState::Present) waiting.push_back(node.get());
    }
    for (PnpNode* node : waiting) BindAndStart(node);
}

PnpManager::InstalledDriver* PnpManager::MatchDriver(const DeviceIdentity& identity) {
    std::lock_guard lock(mutex_);
    auto match = [&](const std::vector<std::u16string>& ids) -> InstalledDriver* {
        for (const auto& id : ids)
            for (auto& driver : drivers_)
                for (const auto& served : driver.hardwareIds)
                    if (EqualsNoCase(id, served)) return &driver;
        return nullptr;
    };
    if (InstalledDriver* d = match(identity.hardwareIds)) return d;
    return match(identity.compatibleIds);
}

void PnpManager::WriteEnumEntries(const PnpNode& node) {
    auto& reg = machine_.registry();
    const std::u16string key = node.EnumKeyPath();
    reg.SetMultiString(key, u"HardwareID", node.identity_.hardwareIds);
    if (!node.identity_.compatibleIds.empty())
        reg.SetMultiString(key, u"CompatibleIDs", node.identity_.compatibleIds);
    reg.SetString(key, u"ContainerID", GuidToString(node.identity_.containerId));
    if (!node.identity_.description.empty()) reg.SetString(key, u"DeviceDesc", node.identity_.description);
    if (!reg.GetDword(key, u"ConfigFlags")) reg.SetDword(key, u"ConfigFlags", 0);
    reg.CreateKey(key + u"\\Device Parameters");
}

PnpNode* PnpManager::Arrive(DEVICE_OBJECT* pdo, DeviceIdentity identity) {
    PnpNode* node;
    {
        std::lock_guard lock(mutex_);
        nodes_.push_back(std::make_unique<PnpNode>(std::move(identity), pdo));
        node = nodes_.back().get();
    }
    IoManager::Info(pdo).node = node;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    WriteEnumEntries(*node);
    BindAndStart(node);
    return node;
}

void PnpManager::BindAndStart(PnpNode* node) {
    InstalledDriver* driver = MatchDriver(node->identity_);
    if (driver == nullptr) return;
    auto& io = machine_.io();
    machine_.registry().SetString(node->EnumKeyPath(), u"Service", driver->service);
    if (!driver->deviceDescription.empty())
        machine_.registry().SetString(node->EnumKeyPath(), u"DeviceDesc", driver->deviceDescription);
    node->service_ = driver->service;
    if (driver->loaded == nullptr) {
        DRIVER_OBJECT* object = io.CreateDriverObject(driver->service);
        const NTSTATUS status = io.CallDriverEntry(object, driver->entry);
        if (!NT_SUCCESS(status)) {
            io.UnloadDriver(object);
            node->state_ = NodeState::StartFailed;
            node->startStatus_ = status;
            return;
        }
        driver->loaded = object;
    }
    DRIVER_OBJECT* object = driver->loaded;
    NTSTATUS status = STATUS_SUCCESS;
    if (object->DriverExtension->AddDevice != nullptr) status = object->DriverExtension->AddDevice(object, node->pdo_);
    if (NT_SUCCESS(status)) {
        CM_RESOURCE_LIST none{0};
        IO_STACK_LOCATION start{};
        start.Parameters.StartDevice.AllocatedResources = &none;
        start.Parameters.StartDevice.AllocatedResourcesTranslated = &none;
        status = SendPnp(node, IRP_MN_START_DEVICE, &start);
    }
    node->startStatus_ = status;
    if (NT_SUCCESS(status)) {
        node->state_ = NodeState::Started;
        node->power_ = PowerDeviceD0;
        return;
    }
    // A stack that failed to start is torn down, as Windows does.
    node->state_ = NodeState::StartFailed;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(node->pdo_);
    const bool stacked = top != node->pdo_;
    ObDereferenceObject(top);
    if (stacked) SendPnp(node, IRP_MN_REMOVE_DEVICE);
    if (object->DeviceObject == nullptr) {
        io.UnloadDriver(object);
        driver->loaded = nullptr;
    }
}

NTSTATUS PnpManager::SendPnp(PnpNode* node, UCHAR minor, IO_STACK_LOCATION* parameters) {
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(node->pdo_);
    IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
    ObDereferenceObject(top);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    if (parameters != nullptr) next->Parameters = parameters->Parameters;
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return SendAndWait(node->pdo_, irp);
}

NTSTATUS PnpManager::SendPower(PnpNode* node, UCHAR minor, DEVICE_POWER_STATE state) {
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(node->pdo_);
    IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
    ObDereferenceObject(top);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return SendAndWait(node->pdo_, irp);
}

NTSTATUS PnpManager::SetDevicePower(PnpNode* node, DEVICE_POWER_STATE state) {
    NTSTATUS status = SendPower(node, IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) return status;
    status = SendPower(node, IRP_MN_SET_POWER, state);
    if (NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED) node->power_ = state;
    return status;
}

void PnpManager::Depart(PnpNode* node, bool surprise) {
    DRIVER_OBJECT* driver = nullptr;
    {
        DEVICE_OBJECT* top = IoGetAttachedDeviceReference(node->pdo_);
        if (top != node->pdo_) driver = top->DriverObject;
        ObDereferenceObject(top);
    }
    if (node->state_ == NodeState::Started) {
        if (surprise) {
            node->state_ = NodeState::SurpriseRemoved;
            SendPnp(node, IRP_MN_SURPRISE_REMOVAL);
        } else {
            SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
        }
    }
    node->state_ = NodeState::Removed;
    // The bus driver deletes its PDO when it sees the removal of a child that
    // is gone.
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    {
        std::lock_guard lock(mutex_);
        for (auto& installed : drivers_)
            if (installed.loaded == driver && driver != nullptr && driver->DeviceObject == nullptr) {
                machine_.io().UnloadDriver(driver);
                installed.loaded = nullptr;
            }
        for (const auto& i : interfaces_) {
            if (i.node != node) continue;
            // A removed device's interfaces go with it, enabled or not.
            if (i.enabled) notifier_.Post({i.interfaceClass, i.symbolicLink, node->InstanceId(), false});
            machine_.io().DeleteSymbolicLink(i.deviceLink);
        }
        std::erase_if(interfaces_, [node](const DeviceInterface& i) { return i.node == node; });
        std::erase_if(nodes_, [node](const auto& n) { return n.get() == node; });
    }
}

std::vector<PnpNode*> PnpManager::Nodes() const {
    std::lock_guard lock(mutex_);
    std::vector<PnpNode*> out;
    for (auto& n : nodes_) out.push_back(n.get());
    return out;
}

PnpNode* PnpManager::NodeForPdo(DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(mutex_);
    for (auto& n : nodes_)
        if (n->pdo_ == pdo) return n.get();
    return nullptr;
}

NTSTATUS PnpManager::RegisterInterface(DEVICE_OBJECT* pdo, const GUID& interfaceClass,
                                       std::u16string_view referenceString, std::u16string* symbolicLink) {
    PnpNode* node = NodeForPdo(pdo);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string ref(referenceString);
    if (!ref.empty() && ref.front() == u'\\') ref.erase(0, 1);
    const std::u16string classText = GuidToString(interfaceClass);
    const std::u16string base = u"\\??\\" + HashedInstance(node->InstanceId()) + u"#" + classText;
    const std::u16string link = ref.empty() ? base : base + u"\\" + ref;
    std::lock_guard lock(mutex_);
    for (auto& existing : interfaces_)
        if (existing.node == node && existing.interfaceClass == interfaceClass && EqualsNoCase(existing.referenceString, ref)) {
            *symbolicLink = existing.symbolicLink;
            return STATUS_SUCCESS;
        }
    interfaces_.push_back({interfaceClass, ref, link, base, node, false});
    machine_.io().CreateSymbolicLink(base, pdo);
    auto& reg = machine_.registry();
    const std::u16string classKey = kDeviceClassesRoot + classText + u"\\##?#" + HashedInstance(node->InstanceId()) +
                                    u"#" + classText;
    reg.SetString(classKey, u"DeviceInstance", node->InstanceId());
    reg.SetString(classKey + u"\\#" + ref, u"SymbolicLink", u"\\\\?\\" + link.substr(4));
    *symbolicLink = link;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::SetInterfaceState(std::u16string_view symbolicLink, bool enable) {
    std::lock_guard lock(mutex_);
    for (auto& i : interfaces_)
        if (EqualsNoCase(i.symbolicLink, symbolicLink)) {
            if (i.enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
            i.enabled = enable;
            notifier_.Post({i.interfaceClass, i.symbolicLink, i.node != nullptr ? i.node->InstanceId() : u"", enable});
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<DeviceInterface> PnpManager::Interfaces(const GUID* interfaceClass) const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceInterface> out;
    for (auto& i : interfaces_)
        if (interfaceClass == nullptr || i.interfaceClass == *interfaceClass) out.push_back(i);
    return out;
}

NTSTATUS PnpManager::SetProperty(PnpNode* node, const DEVPROPKEY& key, ULONG flags, DEVPROPTYPE type,
                                 const void* data, ULONG size) {
    if (size != 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
    auto& reg = machine_.registry();
    const std::u16string path = PropertyKeyPath(*node, key);
    const auto bytes = static_cast<const UCHAR*>(data);
    std::lock_guard lock(mutex_);
    const auto volatileKey = std::make_pair(GuidToString(key.fmtid), key.pid);
    if (size == 0 && data == nullptr) {  // deletion
        node->volatileProperties_.erase(volatileKey);
        reg.DeleteKey(path);
        return STATUS_SUCCESS;
    }
    std::vector<UCHAR> value(bytes, bytes + size);
    if (flags & PLUGPLAY_PROPERTY_PERSISTENT) {
        node->volatileProperties_.erase(volatileKey);
        if (!reg.SetValue(path, u"", 0xFFFF0000u | type, value)) return STATUS_UNSUCCESSFUL;
    } else {
        reg.DeleteKey(path);
        node->volatileProperties_[volatileKey] = {type, std::move(value)};
    }
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::GetProperty(PnpNode* node, const DEVPROPKEY& key, void* data, ULONG size, ULONG* requiredSize,
                                 DEVPROPTYPE* type) const {
    std::lock_guard lock(mutex_);
    std::vector<UCHAR> value;
    DEVPROPTYPE valueType;
    if (auto stored = machine_.registry().GetValue(PropertyKeyPath(*node, key), u"");
        stored && (stored->type & 0xFFFF0000u) == 0xFFFF0000u) {
        value = stored->data;
        valueType = stored->type & 0xFFFFu;
    } else if (auto it = node->volatileProperties_.find({GuidToString(key.fmtid), key.pid});
               it != node->volatileProperties_.end()) {
        valueType = it->second.first;
        value = it->second.second;
    } else {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (requiredSize != nullptr) *requiredSize = static_cast<ULONG>(value.size());
    if (type != nullptr) *type = valueType;
    if (size < value.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!value.empty()) std::memcpy(data, value.data(), value.size());
    return STATUS_SUCCESS;
}

void PnpManager::Shutdown() {
    notifier_.Shutdown();
    for (;;) {
        PnpNode* node;
        {
            std::lock_guard lock(mutex_);
            if (nodes_.empty()) return;
            node = nodes_.back().get();
        }
        Depart(node, false);
    }
}

}  // namespace sim

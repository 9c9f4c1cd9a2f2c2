// The I/O manager's PnP routines a function driver calls on its physical
// device object: device registry keys, device properties, device
// interfaces.
#include "platform/base/ntstatus.h"
#include "platform/io/pnp.h"
#include "platform/kernel/pool.h"
#include "platform/registry/zw.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"

#include <cstring>
#include <vector>

namespace {

sim::PnpNode* NodeOf(DEVICE_OBJECT* pdo) {
    if (pdo == nullptr || pdo->DeviceObjectExtension == nullptr) return nullptr;
    return sim::IoManager::Info(pdo).node;
}

NTSTATUS CopyOut(const std::vector<UCHAR>& bytes, ULONG bufferLength, PVOID buffer, ULONG* resultLength) {
    *resultLength = static_cast<ULONG>(bytes.size());
    if (bufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

std::vector<UCHAR> StringBytes(const std::u16string& text) {
    std::vector<UCHAR> out((text.size() + 1) * 2, 0);
    std::memcpy(out.data(), text.data(), text.size() * 2);
    return out;
}

std::vector<UCHAR> MultiStringBytes(const std::vector<std::u16string>& strings) {
    std::vector<UCHAR> out;
    for (const auto& s : strings) {
        auto b = StringBytes(s);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

constexpr ULONG kLinkTag = PoolTag("IoSl");

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(DEVICE_OBJECT* deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 HANDLE* devInstRegKey) {
    sim::PnpNode* node = NodeOf(deviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string path = node->EnumKeyPath();
    if (devInstKeyType & PLUGPLAY_REGKEY_DEVICE) path += u"\\Device Parameters";
    else if (devInstKeyType & PLUGPLAY_REGKEY_DRIVER) path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + node->InstanceId();
    else return STATUS_INVALID_PARAMETER;
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ULONG disposition;
    return ZwCreateKey(devInstRegKey, desiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* deviceObject, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID propertyBuffer, ULONG* resultLength) {
    sim::PnpNode* node = NodeOf(deviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const auto& id = node->identity();
    switch (property) {
    case DevicePropertyHardwareID:
        return CopyOut(MultiStringBytes(id.hardwareIds), bufferLength, propertyBuffer, resultLength);
    case DevicePropertyCompatibleIDs:
        return CopyOut(MultiStringBytes(id.compatibleIds), bufferLength, propertyBuffer, resultLength);
    case DevicePropertyContainerID:
        return CopyOut(StringBytes(sim::GuidToString(id.containerId)), bufferLength, propertyBuffer, resultLength);
    case DevicePropertyDeviceDescription:
        return CopyOut(StringBytes(id.description), bufferLength, propertyBuffer, resultLength);
    case DevicePropertyEnumeratorName:
        return CopyOut(StringBytes(id.deviceId.substr(0, id.deviceId.find(u'\\'))), bufferLength, propertyBuffer,
                       resultLength);
    case DevicePropertyPhysicalDeviceObjectName:
        return CopyOut(StringBytes(sim::IoManager::Info(deviceObject).name), bufferLength, propertyBuffer,
                       resultLength);
    default:
        *resultLength = 0;
        return STATUS_INVALID_PARAMETER_2;  // a property this bus does not report
    }
}

NTSTATUS IoSetDevicePropertyData(DEVICE_OBJECT* pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG flags,
                                 DEVPROPTYPE type, ULONG size, PVOID data) {
    sim::PnpNode* node = NodeOf(pdo);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (propertyKey == nullptr || lcid != LOCALE_NEUTRAL) return STATUS_INVALID_PARAMETER;
    return sim::CurrentPnp().SetProperty(node, *propertyKey, flags, type, data, size);
}

NTSTATUS IoGetDevicePropertyData(DEVICE_OBJECT* pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG, ULONG size,
                                 PVOID data, ULONG* requiredSize, DEVPROPTYPE* type) {
    sim::PnpNode* node = NodeOf(pdo);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (propertyKey == nullptr || lcid != LOCALE_NEUTRAL || requiredSize == nullptr || type == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (size != 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
    return sim::CurrentPnp().GetProperty(node, *propertyKey, data, size, requiredSize, type);
}

NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* physicalDeviceObject, const GUID* interfaceClassGuid,
                                   UNICODE_STRING* referenceString, UNICODE_STRING* symbolicLinkName) {
    if (NodeOf(physicalDeviceObject) == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string_view ref;
    if (referenceString != nullptr && referenceString->Buffer != nullptr)
        ref = std::u16string_view(referenceString->Buffer, referenceString->Length / 2);
    std::u16string link;
    const NTSTATUS status = sim::CurrentPnp().RegisterInterface(physicalDeviceObject, *interfaceClassGuid, ref, &link);
    if (!NT_SUCCESS(status)) return status;
    const std::size_t bytes = (link.size() + 1) * 2;
    auto* buffer = static_cast<WCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kLinkTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(link.size() * 2);
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(UNICODE_STRING* symbolicLinkName, BOOLEAN enable) {
    if (symbolicLinkName == nullptr || symbolicLinkName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
    return sim::CurrentPnp().SetInterfaceState(
        std::u16string_view(symbolicLinkName->Buffer, symbolicLinkName->Length / 2), enable != 0);
}

void RtlFreeUnicodeString(UNICODE_STRING* string) {
    if (string->Buffer != nullptr) ExFreePool(string->Buffer);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

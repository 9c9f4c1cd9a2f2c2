// Device registry keys, device properties and device interfaces of a
// physical device object.
#pragma once

#include "platform/base/types.h"
#include "platform/base/unicode.h"
#include "platform/io/device.h"

// IoOpenDeviceRegistryKey.
inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
inline constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
inline constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;
extern "C" NTSTATUS IoOpenDeviceRegistryKey(DEVICE_OBJECT* deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 HANDLE* devInstRegKey);

// IoGetDeviceProperty.
enum DEVICE_REGISTRY_PROPERTY : LONG {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyCompatibleIDs = 2,
    DevicePropertyBootConfiguration = 3,
    DevicePropertyBootConfigurationTranslated = 4,
    DevicePropertyClassName = 5,
    DevicePropertyClassGuid = 6,
    DevicePropertyDriverKeyName = 7,
    DevicePropertyManufacturer = 8,
    DevicePropertyFriendlyName = 9,
    DevicePropertyLocationInformation = 10,
    DevicePropertyPhysicalDeviceObjectName = 11,
    DevicePropertyBusTypeGuid = 12,
    DevicePropertyLegacyBusType = 13,
    DevicePropertyBusNumber = 14,
    DevicePropertyEnumeratorName = 15,
    DevicePropertyAddress = 16,
    DevicePropertyUINumber = 17,
    DevicePropertyInstallState = 18,
    DevicePropertyRemovalPolicy = 19,
    DevicePropertyResourceRequirements = 20,
    DevicePropertyAllocatedResources = 21,
    DevicePropertyContainerID = 22
};
// Copies the property into `buffer`; STATUS_BUFFER_TOO_SMALL with the size
// needed in `resultLength` when it does not fit.
extern "C" NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* deviceObject, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID propertyBuffer, ULONG* resultLength);

// Unified device properties (devpropdef.h).
using DEVPROPTYPE = ULONG;
using DEVPROPID = ULONG;
using LCID = ULONG;
struct DEVPROPKEY {
    GUID fmtid;
    DEVPROPID pid;
};
static_assert(sizeof(DEVPROPKEY) == 20);
inline constexpr DEVPROPTYPE DEVPROP_TYPE_EMPTY = 0x00000000;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_NULL = 0x00000001;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_BYTE = 0x00000003;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_UINT32 = 0x00000007;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_UINT64 = 0x00000009;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_GUID = 0x0000000D;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_BOOLEAN = 0x00000011;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x00000012;
inline constexpr DEVPROPTYPE DEVPROP_TYPE_BINARY = 0x00001003;  // DEVPROP_TYPE_BYTE | DEVPROP_TYPEMOD_ARRAY
inline constexpr DEVPROPTYPE DEVPROP_TYPEMOD_ARRAY = 0x00001000;
inline constexpr DEVPROPTYPE DEVPROP_TYPEMOD_LIST = 0x00002000;
inline constexpr ULONG PLUGPLAY_PROPERTY_PERSISTENT = 0x00000001;
inline constexpr LCID LOCALE_NEUTRAL = 0;

// Writes (or with size 0 and no data, deletes) a property of the device
// node. Persistent properties live in the registry under the device's Enum
// key, as Windows keeps them, and survive a restart.
extern "C" NTSTATUS IoSetDevicePropertyData(DEVICE_OBJECT* pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG flags,
                                 DEVPROPTYPE type, ULONG size, PVOID data);
// Reads a property; STATUS_BUFFER_TOO_SMALL with `requiredSize` when the
// buffer is too small, STATUS_OBJECT_NAME_NOT_FOUND when it is not set.
extern "C" NTSTATUS IoGetDevicePropertyData(DEVICE_OBJECT* pdo, const DEVPROPKEY* propertyKey, LCID lcid, ULONG flags,
                                 ULONG size, PVOID data, ULONG* requiredSize, DEVPROPTYPE* type);

// Device interfaces: registered per physical device object, class GUID and
// reference string; user mode opens "<symbolic link>\<reference string>".
extern "C" NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* physicalDeviceObject, const GUID* interfaceClassGuid,
                                   UNICODE_STRING* referenceString, UNICODE_STRING* symbolicLinkName);
extern "C" NTSTATUS IoSetDeviceInterfaceState(UNICODE_STRING* symbolicLinkName, BOOLEAN enable);

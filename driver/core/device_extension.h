// The driver's part of the functional device object's extension: PortCls
// owns the first 512 bytes, the driver's fields follow.
#pragma once

#include "platform/base/types.h"
#include "platform/portcls/portcls.h"

struct IAdapterCommon;

struct DeviceExtension {
    UCHAR PortClassReserved[PORT_CLASS_DEVICE_EXTENSION_SIZE];
    // The device's adapter (primary interface); set at the end of
    // start-device. Not counted: PortCls and the miniport hold the references.
    IAdapterCommon* Adapter;
    // 1 when the device carries a USB-MIDI streaming interface.
    ULONG MidiMode;
};
inline constexpr ULONG kDeviceExtensionSize = 528;
static_assert(sizeof(DeviceExtension) == kDeviceExtensionSize);
static_assert(offsetof(DeviceExtension, Adapter) == 512);
static_assert(offsetof(DeviceExtension, MidiMode) == 520);

inline DeviceExtension* ExtensionOf(DEVICE_OBJECT* functionalDeviceObject) {
    return static_cast<DeviceExtension*>(functionalDeviceObject->DeviceExtension);
}

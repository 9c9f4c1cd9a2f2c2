// What a USB client driver sends down its stack: the internal device-control
// codes (usbioctl.h), the USBDI bus interface (usbbusif.h), and the device
// interface classes (usbiodef.h).
#pragma once

#include "platform/base/types.h"
#include "platform/usb/urb.h"

#include <cstddef>

// FILE_DEVICE_USB is FILE_DEVICE_UNKNOWN; the codes are METHOD_NEITHER,
// FILE_ANY_ACCESS: CTL_CODE(0x22, function, 3, 0).
inline constexpr ULONG FILE_DEVICE_USB = 0x00000022;
inline constexpr ULONG USB_SUBMIT_URB = 0;
inline constexpr ULONG USB_RESET_PORT = 1;
inline constexpr ULONG USB_GET_PORT_STATUS = 4;
inline constexpr ULONG USB_CYCLE_PORT = 7;

constexpr ULONG UsbInternalIoctl(ULONG function) { return (FILE_DEVICE_USB << 16) | (function << 2) | 3u; }

// Parameters.Others.Argument1 of the stack location is the URB.
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;
inline constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x00220007;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x00220013;
// Simulates an unplug and replug of the device: it enumerates afresh.
inline constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x0022001F;
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == UsbInternalIoctl(USB_SUBMIT_URB));
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == UsbInternalIoctl(USB_RESET_PORT));
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == UsbInternalIoctl(USB_GET_PORT_STATUS));
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == UsbInternalIoctl(USB_CYCLE_PORT));

// The bus interface returned for IRP_MN_QUERY_INTERFACE with
// USB_BUS_INTERFACE_USBDI_GUID. Its first five fields are the generic
// INTERFACE header. Every routine takes BusContext as its first argument.
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};

inline constexpr USHORT USB_BUSIF_USBDI_VERSION_0 = 0x0000;
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 0x0001;
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_2 = 0x0002;
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_3 = 0x0003;

using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);

using PUSB_BUSIFFN_GETUSBDI_VERSION = void (*)(PVOID busContext, PUSBD_VERSION_INFORMATION versionInformation,
                                               ULONG* hcdCapabilities);
// The current USB frame number (milliseconds).
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID busContext, ULONG* currentUsbFrame);
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID busContext, PURB urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID busContext, ULONG level, PVOID busInformationBuffer,
                                                        ULONG* busInformationBufferLength,
                                                        ULONG* busInformationActualLength);
// TRUE for a device that runs at high speed or faster.
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID busContext);

struct USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
using PUSB_BUS_INTERFACE_USBDI_V1 = USB_BUS_INTERFACE_USBDI_V1*;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == 8);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceReference) == 16);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusTime) == 40);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 64);

// Device interface classes.
inline constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HUB = {
    0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};
inline constexpr GUID GUID_DEVINTERFACE_USB_HOST_CONTROLLER = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

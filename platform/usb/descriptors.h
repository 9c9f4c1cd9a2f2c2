// Standard USB descriptors and request constants, as the Windows USB headers
// (usb100.h, usb200.h) lay them out: byte-packed, little-endian multi-byte
// fields, exactly as they travel on the wire.
//
// A descriptor pointer into a buffer received from a device is only as good
// as the walk that produced it: use platform/usb/walk.h (or the USBD parse
// routines) to obtain one, never raw arithmetic on bLength.
#pragma once

#include "platform/base/types.h"

#include <cstddef>

// Descriptor types (bDescriptorType).
inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
inline constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
inline constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
inline constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
inline constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;
inline constexpr UCHAR USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06;
inline constexpr UCHAR USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE = 0x07;
inline constexpr UCHAR USB_INTERFACE_POWER_DESCRIPTOR_TYPE = 0x08;
inline constexpr UCHAR USB_OTG_DESCRIPTOR_TYPE = 0x09;
inline constexpr UCHAR USB_DEBUG_DESCRIPTOR_TYPE = 0x0A;
inline constexpr UCHAR USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B;
inline constexpr UCHAR USB_BOS_DESCRIPTOR_TYPE = 0x0F;
inline constexpr UCHAR USB_DEVICE_CAPABILITY_DESCRIPTOR_TYPE = 0x10;
inline constexpr UCHAR USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE = 0x30;
inline constexpr UCHAR USB_SUPERSPEEDPLUS_ISOCH_ENDPOINT_COMPANION_DESCRIPTOR_TYPE = 0x31;

// Standard requests (bRequest).
inline constexpr UCHAR USB_REQUEST_GET_STATUS = 0x00;
inline constexpr UCHAR USB_REQUEST_CLEAR_FEATURE = 0x01;
inline constexpr UCHAR USB_REQUEST_SET_FEATURE = 0x03;
inline constexpr UCHAR USB_REQUEST_SET_ADDRESS = 0x05;
inline constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
inline constexpr UCHAR USB_REQUEST_SET_DESCRIPTOR = 0x07;
inline constexpr UCHAR USB_REQUEST_GET_CONFIGURATION = 0x08;
inline constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;
inline constexpr UCHAR USB_REQUEST_GET_INTERFACE = 0x0A;
inline constexpr UCHAR USB_REQUEST_SET_INTERFACE = 0x0B;
inline constexpr UCHAR USB_REQUEST_SYNC_FRAME = 0x0C;

// bmRequestType fields (bit 7 direction, bits 5-6 type, bits 0-4 recipient).
inline constexpr UCHAR BMREQUEST_HOST_TO_DEVICE = 0;
inline constexpr UCHAR BMREQUEST_DEVICE_TO_HOST = 1;
inline constexpr UCHAR BMREQUEST_STANDARD = 0;
inline constexpr UCHAR BMREQUEST_CLASS = 1;
inline constexpr UCHAR BMREQUEST_VENDOR = 2;
inline constexpr UCHAR BMREQUEST_TO_DEVICE = 0;
inline constexpr UCHAR BMREQUEST_TO_INTERFACE = 1;
inline constexpr UCHAR BMREQUEST_TO_ENDPOINT = 2;
inline constexpr UCHAR BMREQUEST_TO_OTHER = 3;

constexpr USHORT USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(UCHAR type, UCHAR index) {
    return static_cast<USHORT>((type << 8) | index);
}

// Device and interface classes used by this package.
inline constexpr UCHAR USB_DEVICE_CLASS_RESERVED = 0x00;
inline constexpr UCHAR USB_DEVICE_CLASS_AUDIO = 0x01;
inline constexpr UCHAR USB_DEVICE_CLASS_MISCELLANEOUS = 0xEF;
inline constexpr UCHAR USB_DEVICE_CLASS_VENDOR_SPECIFIC = 0xFF;

// Configuration bmAttributes.
inline constexpr UCHAR USB_CONFIG_POWERED_MASK = 0xC0;
inline constexpr UCHAR USB_CONFIG_BUS_POWERED = 0x80;
inline constexpr UCHAR USB_CONFIG_SELF_POWERED = 0x40;
inline constexpr UCHAR USB_CONFIG_REMOTE_WAKEUP = 0x20;

// Endpoint address and attribute fields.
inline constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
inline constexpr UCHAR USB_ENDPOINT_ADDRESS_MASK = 0x0F;
constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
constexpr bool USB_ENDPOINT_DIRECTION_OUT(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) == 0; }

inline constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
inline constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
inline constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
inline constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;

inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK = 0x0C;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_NO_SYNCHRONIZATION = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS = 0x04;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE = 0x08;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_SYNCHRONOUS = 0x0C;

inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK = 0x30;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_DATA_ENDOINT = 0x00;  // sic, as Windows spells it
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT = 0x10;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_IMPLICIT_FEEDBACK_DATA_ENDPOINT = 0x20;

inline constexpr USHORT USB_ENDPOINT_SUPERSPEED_BULK_MAX_PACKET_SIZE = 1024;
inline constexpr USHORT USB_ENDPOINT_SUPERSPEED_ISO_MAX_PACKET_SIZE = 1024;

// Language id of the only language this package asks for.
inline constexpr USHORT USB_LANGID_ENGLISH_US = 0x0409;

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};
using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;

struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;  // 9 at SuperSpeed: an exponent, 2^9 = 512
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;

struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
};
using PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR = USB_INTERFACE_ASSOCIATION_DESCRIPTOR*;

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;

// The standard endpoint descriptor. Audio-class 1.0 (and USB-MIDI 1.0)
// endpoints are two bytes longer: see USB_AUDIO10_ENDPOINT_DESCRIPTOR.
struct USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};
using PUSB_ENDPOINT_DESCRIPTOR = USB_ENDPOINT_DESCRIPTOR*;

// bString holds (bLength - 2) / 2 UTF-16LE code units, not terminated.
struct USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
};
using PUSB_STRING_DESCRIPTOR = USB_STRING_DESCRIPTOR*;

struct USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bMaxBurst;
    union {
        UCHAR AsUchar;  // bulk: MaxStreams in bits 0-4; isochronous: Mult in bits 0-1
    } bmAttributes;
    USHORT wBytesPerInterval;
};
using PUSB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR = USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR*;

// The control-transfer setup packet (USB_DEFAULT_PIPE_SETUP_PACKET with
// plain fields; the Windows unions add only alternative views of them).
struct USB_DEFAULT_PIPE_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
};
using PUSB_DEFAULT_PIPE_SETUP_PACKET = USB_DEFAULT_PIPE_SETUP_PACKET*;

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bMaxPacketSize0) == 7);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == 10);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, bmAttributes) == 7);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, MaxPower) == 8);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints) == 4);
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceClass) == 5);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(offsetof(USB_STRING_DESCRIPTOR, bString) == 2);
static_assert(sizeof(USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR) == 6);
static_assert(offsetof(USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR, wBytesPerInterval) == 4);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(offsetof(USB_DEFAULT_PIPE_SETUP_PACKET, wLength) == 6);

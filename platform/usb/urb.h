// USB request blocks (URBs) as usb.h lays them out on x64, the USBD_STATUS
// codes, and the pipe and interface information the bus driver returns.
//
// URBs are naturally aligned (not packed); every size and offset below is
// the Win64 one and is checked at compile time.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/descriptors.h"

#include <cstddef>

struct MDL;  // platform/io
using PMDL = MDL*;

// URB function codes (URB_HEADER.Function).
inline constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
inline constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
inline constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
inline constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
inline constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr USHORT URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE = 0x000C;
inline constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013;
inline constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
inline constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
inline constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
inline constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
inline constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
inline constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
inline constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
inline constexpr USHORT URB_FUNCTION_RESET_PIPE = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
inline constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
inline constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT = 0x0024;
inline constexpr USHORT URB_FUNCTION_GET_CONFIGURATION = 0x0026;
inline constexpr USHORT URB_FUNCTION_GET_INTERFACE = 0x0027;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE = 0x0028;
inline constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE = 0x0030;
inline constexpr USHORT URB_FUNCTION_SYNC_CLEAR_STALL = 0x0031;

// Transfer flags.
inline constexpr ULONG USBD_TRANSFER_DIRECTION = 0x00000001;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;
inline constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x00000004;
inline constexpr ULONG USBD_DEFAULT_PIPE_TRANSFER = 0x00000008;
inline constexpr ULONG VALID_TRANSFER_FLAGS_MASK =
    USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION | USBD_START_ISO_TRANSFER_ASAP | USBD_DEFAULT_PIPE_TRANSFER;
constexpr ULONG USBD_TRANSFER_DIRECTION_FLAG(ULONG flags) { return flags & USBD_TRANSFER_DIRECTION; }

// USBD_STATUS: bits 30-31 are the state (00 success, 01 pending, 11 error;
// 10 is an error too, for the "parameter" class of codes).
using USBD_STATUS = LONG;
constexpr bool USBD_SUCCESS(USBD_STATUS status) { return status >= 0; }
constexpr bool USBD_PENDING(USBD_STATUS status) { return (static_cast<ULONG>(status) >> 30) == 1; }
constexpr bool USBD_ERROR(USBD_STATUS status) { return status < 0; }

#define OVU_USBD_STATUS_TABLE(X)                              \
    X(USBD_STATUS_SUCCESS, 0x00000000)                        \
    X(USBD_STATUS_PENDING, 0x40000000)                        \
    X(USBD_STATUS_CRC, 0xC0000001)                            \
    X(USBD_STATUS_BTSTUFF, 0xC0000002)                        \
    X(USBD_STATUS_DATA_TOGGLE_MISMATCH, 0xC0000003)           \
    X(USBD_STATUS_STALL_PID, 0xC0000004)                      \
    X(USBD_STATUS_DEV_NOT_RESPONDING, 0xC0000005)             \
    X(USBD_STATUS_PID_CHECK_FAILURE, 0xC0000006)              \
    X(USBD_STATUS_UNEXPECTED_PID, 0xC0000007)                 \
    X(USBD_STATUS_DATA_OVERRUN, 0xC0000008)                   \
    X(USBD_STATUS_DATA_UNDERRUN, 0xC0000009)                  \
    X(USBD_STATUS_BUFFER_OVERRUN, 0xC000000C)                 \
    X(USBD_STATUS_BUFFER_UNDERRUN, 0xC000000D)                \
    X(USBD_STATUS_NOT_ACCESSED, 0xC000000F)                   \
    X(USBD_STATUS_FIFO, 0xC0000010)                           \
    X(USBD_STATUS_XACT_ERROR, 0xC0000011)                     \
    X(USBD_STATUS_BABBLE_DETECTED, 0xC0000012)                \
    X(USBD_STATUS_DATA_BUFFER_ERROR, 0xC0000013)              \
    X(USBD_STATUS_ENDPOINT_HALTED, 0xC0000030)                \
    X(USBD_STATUS_INVALID_URB_FUNCTION, 0x80000200)           \
    X(USBD_STATUS_INVALID_PARAMETER, 0x80000300)              \
    X(USBD_STATUS_ERROR_BUSY, 0x80000400)                     \
    X(USBD_STATUS_INVALID_PIPE_HANDLE, 0x80000600)            \
    X(USBD_STATUS_NO_BANDWIDTH, 0x80000700)                   \
    X(USBD_STATUS_INTERNAL_HC_ERROR, 0x80000800)              \
    X(USBD_STATUS_ERROR_SHORT_TRANSFER, 0x80000900)           \
    X(USBD_STATUS_BAD_START_FRAME, 0xC0000A00)                \
    X(USBD_STATUS_ISOCH_REQUEST_FAILED, 0xC0000B00)           \
    X(USBD_STATUS_FRAME_CONTROL_OWNED, 0xC0000C00)            \
    X(USBD_STATUS_FRAME_CONTROL_NOT_OWNED, 0xC0000D00)        \
    X(USBD_STATUS_NOT_SUPPORTED, 0xC0000E00)                  \
    X(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, 0xC0000F00) \
    X(USBD_STATUS_INSUFFICIENT_RESOURCES, 0xC0001000)         \
    X(USBD_STATUS_SET_CONFIG_FAILED, 0xC0002000)              \
    X(USBD_STATUS_BUFFER_TOO_SMALL, 0xC0003000)               \
    X(USBD_STATUS_INTERFACE_NOT_FOUND, 0xC0004000)            \
    X(USBD_STATUS_INAVLID_PIPE_FLAGS, 0xC0005000)             \
    X(USBD_STATUS_TIMEOUT, 0xC0006000)                        \
    X(USBD_STATUS_DEVICE_GONE, 0xC0007000)                    \
    X(USBD_STATUS_STATUS_NOT_MAPPED, 0xC0008000)              \
    X(USBD_STATUS_HUB_INTERNAL_ERROR, 0xC0009000)             \
    X(USBD_STATUS_CANCELED, 0xC0010000)                       \
    X(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0xC0020000)         \
    X(USBD_STATUS_ISO_TD_ERROR, 0xC0030000)                   \
    X(USBD_STATUS_ISO_NA_LATE_USBPORT, 0xC0040000)            \
    X(USBD_STATUS_ISO_NOT_ACCESSED_LATE, 0xC0050000)          \
    X(USBD_STATUS_BAD_DESCRIPTOR, 0xC0100000)                 \
    X(USBD_STATUS_BAD_DESCRIPTOR_BLEN, 0xC0100001)            \
    X(USBD_STATUS_BAD_DESCRIPTOR_TYPE, 0xC0100002)            \
    X(USBD_STATUS_BAD_INTERFACE_DESCRIPTOR, 0xC0100003)       \
    X(USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR, 0xC0100004)        \
    X(USBD_STATUS_BAD_CONFIG_DESC_LENGTH, 0xC0100006)         \
    X(USBD_STATUS_BAD_NUMBER_OF_INTERFACES, 0xC0100007)       \
    X(USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS, 0xC0100008)        \
    X(USBD_STATUS_BAD_ENDPOINT_ADDRESS, 0xC0100009)

#define OVU_USBD_STATUS_CONSTANT(name, value) \
    inline constexpr USBD_STATUS name = static_cast<USBD_STATUS>(static_cast<std::uint32_t>(value));
OVU_USBD_STATUS_TABLE(OVU_USBD_STATUS_CONSTANT)
#undef OVU_USBD_STATUS_CONSTANT

// The name of a USBD_STATUS value ("USBD_STATUS_STALL_PID"), or nullptr for
// a value outside the table.
const char* UsbdStatusName(USBD_STATUS status);

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

inline constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0xFFFFFFFF;

struct USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};
using PUSBD_VERSION_INFORMATION = USBD_VERSION_INFORMATION*;

enum USBD_PIPE_TYPE : INT {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
};

struct USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
};
using PUSBD_PIPE_INFORMATION = USBD_PIPE_INFORMATION*;

constexpr bool USBD_PIPE_DIRECTION_IN(const USBD_PIPE_INFORMATION* pipe) {
    return (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

inline constexpr ULONG USBD_PF_CHANGE_MAX_PACKET = 0x00000001;
inline constexpr ULONG USBD_PF_SHORT_PACKET_OPT = 0x00000002;
inline constexpr ULONG USBD_PF_ENABLE_RT_THREAD_ACCESS = 0x00000004;
inline constexpr ULONG USBD_PF_MAP_ADD_TRANSFERS = 0x00000008;

// Variable length: Pipes holds NumberOfPipes entries; Length is the whole
// record's size in bytes (GET_USBD_INTERFACE_SIZE).
struct USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

struct URB;
using PURB = URB*;

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_INTERFACE {
    _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// A null ConfigurationDescriptor un-configures the device. Interface is the
// first of as many variable-length interface records as the request holds.
struct _URB_SELECT_CONFIGURATION {
    _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// ABORT_PIPE, SYNC_RESET_PIPE_AND_CLEAR_STALL and the other pipe requests.
struct _URB_PIPE_REQUEST {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;  // in: bytes asked for; out: bytes moved
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
};

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
};
using PUSBD_ISO_PACKET_DESCRIPTOR = USBD_ISO_PACKET_DESCRIPTOR*;

// Declared for the layout of the URB union only: this package moves no
// audio over isochronous pipes.
struct _URB_ISOCH_TRANSFER {
    _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

// The class or vendor request; the URB function names the type and the
// recipient, TransferFlags bit 0 the direction.
struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct URB {
    union {
        _URB_HEADER UrbHeader;
        _URB_SELECT_INTERFACE UrbSelectInterface;
        _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        _URB_PIPE_REQUEST UrbPipeRequest;
        _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        _URB_CONTROL_TRANSFER UrbControlTransfer;
        _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    };
};

constexpr USBD_STATUS URB_STATUS(const URB* urb) { return urb->UrbHeader.Status; }

// Request sizes, as the usbdlib.h macros compute them.
constexpr USHORT GET_USBD_INTERFACE_SIZE(ULONG numEndpoints) {
    return static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +
                               numEndpoints * sizeof(USBD_PIPE_INFORMATION));
}
constexpr USHORT GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG totalPipes) {
    return static_cast<USHORT>(sizeof(_URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +
                               totalPipes * sizeof(USBD_PIPE_INFORMATION));
}
constexpr USHORT GET_SELECT_CONFIGURATION_REQUEST_SIZE(ULONG totalInterfaces, ULONG totalPipes) {
    return static_cast<USHORT>(sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                               totalInterfaces * GET_USBD_INTERFACE_SIZE(0) +
                               totalPipes * sizeof(USBD_PIPE_INFORMATION));
}

static_assert(sizeof(USBD_VERSION_INFORMATION) == 8);
static_assert(sizeof(USBD_PIPE_TYPE) == 4);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2);
static_assert(offsetof(USBD_PIPE_INFORMATION, Interval) == 3);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeType) == 4);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8);
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16);
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeFlags) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(_URB_HCD_AREA) == 64);
static_assert(sizeof(_URB_HEADER) == 24);
static_assert(offsetof(_URB_HEADER, Status) == 4);
static_assert(offsetof(_URB_HEADER, UsbdDeviceHandle) == 8);
static_assert(offsetof(_URB_HEADER, UsbdFlags) == 16);
static_assert(sizeof(_URB_SELECT_INTERFACE) == 80);
static_assert(offsetof(_URB_SELECT_INTERFACE, Interface) == 32);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32);
static_assert(offsetof(_URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(offsetof(_URB_PIPE_REQUEST, PipeHandle) == 24);
static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 32);
static_assert(sizeof(_URB_CONTROL_TRANSFER) == 136);
static_assert(offsetof(_URB_CONTROL_TRANSFER, SetupPacket) == 128);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 24);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 32);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 40);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 48);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 56);
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 64);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131);
static_assert(offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130);
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132);
static_assert(sizeof(URB) == 152);
static_assert(GET_USBD_INTERFACE_SIZE(0) == 24 && GET_USBD_INTERFACE_SIZE(2) == 72);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56 && GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 104);
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1) == sizeof(_URB_SELECT_CONFIGURATION));

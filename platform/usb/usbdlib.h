// The USBD library routines a client driver links against (usbdlib.h):
// descriptor parsing, the configuration request, and the URB builders.
//
// The parse routines keep their Windows signatures and semantics, and are
// bounded: they never look past the configuration descriptor's wTotalLength
// (or the TotalLength given), and they treat a descriptor with a bLength
// below 2, or one running past the end, as the end of the data.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/urb.h"
#include "platform/usb/descriptors.h"

// One entry of the interface list given to USBD_CreateConfigurationRequestEx;
// a null InterfaceDescriptor ends the list. On return Interface points at the
// entry's interface information inside the URB.
struct USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
};
using PUSBD_INTERFACE_LIST_ENTRY = USBD_INTERFACE_LIST_ENTRY*;
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16);

// The first descriptor at or after StartPosition whose bDescriptorType is
// DescriptorType, within DescriptorBuffer[0, TotalLength); nullptr when there
// is none, or when StartPosition lies outside the buffer.
extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// The first interface descriptor at or after StartPosition, within the
// configuration's wTotalLength, that matches every criterion not -1.
extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);

// The older form: interface number and alternate setting, from the start.
extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting);

// A select-configuration URB for the listed interfaces, allocated from
// non-paged pool (free it with ExFreePool): one USBD_INTERFACE_INFORMATION
// per entry with its pipes' MaximumTransferSize at the default, each entry's
// Interface pointing into the URB. nullptr when the list is empty, the
// request would not fit a URB's 16-bit length, or the pool is exhausted.
extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// The URB builders. Like the usbdlib.h macros they set only the fields they
// name; callers zero the URB first.

inline void UsbBuildGetDescriptorRequest(URB* urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, URB* link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline void UsbBuildInterruptOrBulkTransferRequest(URB* urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags, URB* link) {
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(URB* urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

// `length` is GET_SELECT_INTERFACE_REQUEST_SIZE(pipes); the interface
// record's Length is derived from it as usbdlib.h does.
inline void UsbBuildSelectInterfaceRequest(URB* urb, USHORT length, USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        static_cast<USHORT>(length - sizeof(_URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

// A class or vendor request; `function` is one of URB_FUNCTION_CLASS_* /
// URB_FUNCTION_VENDOR_*.
inline void UsbBuildVendorRequest(URB* urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL, ULONG transferBufferLength,
                                  URB* link) {
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}

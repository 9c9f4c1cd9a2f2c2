// USBD_CreateConfigurationRequestEx: the one USBD routine that allocates.
// Kept apart from the parse routines so that code which only walks
// descriptors does not pull in the pool.
#include "platform/kernel/pool.h"
#include "platform/usb/usbdlib.h"

#include <cstring>

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (InterfaceList == nullptr) return nullptr;
    SIZE_T interfaces = 0;
    SIZE_T pipes = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        ++interfaces;
        pipes += entry->InterfaceDescriptor->bNumEndpoints;
        if (interfaces > 0xFFFF) return nullptr;  // certainly beyond a 16-bit URB length
    }
    if (interfaces == 0) return nullptr;
    const SIZE_T size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                        interfaces * GET_USBD_INTERFACE_SIZE(0) + pipes * sizeof(USBD_PIPE_INFORMATION);
    if (size > 0xFFFF) return nullptr;  // Hdr.Length could not say it

    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, PoolTag("USBD")));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);

    auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const USB_INTERFACE_DESCRIPTOR* descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        USBD_PIPE_INFORMATION* pipe = info->Pipes;
        for (ULONG i = 0; i < descriptor->bNumEndpoints; ++i) pipe[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = info;
        cursor += info->Length;
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    return urb;
}

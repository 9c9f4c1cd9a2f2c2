// Configuration and interface selection, the interface table and the pipe
// requests of the USB request layer. All of it runs at PASSIVE_LEVEL.
#include "driver/core/usb_device.h"

#include "driver/core/kernel_locks.h"
#include "driver/core/usb_trace.h"
#include "platform/kernel/irql.h"
#include "platform/usb/usbdlib.h"

#include <cstring>

namespace {

// A copy of interface information returned by the bus driver, in its own
// allocation. `room` is how many bytes the returned record may occupy; a
// record claiming more pipes than fit is refused.
USBD_INTERFACE_INFORMATION* CopyInterface(const USBD_INTERFACE_INFORMATION* source, ULONG room) {
    if (room < GET_USBD_INTERFACE_SIZE(0)) return nullptr;
    const ULONG maxPipes = (room - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION);
    if (source->NumberOfPipes > maxPipes) return nullptr;
    const ULONG size = GET_USBD_INTERFACE_SIZE(source->NumberOfPipes);
    auto* copy = static_cast<USBD_INTERFACE_INFORMATION*>(ExAllocatePoolZero(NonPagedPoolNx, size, kUsbPoolTag));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, source, size);
    copy->Length = static_cast<USHORT>(size);
    return copy;
}

}  // namespace

void UsbDevice::FreeInterfaceTable() {
    MutexHold lock(&interfaceMutex_);
    if (interfaceTable_ != nullptr) {
        for (ULONG i = 0; i < interfaceCount_; ++i)
            if (interfaceTable_[i] != nullptr) ExFreePoolWithTag(interfaceTable_[i], kUsbPoolTag);
        ExFreePoolWithTag(interfaceTable_, kUsbPoolTag);
    }
    interfaceTable_ = nullptr;
    interfaceCount_ = 0;
    configurationHandle_ = nullptr;
}

NTSTATUS UsbDevice::SelectInterfaces(const USB_INTERFACE_DESCRIPTOR* const* interfaces, ULONG count) {
    if (configuration_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
    if (interfaces == nullptr || count == 0) return STATUS_INVALID_PARAMETER;
    FreeInterfaceTable();

    auto* list = static_cast<USBD_INTERFACE_LIST_ENTRY*>(
        ExAllocatePoolZero(NonPagedPoolNx, (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kUsbPoolTag));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < count; ++i)
        list[i].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(interfaces[i]);

    NTSTATUS status = STATUS_SUCCESS;
    URB* urb = USBD_CreateConfigurationRequestEx(configuration_, list);
    if (urb == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) status = SubmitSync(urb);

    USBD_INTERFACE_INFORMATION** table = nullptr;
    if (NT_SUCCESS(status)) {
        table = static_cast<USBD_INTERFACE_INFORMATION**>(
            ExAllocatePoolZero(NonPagedPoolNx, count * sizeof(USBD_INTERFACE_INFORMATION*), kUsbPoolTag));
        if (table == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        const auto* urbEnd = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
        for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
            const USBD_INTERFACE_INFORMATION* info = list[i].Interface;
            const auto* at = reinterpret_cast<const UCHAR*>(info);
            if (info == nullptr || at < reinterpret_cast<const UCHAR*>(urb) || at >= urbEnd) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            table[i] = CopyInterface(info, static_cast<ULONG>(urbEnd - at));
            if (table[i] == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        MutexHold lock(&interfaceMutex_);
        configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        interfaceTable_ = table;
        interfaceCount_ = count;
    } else if (table != nullptr) {
        for (ULONG i = 0; i < count; ++i)
            if (table[i] != nullptr) ExFreePoolWithTag(table[i], kUsbPoolTag);
        ExFreePoolWithTag(table, kUsbPoolTag);
    }
    if (urb != nullptr) ExFreePool(urb);
    ExFreePoolWithTag(list, kUsbPoolTag);
    if (!NT_SUCCESS(status))
        USB_TRACE(TRACE_LEVEL_ERROR, "select configuration failed: 0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS UsbDevice::SelectAltSetting(UCHAR interfaceNumber, UCHAR alternateSetting) {
    if (configuration_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
    {
        MutexHold lock(&interfaceMutex_);
        bool found = false;
        for (ULONG i = 0; i < interfaceCount_ && !found; ++i) {
            if (interfaceTable_[i] == nullptr) return STATUS_UNSUCCESSFUL;
            found = interfaceTable_[i]->InterfaceNumber == interfaceNumber;
        }
        if (!found) return STATUS_INVALID_PARAMETER;
    }
    const USB_INTERFACE_DESCRIPTOR* descriptor = USBD_ParseConfigurationDescriptorEx(
        configuration_, configuration_, interfaceNumber, alternateSetting, -1, -1, -1);
    if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;

    const ULONG pipes = descriptor->bNumEndpoints;
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
    URB* urb = static_cast<URB*>(ExAllocatePoolZero(NonPagedPoolNx, size, kUsbPoolTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, size, configurationHandle_, interfaceNumber, alternateSetting);
    for (ULONG i = 0; i < pipes; ++i)
        urb->UrbSelectInterface.Interface.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;

    NTSTATUS status = SubmitSync(urb);
    if (NT_SUCCESS(status)) {
        const ULONG room = size - offsetof(_URB_SELECT_INTERFACE, Interface);
        USBD_INTERFACE_INFORMATION* copy = CopyInterface(&urb->UrbSelectInterface.Interface, room);
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            MutexHold lock(&interfaceMutex_);
            ULONG slot = interfaceCount_;
            for (ULONG i = 0; i < interfaceCount_; ++i)
                if (interfaceTable_[i] != nullptr && interfaceTable_[i]->InterfaceNumber == interfaceNumber) slot = i;
            if (slot == interfaceCount_) {
                // The configuration went away meanwhile.
                ExFreePoolWithTag(copy, kUsbPoolTag);
                status = STATUS_UNSUCCESSFUL;
            } else {
                ExFreePoolWithTag(interfaceTable_[slot], kUsbPoolTag);
                interfaceTable_[slot] = copy;
            }
        }
    }
    ExFreePoolWithTag(urb, kUsbPoolTag);
    if (!NT_SUCCESS(status))
        USB_TRACE(TRACE_LEVEL_ERROR, "select interface %u setting %u failed: 0x%08X", interfaceNumber,
                  alternateSetting, static_cast<unsigned>(status));
    return status;
}

USBD_PIPE_INFORMATION* UsbDevice::FindPipe(UCHAR endpointAddress) {
    MutexHold lock(&interfaceMutex_);
    for (ULONG i = 0; i < interfaceCount_; ++i) {
        USBD_INTERFACE_INFORMATION* info = interfaceTable_[i];
        if (info == nullptr) continue;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p)
            if (info->Pipes[p].EndpointAddress == endpointAddress) return &info->Pipes[p];
    }
    return nullptr;
}

NTSTATUS UsbDevice::PipeRequest(USHORT function, USBD_PIPE_INFORMATION* pipe) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    if (pipe == nullptr) return STATUS_INVALID_PARAMETER;
    URB* urb = static_cast<URB*>(ExAllocatePoolZero(NonPagedPoolNx, sizeof(_URB_PIPE_REQUEST), kUsbPoolTag));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
    const NTSTATUS status = SubmitSync(urb);
    ExFreePoolWithTag(urb, kUsbPoolTag);
    return status;
}

NTSTATUS UsbDevice::ResetPipe(USBD_PIPE_INFORMATION* pipe) {
    return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe);
}

NTSTATUS UsbDevice::AbortPipe(USBD_PIPE_INFORMATION* pipe) { return PipeRequest(URB_FUNCTION_ABORT_PIPE, pipe); }

void UsbDevice::AbortAllPipes() {
    // Teardown only: nothing changes the table meanwhile, and the aborts
    // must not run under its mutex (they wait for the bus driver).
    for (ULONG i = 0; i < interfaceCount_; ++i) {
        USBD_INTERFACE_INFORMATION* info = interfaceTable_[i];
        if (info == nullptr) continue;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) AbortPipe(&info->Pipes[p]);
    }
}

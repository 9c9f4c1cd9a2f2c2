#include "fuzz/fake_bus.h"

#include "platform/io/irp.h"
#include "platform/usb/urb.h"
#include "platform/usb/usbioctl.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fuzz {
namespace {

const FakeDevice* DeviceOf(DEVICE_OBJECT* pdo) { return *static_cast<const FakeDevice**>(pdo->DeviceExtension); }

std::vector<std::uint8_t> DeviceDescriptor(const FakeDevice& device) {
    const std::uint16_t bcdUsb = device.superSpeed ? 0x0300 : device.highSpeed ? 0x0200 : 0x0110;
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, static_cast<std::uint8_t>(bcdUsb), static_cast<std::uint8_t>(bcdUsb >> 8),
            0xEF, 0x02, 0x01, static_cast<std::uint8_t>(device.superSpeed ? 9 : 64),
            static_cast<std::uint8_t>(device.vendorId), static_cast<std::uint8_t>(device.vendorId >> 8), 0x51, 0x0B,
            0x00, 0x01, 1, 2, 3, 1};
}

NTSTATUS Fill(void* buffer, ULONG* length, const std::vector<std::uint8_t>& bytes) {
    const ULONG n = std::min<ULONG>(*length, static_cast<ULONG>(bytes.size()));
    if (n != 0) std::memcpy(buffer, bytes.data(), n);
    *length = n;
    return STATUS_SUCCESS;
}

// Fills an interface record with the setting the configuration bytes hold
// for its number and alternate setting, as a bus driver does when it
// selects it: the class codes and one pipe per endpoint descriptor before
// the next interface.
USBD_STATUS FillInterface(const FakeDevice& device, USBD_INTERFACE_INFORMATION* info) {
    const std::vector<std::uint8_t>& bytes = device.configuration;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    bool found = false;
    for (std::size_t at = 0; at + 2 <= bytes.size();) {
        const std::uint8_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) break;
        const std::uint8_t type = bytes[at + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (found) break;
            if (length >= sizeof(USB_INTERFACE_DESCRIPTOR) && bytes[at + 2] == info->InterfaceNumber &&
                bytes[at + 3] == info->AlternateSetting) {
                found = true;
                info->Class = bytes[at + 5];
                info->SubClass = bytes[at + 6];
                info->Protocol = bytes[at + 7];
            }
        } else if (found && type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7) {
            USBD_PIPE_INFORMATION pipe{};
            pipe.EndpointAddress = bytes[at + 2];
            pipe.PipeType = static_cast<USBD_PIPE_TYPE>(bytes[at + 3] & USB_ENDPOINT_TYPE_MASK);
            pipe.MaximumPacketSize = static_cast<USHORT>(bytes[at + 4] | (bytes[at + 5] << 8));
            pipe.Interval = bytes[at + 6];
            pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<std::uintptr_t>(0x1000 + pipe.EndpointAddress));
            pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            pipes.push_back(pipe);
        }
        at += length;
    }
    if (!found) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (info->Length < GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(pipes.size()))) return USBD_STATUS_BUFFER_TOO_SMALL;
    info->InterfaceHandle =
        reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<std::uintptr_t>(0x100 + info->InterfaceNumber));
    info->NumberOfPipes = static_cast<ULONG>(pipes.size());
    for (std::size_t i = 0; i < pipes.size(); ++i) info->Pipes[i] = pipes[i];
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(const FakeDevice& device, URB* urb) {
    auto& request = urb->UrbSelectConfiguration;
    if (request.ConfigurationDescriptor == nullptr) return USBD_STATUS_SUCCESS;
    auto* next = reinterpret_cast<std::uint8_t*>(&request.Interface);
    const std::uint8_t* end = reinterpret_cast<const std::uint8_t*>(urb) + urb->UrbHeader.Length;
    while (next + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(next);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || next + info->Length > end)
            return USBD_STATUS_INVALID_PARAMETER;
        const USBD_STATUS status = FillInterface(device, info);
        if (!USBD_SUCCESS(status)) return status;
        next += info->Length;
    }
    request.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(static_cast<std::uintptr_t>(0x10));
    return USBD_STATUS_SUCCESS;
}

NTSTATUS Serve(const FakeDevice& device, URB* urb) {
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE: {
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            status = SelectConfiguration(device, urb);
        } else {
            auto* info = &urb->UrbSelectInterface.Interface;
            const std::size_t room = urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface);
            status = info->Length > room ? USBD_STATUS_INVALID_PARAMETER : FillInterface(device, info);
        }
        urb->UrbHeader.Status = status;
        return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return STATUS_SUCCESS;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& request = urb->UrbControlDescriptorRequest;
        switch (request.DescriptorType) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return Fill(request.TransferBuffer, &request.TransferBufferLength, DeviceDescriptor(device));
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return Fill(request.TransferBuffer, &request.TransferBufferLength, device.configuration);
        case USB_STRING_DESCRIPTOR_TYPE:
            if (request.Index == 0) return Fill(request.TransferBuffer, &request.TransferBufferLength, {4, 3, 0x09, 0x04});
            return Fill(request.TransferBuffer, &request.TransferBufferLength, {6, 3, 'o', 0, 'v', 0});
        default:
            break;
        }
        break;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: {
        auto& request = urb->UrbControlVendorClassRequest;
        if ((request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) return STATUS_SUCCESS;
        if (device.answers.empty()) break;
        auto* out = static_cast<std::uint8_t*>(request.TransferBuffer);
        // Answers vary with the request so that different queries see
        // different bytes.
        const std::size_t start = (request.Request * 7u + request.Value + request.Index) % device.answers.size();
        for (ULONG i = 0; i < request.TransferBufferLength; ++i)
            out[i] = device.answers[(start + i) % device.answers.size()];
        // The first answer byte also decides how much of it is sent.
        request.TransferBufferLength = std::min<ULONG>(request.TransferBufferLength, 1u + device.answers[start]);
        return STATUS_SUCCESS;
    }
    default:
        break;
    }
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS Complete(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchInternal(DEVICE_OBJECT* pdo, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return Complete(irp, STATUS_NOT_SUPPORTED);
    return Complete(irp, Serve(*DeviceOf(pdo), static_cast<URB*>(stack->Parameters.Others.Argument1)));
}

BOOLEAN IsHighSpeed(PVOID context) { return static_cast<const FakeDevice*>(context)->highSpeed ? TRUE : FALSE; }

NTSTATUS QueryBusTime(PVOID, ULONG* frame) {
    *frame = 0;
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        *stack->Parameters.QueryInterface.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID &&
        stack->Parameters.QueryInterface.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1)) {
        auto* bus = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(stack->Parameters.QueryInterface.Interface);
        *bus = {};
        bus->Size = sizeof(*bus);
        bus->Version = USB_BUSIF_USBDI_VERSION_1;
        bus->BusContext = const_cast<FakeDevice*>(DeviceOf(pdo));
        bus->QueryBusTime = QueryBusTime;
        bus->IsDeviceHighSpeed = IsHighSpeed;
        status = STATUS_SUCCESS;
    }
    return Complete(irp, status);
}

}  // namespace

FakeBus::FakeBus() {
    driver_ = sim::CurrentMachine().io().CreateDriverObject(u"fuzzbus");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    IoCreateDevice(driver_, sizeof(FakeDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

FakeBus::~FakeBus() {
    if (pdo_ != nullptr) IoDeleteDevice(pdo_);
}

DEVICE_OBJECT* FakeBus::Pdo(const FakeDevice* device) {
    *static_cast<const FakeDevice**>(pdo_->DeviceExtension) = device;
    return pdo_;
}

}  // namespace fuzz

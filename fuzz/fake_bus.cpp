#include "fuzz/fake_bus.h"

#include "platform/io/irp.h"
#include "platform/usb/urb.h"
#include "platform/usb/usbioctl.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"

#include <algorithm>
#include <cstring>

namespace fuzz {
namespace {

const FakeDevice* DeviceOf(DEVICE_OBJECT* pdo) { return *static_cast<const FakeDevice**>(pdo->DeviceExtension); }

std::vector<std::uint8_t> DeviceDescriptor(const FakeDevice& device) {
    const std::uint16_t bcdUsb = device.superSpeed ? 0x0300 : 0x0200;
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

NTSTATUS Serve(const FakeDevice& device, URB* urb) {
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    switch (urb->UrbHeader.Function) {
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

// Device bring-up and the synchronous requests of the USB request layer.
#include "driver/core/usb_device.h"

#include "driver/core/usb_trace.h"
#include "platform/kernel/irql.h"
#include "platform/usb/usbdlib.h"

#include <cstring>

namespace {

constexpr ULONG kDefaultIrpPoolSize = 10;

// Every synchronous request waits on this, at PASSIVE_LEVEL, without a
// time-out: the bus driver always completes what it was given.
NTSTATUS WaitFor(KEVENT* event) {
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS QueryInterfaceComplete(DEVICE_OBJECT*, IRP*, PVOID context) {
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

URB* AllocateUrb(ULONG size) {
    return static_cast<URB*>(ExAllocatePoolZero(NonPagedPoolNx, size, kUsbPoolTag));
}

void FreeUrb(URB* urb) { ExFreePoolWithTag(urb, kUsbPoolTag); }

}  // namespace

UsbDevice::UsbDevice() {
    KeInitializeMutex(&interfaceMutex_, 0);
    KeInitializeSpinLock(&irpPoolLock_);
    InitializeListHead(&irpPool_);
    KeInitializeSpinLock(&ioLock_);
    KeInitializeEvent(&ioZero_, NotificationEvent, TRUE);
    KeInitializeEvent(&ioIdle_, NotificationEvent, TRUE);
}

UsbDevice::~UsbDevice() { Release(); }

ULONG UsbDevice::BusSpeed() const {
    if (superSpeed_) return kBusSpeedSuper;
    if (highSpeed_) return kBusSpeedHigh;
    return kBusSpeedFull;
}

NTSTATUS UsbDevice::Initialise(DEVICE_OBJECT* target, ULONG irpPoolSize) {
    if (target == nullptr) return STATUS_INVALID_PARAMETER;
    if (Initialised()) return STATUS_INVALID_DEVICE_STATE;
    target_ = target;

    NTSTATUS status = AllocateIrpPool(irpPoolSize == 0 ? kDefaultIrpPoolSize : irpPoolSize);
    if (NT_SUCCESS(status)) {
        status = QueryBusInterface(&busInterface_);
        if (NT_SUCCESS(status)) {
            busInterfaceHeld_ = true;
            // A second copy for the speed question, released at once: the
            // kept one is released with the device.
            USB_BUS_INTERFACE_USBDI_V1 local{};
            status = QueryBusInterface(&local);
            if (NT_SUCCESS(status)) {
                highSpeed_ = (local.IsDeviceHighSpeed != nullptr && local.IsDeviceHighSpeed(local.BusContext)) ? 1 : 0;
                if (local.InterfaceDereference != nullptr) local.InterfaceDereference(local.BusContext);
            }
        }
    }
    if (NT_SUCCESS(status)) status = ReadDescriptors();
    if (!NT_SUCCESS(status)) {
        USB_TRACE(TRACE_LEVEL_ERROR, "UsbDevice::Initialise failed: 0x%08X", static_cast<unsigned>(status));
        DEVICE_OBJECT* keep = target_;
        Release();
        target_ = keep;  // CyclePort still reaches the device
    }
    return status;
}

NTSTATUS UsbDevice::AllocateIrpPool(ULONG size) {
    ExInitializeNPagedLookasideList(&contexts_, nullptr, nullptr, POOL_NX_ALLOCATION, sizeof(UsbRequestContext),
                                    kUsbPoolTag, 0);
    ExInitializeNPagedLookasideList(&transferUrbs_, nullptr, nullptr, POOL_NX_ALLOCATION,
                                    sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kUsbPoolTag, 0);
    lookasidesReady_ = true;
    InitializeListHead(&irpPool_);
    irpPoolReady_ = true;
    for (ULONG i = 0; i < size; ++i) {
        IRP* irp = IoAllocateIrp(target_->StackSize, FALSE);
        if (irp == nullptr) {
            USB_TRACE(TRACE_LEVEL_WARNING, "IRP %u of the pool could not be allocated", static_cast<unsigned>(i));
            continue;
        }
        InsertTailList(&irpPool_, &irp->Tail.Overlay.ListEntry);
    }
    return STATUS_SUCCESS;
}

void UsbDevice::FreeIrpPool() {
    if (!irpPoolReady_) return;
    while (!IsListEmpty(&irpPool_)) {
        LIST_ENTRY* entry = RemoveHeadList(&irpPool_);
        IoFreeIrp(OVU_CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
    irpPoolReady_ = false;
}

NTSTATUS UsbDevice::QueryBusInterface(USB_BUS_INTERFACE_USBDI_V1* result) {
    IRP* irp = IoAllocateIrp(target_->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // PnP requests start out "not supported"; a bus driver that answers
    // replaces the status.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(result);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(irp, QueryInterfaceComplete, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(target_, irp) == STATUS_PENDING) WaitFor(&done);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status))
        USB_TRACE(TRACE_LEVEL_ERROR, "bus interface query failed: 0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS UsbDevice::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                  ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    URB* urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, languageId, buffer,
                                 nullptr, length, nullptr);
    const NTSTATUS status = SubmitSync(urb);
    // The bus driver reports what it moved; never more than was asked for.
    ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
    if (moved > length) moved = length;
    if (transferred != nullptr && NT_SUCCESS(status)) *transferred = moved;
    FreeUrb(urb);
    return status;
}

NTSTATUS UsbDevice::ReadDescriptors() {
    ULONG moved = 0;
    NTSTATUS status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &deviceDescriptor_,
                                    sizeof(USB_DEVICE_DESCRIPTOR), &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved < sizeof(USB_DEVICE_DESCRIPTOR)) return STATUS_NOT_SUPPORTED;
    if (deviceDescriptor_.bMaxPacketSize0 == 9) {
        // A SuperSpeed device states its control packet size as an exponent.
        superSpeed_ = 1;
        highSpeed_ = 1;
    }

    USB_CONFIGURATION_DESCRIPTOR head{};
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, sizeof(head), &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved < sizeof(head)) return STATUS_NOT_SUPPORTED;
    const ULONG total = head.wTotalLength;
    // A total that cannot even hold the header is no configuration.
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_NOT_SUPPORTED;
    auto* configuration = static_cast<USB_CONFIGURATION_DESCRIPTOR*>(
        ExAllocatePoolZero(NonPagedPoolNx, total, kUsbPoolTag));
    if (configuration == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, total, &moved);
    // The whole read must agree with the header read before it; a device
    // that changes its mind is not trusted with either.
    if (NT_SUCCESS(status) && (moved != total || configuration->wTotalLength != total)) status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(configuration, kUsbPoolTag);
        return status;
    }
    configuration_ = configuration;
    configurationLength_ = total;
    remoteWakeup_ = (configuration->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) ? 1 : 0;

    UCHAR languageHead[4] = {};
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, languageHead, sizeof(languageHead), &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved < sizeof(languageHead)) return STATUS_NOT_SUPPORTED;
    const ULONG languageLength = languageHead[0];
    if (languageLength < sizeof(languageHead)) return STATUS_NOT_SUPPORTED;
    auto* languages =
        static_cast<USB_STRING_DESCRIPTOR*>(ExAllocatePoolZero(NonPagedPoolNx, languageLength, kUsbPoolTag));
    if (languages == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    status = GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, languages, languageLength, &moved);
    if (NT_SUCCESS(status) && moved != languageLength) status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(languages, kUsbPoolTag);
        return status;
    }
    languages_ = languages;
    return STATUS_SUCCESS;
}

void UsbDevice::Release() {
    if (target_ == nullptr && !lookasidesReady_) return;
    if (OutstandingTransfers() != 0) {
        // Transfers hold IRPs of the pool and contexts of the lists: have
        // the bus driver cancel them, then wait for the last completion.
        AbortAllPipes();
        WaitFor(&ioZero_);
    }
    // The last completion signals under ioLock_: taking it once more waits
    // until that completion has let go of this object.
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&ioLock_, &handle);
    KeReleaseInStackQueuedSpinLock(&handle);

    FreeInterfaceTable();
    FreeIrpPool();
    if (lookasidesReady_) {
        ExDeleteNPagedLookasideList(&contexts_);
        ExDeleteNPagedLookasideList(&transferUrbs_);
        lookasidesReady_ = false;
    }
    if (busInterfaceHeld_) {
        if (busInterface_.InterfaceDereference != nullptr) busInterface_.InterfaceDereference(busInterface_.BusContext);
        busInterfaceHeld_ = false;
    }
    busInterface_ = {};
    if (languages_ != nullptr) ExFreePoolWithTag(languages_, kUsbPoolTag);
    languages_ = nullptr;
    if (configuration_ != nullptr) ExFreePoolWithTag(configuration_, kUsbPoolTag);
    configuration_ = nullptr;
    configurationLength_ = 0;
    deviceDescriptor_ = {};
    superSpeed_ = highSpeed_ = remoteWakeup_ = 0;
    target_ = nullptr;
}

NTSTATUS UsbDevice::QueryBusTime(ULONG* frame) const {
    if (frame == nullptr) return STATUS_INVALID_PARAMETER;
    if (!busInterfaceHeld_ || busInterface_.QueryBusTime == nullptr) return STATUS_NOT_SUPPORTED;
    return busInterface_.QueryBusTime(busInterface_.BusContext, frame);
}

NTSTATUS UsbDevice::SubmitSync(URB* urb) {
    if (urb == nullptr || target_ == nullptr) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target_, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(target_, irp);
    if (status == STATUS_PENDING) {
        WaitFor(&done);
        status = ioStatus.Status;
    }
    if (!NT_SUCCESS(status)) {
        const char* name = UsbdStatusName(URB_STATUS(urb));
        USB_TRACE(TRACE_LEVEL_ERROR, "URB function 0x%04X failed: 0x%08X, URB status 0x%08X (%s)",
                  urb->UrbHeader.Function, static_cast<unsigned>(status), static_cast<unsigned>(URB_STATUS(urb)),
                  name != nullptr ? name : "?");
    }
    return status;
}

NTSTATUS UsbDevice::ControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                   USHORT wLength, PVOID buffer, ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    // URB functions by recipient, for class and vendor requests.
    static constexpr USHORT kClassFunction[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                                 URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
    static constexpr USHORT kVendorFunction[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                                  URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
    const UCHAR type = bmRequestType & 0x60;
    const UCHAR recipient = bmRequestType & 0x1F;
    if ((type != 0x20 && type != 0x40) || recipient > 3 || (wLength != 0 && buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    const USHORT function = type == 0x20 ? kClassFunction[recipient] : kVendorFunction[recipient];
    const bool in = (bmRequestType & 0x80) != 0;

    URB* urb = AllocateUrb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildVendorRequest(urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT, 0,
                          bRequest, wValue, wIndex, wLength != 0 ? buffer : nullptr, nullptr, wLength, nullptr);
    const NTSTATUS status = SubmitSync(urb);
    if (transferred != nullptr && NT_SUCCESS(status)) {
        const ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
        *transferred = moved < wLength ? moved : wLength;
    }
    FreeUrb(urb);
    return status;
}

NTSTATUS UsbDevice::EntityRequest(UCHAR bmRequestType, UCHAR bRequest, UCHAR selector, UCHAR channel,
                                  UCHAR entityId, USHORT length, PVOID buffer, ULONG* transferred) {
    return ControlRequest(bmRequestType, bRequest, static_cast<USHORT>((selector << 8) | channel),
                          static_cast<USHORT>((entityId << 8) | controlInterface_), length, buffer, transferred);
}

NTSTATUS UsbDevice::GetStringDescriptor(UCHAR index, USHORT languageId, PVOID buffer, ULONG length,
                                        ULONG* transferred) {
    if (transferred != nullptr) *transferred = 0;
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, languageId, buffer, length, transferred);
}

NTSTATUS UsbDevice::CyclePort() {
    if (target_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, target_, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(target_, irp);
    if (status == STATUS_PENDING) {
        WaitFor(&done);
        status = ioStatus.Status;
    }
    if (!NT_SUCCESS(status)) USB_TRACE(TRACE_LEVEL_ERROR, "cycle port failed: 0x%08X", static_cast<unsigned>(status));
    return status;
}

// Asynchronous bulk and interrupt transfers: the request layer's streaming
// path. Nothing here waits; after warm-up nothing reaches the pool (IRPs
// come back to the pool, contexts and URBs to their lookaside lists).
#include "driver/core/usb_device.h"

#include "driver/core/usb_trace.h"
#include "platform/kernel/interlocked.h"
#include "platform/usb/usbdlib.h"

#include <cstring>

ULONG UsbDevice::OutstandingTransfers() const {
    return ReadULongAcquire(&ioRefCount_);
}

ULONG UsbDevice::ContextAllocations() const { return lookasidesReady_ ? contexts_.L.TotalAllocates : 0; }

ULONG UsbDevice::ContextMisses() const { return lookasidesReady_ ? contexts_.L.AllocateMisses : 0; }

void UsbDevice::IoReference() {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&ioLock_, &handle);
    const ULONG count = ++ioRefCount_;
    if (count == 1) KeClearEvent(&ioZero_);
    if (count == 2) KeClearEvent(&ioIdle_);
    KeReleaseInStackQueuedSpinLock(&handle);
}

void UsbDevice::IoDereference() {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&ioLock_, &handle);
    const ULONG count = --ioRefCount_;
    if (count == 1) KeSetEvent(&ioIdle_, IO_NO_INCREMENT, FALSE);
    if (count == 0) KeSetEvent(&ioZero_, IO_NO_INCREMENT, FALSE);
    KeReleaseInStackQueuedSpinLock(&handle);
}

IRP* UsbDevice::TakeIrp() {
    IRP* irp = nullptr;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&irpPoolLock_, &handle);
    if (!IsListEmpty(&irpPool_)) irp = OVU_CONTAINING_RECORD(RemoveHeadList(&irpPool_), IRP, Tail.Overlay.ListEntry);
    KeReleaseInStackQueuedSpinLock(&handle);
    if (irp != nullptr) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        return irp;
    }
    // The pool ran dry: one more IRP, which joins the pool when it is done.
    return IoAllocateIrp(target_->StackSize, FALSE);
}

void UsbDevice::ReturnIrp(IRP* irp) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&irpPoolLock_, &handle);
    InsertTailList(&irpPool_, &irp->Tail.Overlay.ListEntry);
    KeReleaseInStackQueuedSpinLock(&handle);
}

NTSTATUS UsbDevice::SubmitAsync(USBD_PIPE_INFORMATION* pipe, PVOID buffer, MDL* mdl, ULONG length, ULONG flags,
                                UsbTransferCompletion completion, PVOID context) {
    if (pipe == nullptr || completion == nullptr) return STATUS_INVALID_PARAMETER;
    if (!lookasidesReady_ || target_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) return STATUS_NOT_SUPPORTED;

    auto* request = static_cast<UsbRequestContext*>(ExAllocateFromNPagedLookasideList(&contexts_));
    if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* urb = static_cast<URB*>(ExAllocateFromNPagedLookasideList(&transferUrbs_));
    if (urb == nullptr) {
        ExFreeToNPagedLookasideList(&contexts_, request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(urb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                           mdl != nullptr ? nullptr : buffer, mdl, length,
                                           flags | USBD_SHORT_TRANSFER_OK, nullptr);
    *request = {urb, pipe, completion, context, this};

    IRP* irp = TakeIrp();
    if (irp == nullptr) {
        ExFreeToNPagedLookasideList(&transferUrbs_, urb);
        ExFreeToNPagedLookasideList(&contexts_, request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, TransferComplete, request, TRUE, TRUE, TRUE);
    IoReference();
    // The completion routine owns the request from here on, whatever the
    // bus driver returns.
    IoCallDriver(target_, irp);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::TransferComplete(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* request = static_cast<UsbRequestContext*>(context);
    UsbDevice* self = request->Device;
    URB* urb = request->Urb;
    const NTSTATUS status = irp->IoStatus.Status;
    ULONG bytes = 0;
    if (NT_SUCCESS(status)) {
        bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    } else {
        USB_TRACE(TRACE_LEVEL_WARNING, "transfer on pipe 0x%02X failed: 0x%08X, URB status 0x%08X, length %u",
                  request->Pipe->EndpointAddress, static_cast<unsigned>(status),
                  static_cast<unsigned>(URB_STATUS(urb)),
                  static_cast<unsigned>(urb->UrbBulkOrInterruptTransfer.TransferBufferLength));
    }
    request->Completion(status, bytes, request->Context, nullptr);
    ExFreeToNPagedLookasideList(&self->transferUrbs_, urb);
    ExFreeToNPagedLookasideList(&self->contexts_, request);
    self->ReturnIrp(irp);
    // Last: once the count drops, the device may be torn down.
    self->IoDereference();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

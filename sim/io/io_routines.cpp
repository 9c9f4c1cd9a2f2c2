// The I/O manager routines of platform/io that are not IRP completion:
// devices and stacks, threaded device-control IRPs, MDLs, cancellation.
#include "platform/base/ntstatus.h"
#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/spinlock.h"
#include "sim/io/io_manager.h"
#include "sim/verifier.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

using sim::CurrentIo;

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driverObject, ULONG deviceExtensionSize, UNICODE_STRING* deviceName,
                        DEVICE_TYPE deviceType, ULONG deviceCharacteristics, BOOLEAN, DEVICE_OBJECT** deviceObject) {
    return CurrentIo().CreateDevice(driverObject, deviceExtensionSize, deviceName, deviceType, deviceCharacteristics,
                                    deviceObject);
}

void IoDeleteDevice(DEVICE_OBJECT* deviceObject) { CurrentIo().DeleteDevice(deviceObject); }

DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* source, DEVICE_OBJECT* target) {
    auto& io = CurrentIo();
    DEVICE_OBJECT* top = io.TopOfStack(target);
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(DEVICE_OBJECT* targetDevice) { CurrentIo().Detach(targetDevice); }

DEVICE_OBJECT* IoGetAttachedDeviceReference(DEVICE_OBJECT* deviceObject) {
    auto& io = CurrentIo();
    DEVICE_OBJECT* top = io.TopOfStack(deviceObject);
    io.ReferenceDevice(top);
    return top;
}

DEVICE_OBJECT* IoGetDeviceAttachmentBaseRef(DEVICE_OBJECT* deviceObject) {
    auto& io = CurrentIo();
    DEVICE_OBJECT* bottom = io.BottomOfStack(deviceObject);
    io.ReferenceDevice(bottom);
    return bottom;
}

// ---- threaded device-control requests ----

IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event, IO_STATUS_BLOCK* ioStatus) {
    auto& io = CurrentIo();
    IRP* irp = io.AllocateIrp(deviceObject->StackSize);
    if (irp == nullptr) return nullptr;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    irp->RequestorMode = KernelMode;

    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    char* system = nullptr;
    if (method == METHOD_BUFFERED) {
        const ULONG size = inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
        if (size != 0) {
            system = static_cast<char*>(std::calloc(1, size));
            if (inputBuffer != nullptr && inputBufferLength != 0) std::memcpy(system, inputBuffer, inputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = system;
        irp->UserBuffer = outputBuffer;
    } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        irp->UserBuffer = outputBuffer;
    } else {
        if (inputBufferLength != 0) {
            system = static_cast<char*>(std::calloc(1, inputBufferLength));
            std::memcpy(system, inputBuffer, inputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = system;
        if (outputBuffer != nullptr && outputBufferLength != 0) {
            irp->MdlAddress = IoAllocateMdl(outputBuffer, outputBufferLength, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(irp->MdlAddress, KernelMode, 0);
        }
    }

    io.SetFinisher(irp, [method, outputBuffer](IRP* done) {
        if (method == METHOD_BUFFERED && outputBuffer != nullptr && NT_SUCCESS(done->IoStatus.Status) &&
            done->IoStatus.Information != 0 && done->AssociatedIrp.SystemBuffer != nullptr)
            std::memcpy(outputBuffer, done->AssociatedIrp.SystemBuffer, done->IoStatus.Information);
        if (method != METHOD_NEITHER) std::free(done->AssociatedIrp.SystemBuffer);
        if (done->MdlAddress != nullptr) {
            MmUnlockPages(done->MdlAddress);
            IoFreeMdl(done->MdlAddress);
        }
        if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
        KEVENT* signal = done->UserEvent;
        CurrentIo().FreeIrp(done);
        if (signal != nullptr) KeSetEvent(signal, IO_NO_INCREMENT, FALSE);
    });
    return irp;
}

// ---- memory descriptor lists ----

MDL* IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, IRP* irp) {
    auto* mdl = static_cast<MDL*>(std::calloc(1, sizeof(MDL)));
    if (mdl == nullptr) return nullptr;
    mdl->Size = sizeof(MDL);
    // A page-aligned start and an offset, as Windows describes a buffer.
    const auto address = reinterpret_cast<std::uintptr_t>(virtualAddress);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~std::uintptr_t{0xFFF});
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = length;
    if (irp != nullptr) {
        if (!secondaryBuffer || irp->MdlAddress == nullptr) {
            irp->MdlAddress = mdl;
        } else {
            MDL* tail = irp->MdlAddress;
            while (tail->Next != nullptr) tail = tail->Next;
            tail->Next = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(MDL* mdl) {
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) sim::VerifierStop("IoFreeMdl on an MDL whose pages are still locked");
    std::free(mdl);
}

void MmBuildMdlForNonPagedPool(MDL* mdl) {
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
}

void MmProbeAndLockPages(MDL* mdl, KPROCESSOR_MODE, LONG) { mdl->MdlFlags |= MDL_PAGES_LOCKED; }

void MmUnlockPages(MDL* mdl) {
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) sim::VerifierStop("MmUnlockPages on an MDL that is not locked");
    mdl->MdlFlags &= static_cast<CSHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
    mdl->MappedSystemVa = nullptr;
}

PVOID MmMapLockedPagesSpecifyCache(MDL* mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
        sim::VerifierStop("mapping an MDL whose pages are not locked");
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID, MDL* mdl) {
    mdl->MdlFlags &= static_cast<CSHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
}

// ---- cancellation ----

namespace {
KSPIN_LOCK cancel_lock = 0;
}

void IoAcquireCancelSpinLock(KIRQL* irql) { KeAcquireSpinLock(&cancel_lock, irql); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&cancel_lock, irql); }

BOOLEAN IoCancelIrp(IRP* irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    // The routine releases the cancel spin lock, as on Windows.
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}

#include "sim/io/file_objects.h"

#include "platform/base/ntstatus.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "sim/io/io_manager.h"
#include "sim/verifier.h"

#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr CSHORT kIoTypeFile = 5;

struct FileRecord {
    FILE_OBJECT file;
    DEVICE_OBJECT* top;
    WCHAR name[1];  // the file name follows the record
};

NTSTATUS SignalDone(DEVICE_OBJECT*, IRP*, PVOID context) {
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends `irp` (next stack location prepared) and waits; returns its status.
NTSTATUS CallAndWait(DEVICE_OBJECT* top, IRP* irp, ULONG_PTR* information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr) *information = irp->IoStatus.Information;
    return status;
}

IRP* NewRequest(FILE_OBJECT* file, DEVICE_OBJECT* top, UCHAR major) {
    IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    return irp;
}

}  // namespace

NTSTATUS OpenFileObject(DEVICE_OBJECT* device, std::u16string_view fileName, FILE_OBJECT** file) {
    *file = nullptr;
    const std::size_t bytes = fileName.size() * sizeof(WCHAR);
    auto* record = static_cast<FileRecord*>(std::calloc(1, sizeof(FileRecord) + bytes));
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    record->top = IoGetAttachedDeviceReference(device);
    std::memcpy(record->name, fileName.data(), bytes);
    FILE_OBJECT* f = &record->file;
    f->Type = kIoTypeFile;
    f->Size = sizeof(FILE_OBJECT);
    f->DeviceObject = device;
    f->FileName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), record->name};
    IRP* irp = NewRequest(f, record->top, IRP_MJ_CREATE);
    const NTSTATUS status = CallAndWait(record->top, irp, nullptr);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(record->top);
        std::free(record);
        return status;
    }
    *file = f;
    return STATUS_SUCCESS;
}

void CloseFileObject(FILE_OBJECT* file) {
    auto* record = reinterpret_cast<FileRecord*>(file);
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        IRP* irp = NewRequest(file, record->top, major);
        CallAndWait(record->top, irp, nullptr);
        IoFreeIrp(irp);
    }
    ObDereferenceObject(record->top);
    std::free(record);
}

NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR majorFunction, ULONG ioControlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* information) {
    auto* record = reinterpret_cast<FileRecord*>(file);
    IRP* irp = NewRequest(file, record->top, majorFunction);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    // Buffered I/O: one system buffer carries the input and the output.
    const ULONG size = inputLength > outputLength ? inputLength : outputLength;
    void* system = size != 0 ? std::calloc(1, size) : nullptr;
    if (input != nullptr && inputLength != 0) std::memcpy(system, input, inputLength);
    irp->AssociatedIrp.SystemBuffer = system;
    irp->UserBuffer = output;
    switch (majorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        break;
    case IRP_MJ_READ: next->Parameters.Read.Length = outputLength; break;
    case IRP_MJ_WRITE: next->Parameters.Write.Length = inputLength; break;
    default: break;
    }
    ULONG_PTR moved = 0;
    const NTSTATUS status = CallAndWait(record->top, irp, &moved);
    if (NT_SUCCESS(status) && output != nullptr && moved != 0)
        std::memcpy(output, system, moved < outputLength ? moved : outputLength);
    if (information != nullptr) *information = moved;
    std::free(system);
    IoFreeIrp(irp);
    return status;
}

}  // namespace sim

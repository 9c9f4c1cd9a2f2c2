#include "sim/io/file_objects.h"

#include "platform/base/ntstatus.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "sim/kernel/object_ref.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/verifier.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace sim {

namespace {

constexpr CSHORT kIoTypeFile = 5;
OBJECT_TYPE file_object_type{"File"};

struct FileRecord;

// ObReferenceObject / ObDereferenceObject on a file object land here.
class FileBody final : public ObjectBody {
public:
    explicit FileBody(FileRecord* record) : record_(record) {}
    LONG_PTR Reference() override;
    LONG_PTR Dereference() override;
    POBJECT_TYPE BodyType() const override { return &file_object_type; }

private:
    FileRecord* record_;
};

struct FileRecord {
    FILE_OBJECT file;  // first: a FILE_OBJECT* is the record's address
    DEVICE_OBJECT* top = nullptr;
    Machine* machine = nullptr;
    std::atomic<LONG_PTR> references{1};
    KEVENT event{};
    FileBody body{this};
    std::u16string name;
};

FileRecord* RecordOf(FILE_OBJECT* file) { return reinterpret_cast<FileRecord*>(file); }

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

void Free(FileRecord* record) {
    UnregisterObjectBody(&record->file);
    ObDereferenceObject(record->top);
    delete record;
}

// The last reference went: IRP_MJ_CLOSE, then the record goes.
void SendClose(FileRecord* record) {
    IRP* irp = NewRequest(&record->file, record->top, IRP_MJ_CLOSE);
    CallAndWait(record->top, irp, nullptr);
    IoFreeIrp(irp);
    Free(record);
}

LONG_PTR FileBody::Reference() { return record_->references.fetch_add(1) + 1; }

LONG_PTR FileBody::Dereference() {
    const LONG_PTR count = record_->references.fetch_sub(1) - 1;
    if (count < 0) VerifierStop("file object %p dereferenced below zero", static_cast<void*>(&record_->file));
    if (count > 0) return count;
    FileRecord* record = record_;
    // The last reference may go in a completion at DISPATCH_LEVEL; CLOSE
    // is sent at PASSIVE_LEVEL, so it goes through a worker then.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        SendClose(record);
    else
        record->machine->kernel().QueueWork([record] { SendClose(record); }, CriticalWorkQueue);
    return 0;
}

}  // namespace

NTSTATUS OpenFileObject(DEVICE_OBJECT* device, std::u16string_view fileName, FILE_OBJECT** file) {
    *file = nullptr;
    auto* record = new (std::nothrow) FileRecord{};
    if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    record->machine = &CurrentMachine();
    record->top = IoGetAttachedDeviceReference(device);
    record->name.assign(fileName);
    KeInitializeEvent(&record->event, NotificationEvent, FALSE);
    const auto bytes = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    FILE_OBJECT* f = &record->file;
    f->Type = kIoTypeFile;
    f->Size = sizeof(FILE_OBJECT);
    f->DeviceObject = device;
    f->FileName = {bytes, bytes, record->name.data()};
    RegisterObjectBody(f, &record->body);
    IRP* irp = NewRequest(f, record->top, IRP_MJ_CREATE);
    const NTSTATUS status = CallAndWait(record->top, irp, nullptr);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        Free(record);  // a failed create is never closed
        return status;
    }
    *file = f;
    return STATUS_SUCCESS;
}

void CloseFileObject(FILE_OBJECT* file) {
    FileRecord* record = RecordOf(file);
    IRP* irp = NewRequest(file, record->top, IRP_MJ_CLEANUP);
    CallAndWait(record->top, irp, nullptr);
    IoFreeIrp(irp);
    ObDereferenceObject(file);
}

DEVICE_OBJECT* FileObjectTarget(FILE_OBJECT* file) { return RecordOf(file)->top; }

KEVENT* FileObjectEvent(FILE_OBJECT* file) { return &RecordOf(file)->event; }

NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR majorFunction, ULONG ioControlCode, const void* input,
                         ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* information) {
    FileRecord* record = RecordOf(file);
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

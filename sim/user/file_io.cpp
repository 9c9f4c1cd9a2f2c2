// CreateFileW, DeviceIoControl, ReadFile, WriteFile, WriteFileEx and
// GetOverlappedResult on device interfaces, over the I/O manager.
//
// A request is an IRP that carries the requesting thread, a reference on
// the file object, the caller's OVERLAPPED (or, on a synchronous handle, a
// status block the call waits on), the event and the completion routine.
// Its completion step runs on the completing thread, often the driver's
// DPC under a spin lock, so it stays short: copy the system buffer out,
// unlock the MDL, write the status block (the status last, with release
// order), signal the event, queue the completion routine, drop the
// references.
#include "sim/user/file_io.h"

#include "platform/kernel/object.h"
#include "platform/win32/file_io.h"
#include "sim/io/file_objects.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/sync_objects.h"
#include "sim/kernel/thread_record.h"
#include "sim/machine.h"
#include "sim/strings.h"
#include "sim/user/handles.h"
#include "sim/user/process.h"
#include "sim/user/user_call.h"

#include <cstdlib>
#include <cstring>

namespace sim {

FileHandle::FileHandle(FILE_OBJECT* file, bool overlapped, std::u16string path)
    : file_(file), overlapped_(overlapped), path_(std::move(path)) {}

FileHandle::~FileHandle() { CloseFileObject(file_); }

std::string FileHandle::Describe() const { return "File " + ToUtf8(path_); }

namespace {

// What the completion step needs besides the IRP.
struct UserRequest {
    std::shared_ptr<Process> process;
    std::shared_ptr<KernelObject> thread;  // the requester, for the completion routine
    FILE_OBJECT* file = nullptr;
    OVERLAPPED* overlapped = nullptr;
    IO_STATUS_BLOCK* syncStatus = nullptr;  // synchronous handles: the waiting call's
    KEVENT* syncDone = nullptr;
    std::shared_ptr<EventObject> event;  // OVERLAPPED.hEvent
    KEVENT* fileEvent = nullptr;         // overlapped without an event
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
    void* copyOut = nullptr;  // buffered reads and METHOD_BUFFERED: the caller's output
    ULONG copyOutLength = 0;
    void* systemBuffer = nullptr;
};

void Finish(const std::shared_ptr<UserRequest>& request, IRP* irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    const ULONG_PTR information = irp->IoStatus.Information;
    const bool error = status < 0 && (static_cast<ULONG>(status) >> 30) == 3;  // NT_ERROR
    const bool alive = !request->process->Exited();  // the address space of an exited process is gone
    if (alive && !error && request->copyOut != nullptr && information != 0)
        std::memcpy(request->copyOut, request->systemBuffer,
                    information < request->copyOutLength ? information : request->copyOutLength);
    std::free(request->systemBuffer);
    if (irp->MdlAddress != nullptr) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    // A request that failed before the driver made it pending reports only
    // through the call's return value: no status block, event or routine.
    if (alive && (!error || irp->PendingReturned)) {
        if (request->overlapped != nullptr) {
            request->overlapped->InternalHigh = information;
            __atomic_store_n(&request->overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                             __ATOMIC_RELEASE);
        }
        if (request->syncStatus != nullptr) *request->syncStatus = irp->IoStatus;
        if (request->event) KeSetEvent(&request->event->event, IO_NO_INCREMENT, FALSE);
        if (request->fileEvent != nullptr) KeSetEvent(request->fileEvent, IO_NO_INCREMENT, FALSE);
        if (request->routine != nullptr) {
            auto* thread = static_cast<ThreadRecord*>(request->thread.get());
            QueueUserApc(thread->Kthread(),
                         [routine = request->routine, code = Win32FromNtStatus(status),
                          bytes = static_cast<DWORD>(information),
                          overlapped = request->overlapped] { routine(code, bytes, overlapped); });
        }
    }
    // The synchronous caller may return once this is set: nothing of its
    // frame is touched after it.
    if (request->syncDone != nullptr) KeSetEvent(request->syncDone, IO_NO_INCREMENT, FALSE);
    request->process->RemoveRequest(irp);
    ObDereferenceObject(request->file);
    IoFreeIrp(irp);
}

struct Call {
    const char* function;
    HANDLE handle;
    UCHAR major;
    ULONG code = 0;
    void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    DWORD* bytes = nullptr;
    OVERLAPPED* overlapped = nullptr;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Sets up the request's buffers by the transfer method: a system buffer
// for buffered I/O (copied back at completion), an MDL of the caller's
// buffer for direct I/O, the caller's pointers for neither.
bool SetUpBuffers(const Call& call, DEVICE_OBJECT* target, IRP* irp, IO_STACK_LOCATION* next, UserRequest& request) {
    auto buffered = [&](ULONG size, const void* in, ULONG inLength) {
        if (size == 0) return true;
        request.systemBuffer = std::calloc(1, size);
        if (request.systemBuffer == nullptr) return false;
        if (in != nullptr && inLength != 0) std::memcpy(request.systemBuffer, in, inLength);
        irp->AssociatedIrp.SystemBuffer = request.systemBuffer;
        irp->Flags |= IRP_BUFFERED_IO;
        return true;
    };
    auto direct = [&](void* buffer, ULONG length) {
        if (buffer == nullptr || length == 0) return true;
        MDL* mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        if (mdl == nullptr) return false;
        MmProbeAndLockPages(mdl, UserMode, 0);
        return true;
    };
    if (call.major == IRP_MJ_DEVICE_CONTROL) {
        switch (METHOD_FROM_CTL_CODE(call.code)) {
        case METHOD_BUFFERED:
            request.copyOut = call.output;
            request.copyOutLength = call.outputLength;
            return buffered(call.inputLength > call.outputLength ? call.inputLength : call.outputLength, call.input,
                            call.inputLength);
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            return buffered(call.inputLength, call.input, call.inputLength) && direct(call.output, call.outputLength);
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = call.input;
            irp->UserBuffer = call.output;
            return true;
        }
    }
    void* buffer = call.major == IRP_MJ_READ ? call.output : call.input;
    const ULONG length = call.major == IRP_MJ_READ ? call.outputLength : call.inputLength;
    if (target->Flags & DO_BUFFERED_IO) {
        if (call.major == IRP_MJ_READ) {
            request.copyOut = call.output;
            request.copyOutLength = length;
            irp->Flags |= IRP_INPUT_OPERATION;
            return buffered(length, nullptr, 0);
        }
        return buffered(length, call.input, length);
    }
    if (target->Flags & DO_DIRECT_IO) return direct(buffer, length);
    irp->UserBuffer = buffer;
    return true;
}

BOOL Issue(const Call& call) {
    if (RefusedCall(EnterUserCall(call.function))) return FALSE;
    std::shared_ptr<UserRequest> request = std::make_shared<UserRequest>();
    {
        auto handle = LookupUserHandleAs<FileHandle>(call.handle);
        if (!handle) return FALSE;
        if (handle->Overlapped() ? call.overlapped == nullptr : call.routine != nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        // The request holds the file object, not the handle: closing the
        // handle meanwhile sends CLEANUP at once.
        request->file = handle->file();
        ObReferenceObject(request->file);
    }
    Process& process = CurrentProcess();
    request->process = std::static_pointer_cast<Process>(process.shared_from_this());
    request->thread = CurrentThreadRecord().shared_from_this();
    request->routine = call.routine;
    request->overlapped = call.overlapped;
    IO_STATUS_BLOCK syncStatus{};
    KEVENT syncDone;
    if (call.overlapped != nullptr) {
        // WriteFileEx leaves hEvent to the caller.
        if (call.routine == nullptr && call.overlapped->hEvent != nullptr) {
            request->event = LookupUserHandleAs<EventObject>(call.overlapped->hEvent, EVENT_MODIFY_STATE);
            if (!request->event) {
                ObDereferenceObject(request->file);
                return FALSE;
            }
            KeClearEvent(&request->event->event);
        } else if (call.routine == nullptr) {
            request->fileEvent = FileObjectEvent(request->file);
            KeClearEvent(request->fileEvent);
        }
        call.overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
        call.overlapped->InternalHigh = 0;
    } else {
        KeInitializeEvent(&syncDone, NotificationEvent, FALSE);
        request->syncStatus = &syncStatus;
        request->syncDone = &syncDone;
    }

    DEVICE_OBJECT* target = FileObjectTarget(request->file);
    IRP* irp = IoAllocateIrp(target->StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = call.major;
    next->FileObject = request->file;
    switch (call.major) {
    case IRP_MJ_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = call.code;
        next->Parameters.DeviceIoControl.InputBufferLength = call.inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = call.outputLength;
        break;
    case IRP_MJ_READ: next->Parameters.Read.Length = call.outputLength; break;
    default: next->Parameters.Write.Length = call.inputLength; break;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Tail.Overlay.OriginalFileObject = request->file;
    if (!SetUpBuffers(call, target, irp, next, *request)) {
        std::free(request->systemBuffer);
        if (irp->MdlAddress != nullptr) IoFreeMdl(irp->MdlAddress);
        IoFreeIrp(irp);
        ObDereferenceObject(request->file);
        return Fail(ERROR_NO_SYSTEM_RESOURCES);
    }
    process.AddRequest(irp);
    CurrentIo().SetFinisher(irp, [request](IRP* done) { Finish(request, done); });

    NTSTATUS status = IoCallDriver(target, irp);
    ULONG_PTR information = 0;
    if (status == STATUS_PENDING) {
        if (call.overlapped != nullptr) return Fail(ERROR_IO_PENDING);
        // A synchronous handle: the I/O manager waits for the request.
        KeWaitForSingleObject(&syncDone, Executive, UserMode, FALSE, nullptr);
        status = syncStatus.Status;
        information = syncStatus.Information;
    } else if (call.overlapped != nullptr) {
        information = call.overlapped->InternalHigh;
    } else {
        information = syncStatus.Information;
    }
    if (!NT_SUCCESS(status)) {
        // A warning (STATUS_BUFFER_OVERFLOW) still moved its bytes.
        if (call.bytes != nullptr) *call.bytes = status >= 0 || (static_cast<ULONG>(status) >> 30) != 3
                                                     ? static_cast<DWORD>(information)
                                                     : 0;
        return Fail(Win32FromNtStatus(status));
    }
    if (call.bytes != nullptr) *call.bytes = static_cast<DWORD>(information);
    return TRUE;
}

// "\\?\..." and "\\.\..." name the object namespace's "\??\...".
bool DevicePath(std::u16string_view path, std::u16string* native) {
    if (path.size() < 4 || path[0] != u'\\' || path[1] != u'\\' || (path[2] != u'?' && path[2] != u'.') ||
        path[3] != u'\\')
        return false;
    *native = u"\\??\\" + std::u16string(path.substr(4));
    return true;
}

}  // namespace

}  // namespace sim

using sim::Call;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)shareMode;
    (void)securityAttributes;
    (void)templateFile;
    if (sim::RefusedCall(sim::EnterUserCall("CreateFileW"))) return INVALID_HANDLE_VALUE;
    if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string native;
    std::u16string remainder;
    DEVICE_OBJECT* device = nullptr;
    // Only device interfaces exist here; a pipe name finds no pipe.
    constexpr std::u16string_view pipes = u"\\??\\pipe\\";
    if (sim::DevicePath(fileName, &native) && !sim::EqualsNoCase(std::u16string_view(native).substr(0, pipes.size()), pipes))
        device = sim::CurrentIo().ResolvePath(native, &remainder);
    if (device == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FILE_OBJECT* file = nullptr;
    const NTSTATUS status = sim::OpenFileObject(device, remainder, &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(sim::Win32FromNtStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return sim::InsertUserHandle(
        std::make_shared<sim::FileHandle>(file, (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, fileName),
        desiredAccess);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    Call call{"DeviceIoControl", device, IRP_MJ_DEVICE_CONTROL};
    call.code = ioControlCode;
    call.input = inBuffer;
    call.inputLength = inBufferSize;
    call.output = outBuffer;
    call.outputLength = outBufferSize;
    call.bytes = bytesReturned;
    call.overlapped = overlapped;
    return sim::Issue(call);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
              LPOVERLAPPED overlapped) {
    Call call{"ReadFile", file, IRP_MJ_READ};
    call.output = buffer;
    call.outputLength = numberOfBytesToRead;
    call.bytes = numberOfBytesRead;
    call.overlapped = overlapped;
    return sim::Issue(call);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPDWORD numberOfBytesWritten,
               LPOVERLAPPED overlapped) {
    Call call{"WriteFile", file, IRP_MJ_WRITE};
    call.input = const_cast<void*>(buffer);
    call.inputLength = numberOfBytesToWrite;
    call.bytes = numberOfBytesWritten;
    call.overlapped = overlapped;
    return sim::Issue(call);
}

BOOL WriteFileEx(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPOVERLAPPED overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
    if (overlapped == nullptr || completionRoutine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Call call{"WriteFileEx", file, IRP_MJ_WRITE};
    call.input = const_cast<void*>(buffer);
    call.inputLength = numberOfBytesToWrite;
    call.overlapped = overlapped;
    call.routine = completionRoutine;
    // A write that is pending still returns TRUE: its routine tells the end.
    if (sim::Issue(call)) return TRUE;
    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD numberOfBytesTransferred, BOOL wait) {
    if (sim::RefusedCall(sim::EnterUserCall("GetOverlappedResult"))) return FALSE;
    auto handle = sim::LookupUserHandleAs<sim::FileHandle>(file);
    if (!handle) return FALSE;
    const auto pending = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    while (__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) == pending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (overlapped->hEvent != nullptr) {
            if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
        } else {
            KeWaitForSingleObject(sim::FileObjectEvent(handle->file()), Executive, UserMode, FALSE, nullptr);
        }
    }
    const auto status = static_cast<NTSTATUS>(static_cast<ULONG>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
    *numberOfBytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(status)) {
        SetLastError(sim::Win32FromNtStatus(status));
        return FALSE;
    }
    return TRUE;
}

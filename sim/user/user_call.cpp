#include "sim/user/user_call.h"

#include "platform/kernel/irql.h"
#include "platform/win32/errors.h"
#include "platform/win32/synch.h"
#include "sim/faults.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/machine.h"
#include "sim/user/process.h"
#include "sim/verifier.h"

#include <exception>

namespace sim {

namespace {

// Unwinds the calling thread when the simulator runs it; false when it
// cannot (a test's own thread, or one already unwinding).
bool Unwind() {
    ThreadRecord* thread = Here().thread;
    if (thread == nullptr || std::uncaught_exceptions() != 0) return false;
    DWORD code;
    {
        std::lock_guard lock(DispatcherLock());
        if (!thread->userRoot) return false;
        code = thread->exitCode;
    }
    throw UserThreadExit{code};
}

}  // namespace

NTSTATUS EnterUserCall(const char* function) {
    ThreadContext& here = Here();
    if (here.irql != PASSIVE_LEVEL) VerifierStop("%s called at IRQL %u: user-mode calls run at PASSIVE_LEVEL", function, here.irql);
    if (here.heldCount > 0)
        VerifierStop("%s called holding spin lock %p", function, static_cast<void*>(here.held[here.heldCount - 1].lock));
    Process& process = CurrentProcess();
    bool ending = process.Exited();
    if (here.thread != nullptr) {
        std::lock_guard lock(DispatcherLock());
        ending = ending || here.thread->terminating;
    }
    if (ending) {
        // A thread the simulator runs ends here, unless it is already
        // unwinding (a destructor's call then simply fails).
        Unwind();
        return STATUS_PROCESS_IS_TERMINATING;
    }
    return process.machine().faults().OnCall(function);
}


NTSTATUS UserWaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, bool alertable,
                            bool poll, const std::optional<std::chrono::steady_clock::time_point>& deadline,
                            KWAIT_BLOCK* blocks) {
    const NTSTATUS status = WaitForObjects(count, objects, waitType, alertable, poll, deadline, blocks, true);
    if (status == STATUS_PROCESS_IS_TERMINATING) Unwind();
    return status;
}

bool RefusedCall(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return false;
    SetLastError(Win32FromNtStatus(status));
    return true;
}

DWORD Win32FromNtStatus(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_TIMEOUT: return WAIT_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW: return ERROR_MORE_DATA;
    case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED: return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_ACCESS_DENIED: return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_TYPE_MISMATCH: return ERROR_INVALID_HANDLE;
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_NAME;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION: return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
    case STATUS_MUTANT_NOT_OWNED: return ERROR_NOT_OWNER;
    case STATUS_SEMAPHORE_LIMIT_EXCEEDED: return ERROR_TOO_MANY_POSTS;
    case STATUS_DELETE_PENDING: return ERROR_ACCESS_DENIED;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_NOT_CONNECTED: return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_NOT_READY: return ERROR_NOT_READY;
    case STATUS_IO_TIMEOUT: return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_DEVICE_DOES_NOT_EXIST: return ERROR_DEV_NOT_EXIST;
    case STATUS_PROCESS_IS_TERMINATING: return ERROR_ACCESS_DENIED;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_KEY_DELETED: return ERROR_KEY_DELETED;
    case STATUS_INVALID_DEVICE_STATE: return ERROR_BAD_COMMAND;
    case STATUS_IO_DEVICE_ERROR: return ERROR_IO_DEVICE;
    case STATUS_INVALID_BUFFER_SIZE: return ERROR_INVALID_USER_BUFFER;
    case STATUS_NOT_FOUND: return ERROR_NOT_FOUND;
    case STATUS_DEVICE_REMOVED: return ERROR_DEVICE_REMOVED;
    default: return ERROR_MR_MID_NOT_FOUND;  // what Windows answers for a status it cannot map
    }
}

}  // namespace sim

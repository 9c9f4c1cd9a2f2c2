// The entry of every user-mode call the simulator serves.
//
// EnterUserCall checks what Windows guarantees a user-mode caller (it runs
// at PASSIVE_LEVEL and holds no spin lock: a kernel path that calls Win32 is
// a verifier stop), that the calling process is alive, and counts the call
// for fault injection. A thread of a process that has exited is unwound at
// its next call, as Windows would have ended it.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/kernel/dispatcher.h"

#include <chrono>
#include <optional>

namespace sim {

// Thrown to unwind a user-mode thread whose process ended (caught at the
// thread's root).
struct UserThreadExit {
    DWORD code;
};

// STATUS_SUCCESS to go on, or the status the call fails with: an injected
// fault, or STATUS_PROCESS_IS_TERMINATING for a call made while the
// process goes away.
NTSTATUS EnterUserCall(const char* function);

// The dispatcher's wait for user-mode callers: a thread whose process ends
// while it waits is unwound (or, when it cannot be, gets
// STATUS_PROCESS_IS_TERMINATING).
NTSTATUS UserWaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, bool alertable,
                            bool poll, const std::optional<std::chrono::steady_clock::time_point>& deadline,
                            KWAIT_BLOCK* blocks);

// The Win32 error for an NTSTATUS (RtlNtStatusToDosError), for the
// statuses the package's drivers and the simulator return.
DWORD Win32FromNtStatus(NTSTATUS status);

// Sets the last error from `status` when the guard refused the call, and
// tells whether it did.
bool RefusedCall(NTSTATUS status);

}  // namespace sim

// System threads. A system thread runs its start routine at PASSIVE_LEVEL on
// the machine that created it; its thread object is signalled when it ends.
// The handle PsCreateSystemThread returns is closed with ZwClose.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"

struct ETHREAD;
using PETHREAD = ETHREAD*;

struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
static_assert(sizeof(CLIENT_ID) == 16);
using PCLIENT_ID = CLIENT_ID*;

using PKSTART_ROUTINE = void (*)(PVOID startContext);

inline constexpr KPRIORITY LOW_PRIORITY = 0;
inline constexpr KPRIORITY LOW_REALTIME_PRIORITY = 16;
inline constexpr KPRIORITY HIGH_PRIORITY = 31;

// IRQL == PASSIVE_LEVEL. `processHandle` null (the system process).
extern "C" NTSTATUS PsCreateSystemThread(HANDLE* threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
// Ends the calling system thread; does not return.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);

extern "C" PETHREAD PsGetCurrentThread();
extern "C" PKTHREAD KeGetCurrentThread();
extern "C" HANDLE PsGetCurrentThreadId();
extern "C" HANDLE PsGetThreadId(PETHREAD thread);

// Priorities are recorded; the host scheduler is not changed.
extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority);
extern "C" KPRIORITY KeQueryPriorityThread(PKTHREAD thread);

// Dispatcher objects (events, semaphores, mutexes; threads are waitable too)
// and the waits on them. The objects are plain records the caller embeds
// anywhere (non-paged); they need no other storage.
//
// Waits: a time-out is in 100 ns units; negative is relative, positive is an
// absolute system time (KeQuerySystemTime), zero polls, null waits forever.
// A wait that can block (any time-out but zero) requires IRQL <= APC_LEVEL.
#pragma once

#include "platform/base/list.h"
#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/time.h"

struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;

using KPRIORITY = LONG;

// DISPATCHER_HEADER.Type
enum KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    GateObject = 7,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
    DpcObject = 19,
};

struct DISPATCHER_HEADER {
    UCHAR Type;  // KOBJECTS
    UCHAR Signalling;
    UCHAR Size;  // in LONGs
    UCHAR DebugActive;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
};
static_assert(sizeof(DISPATCHER_HEADER) == 24);
static_assert(offsetof(DISPATCHER_HEADER, SignalState) == 4);
static_assert(offsetof(DISPATCHER_HEADER, WaitListHead) == 8);
using PDISPATCHER_HEADER = DISPATCHER_HEADER*;

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };

struct KEVENT {
    DISPATCHER_HEADER Header;
};
static_assert(sizeof(KEVENT) == 24);
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
};
static_assert(sizeof(KSEMAPHORE) == 32);
static_assert(offsetof(KSEMAPHORE, Limit) == 24);
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

// A kernel mutex is a mutant; SignalState is 1 when free and 1 - n when its
// owner holds it n times.
struct KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
};
static_assert(sizeof(KMUTANT) == 56);
static_assert(offsetof(KMUTANT, MutantListEntry) == 24);
static_assert(offsetof(KMUTANT, OwnerThread) == 40);
static_assert(offsetof(KMUTANT, Abandoned) == 48);
using KMUTEX = KMUTANT;
using PKMUTANT = KMUTANT*;
using PKMUTEX = KMUTANT*;
using PRKMUTEX = KMUTANT*;

enum WAIT_TYPE { WaitAll = 0, WaitAny = 1, WaitNotification = 2, WaitDequeue = 3 };

enum KWAIT_REASON {
    Executive = 0,
    FreePage = 1,
    PageIn = 2,
    PoolAllocation = 3,
    DelayExecution = 4,
    Suspended = 5,
    UserRequest = 6,
    WrExecutive = 7,
};

// One per object of a wait. Waits on up to THREAD_WAIT_OBJECTS objects use
// the thread's own blocks; larger waits need the caller's array.
struct KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    KTHREAD* Thread;
    PVOID Object;
    KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    volatile UCHAR BlockState;
    LONG SpareLong;
};
static_assert(sizeof(KWAIT_BLOCK) == 48);
static_assert(offsetof(KWAIT_BLOCK, WaitKey) == 40);
using PKWAIT_BLOCK = KWAIT_BLOCK*;

inline constexpr ULONG THREAD_WAIT_OBJECTS = 3;
inline constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;

// Events. KeSetEvent and KeResetEvent return the previous state; a set
// synchronisation event releases one waiter and resets, a notification event
// releases all and stays set. `wait` is accepted and has no extra effect.
extern "C" void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
extern "C" LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
extern "C" LONG KeResetEvent(PRKEVENT event);
extern "C" void KeClearEvent(PRKEVENT event);
extern "C" LONG KeReadStateEvent(PRKEVENT event);
// Sets, releases what can be released, and resets; returns the previous state.
extern "C" LONG KePulseEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);

// Semaphores. Re-initialising one that no thread waits on is allowed.
// Releasing beyond the limit is a verifier stop (Windows raises
// STATUS_SEMAPHORE_LIMIT_EXCEEDED). Returns the previous count.
extern "C" void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit);
extern "C" LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait);
extern "C" LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore);

// Kernel mutexes: acquired by waiting on them (below DISPATCH_LEVEL),
// recursive for the owner. Releasing one the thread does not own is a
// verifier stop. KeReleaseMutex returns the previous signal state.
extern "C" void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
extern "C" LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);
extern "C" LONG KeReadStateMutex(PRKMUTEX mutex);

// STATUS_SUCCESS (STATUS_WAIT_0), STATUS_ABANDONED_WAIT_0 for an abandoned
// user-mode mutex, STATUS_TIMEOUT, or STATUS_USER_APC for an alertable
// user-mode wait that ran user APCs.
extern "C" NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout);
inline NTSTATUS KeWaitForMutexObject(PRKMUTEX mutex, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                                     BOOLEAN alertable, PLARGE_INTEGER timeout) {
    return KeWaitForSingleObject(mutex, waitReason, waitMode, alertable, timeout);
}
// WaitAny: STATUS_WAIT_0 + the index of the object that satisfied the wait
// (the lowest signalled one). WaitAll: STATUS_WAIT_0 once all are signalled
// at the same time. `waitBlockArray` may be null for up to
// THREAD_WAIT_OBJECTS objects and must hold `count` blocks otherwise.
extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON waitReason,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray);

// Sleeps for `interval` (relative when negative, absolute when positive).
extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval);

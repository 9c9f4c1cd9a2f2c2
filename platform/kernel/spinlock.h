// Spin locks: plain (KeAcquireSpinLock) and in-stack queued. Acquiring raises
// the thread to DISPATCH_LEVEL and releasing restores the level saved at
// acquisition. Locks must be released in the reverse order of acquisition.
#pragma once

#include "platform/base/types.h"
#include "platform/kernel/irql.h"

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KSPIN_LOCK_QUEUE {
    KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
};
static_assert(sizeof(KSPIN_LOCK_QUEUE) == 16);

struct KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
};
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24);
static_assert(offsetof(KLOCK_QUEUE_HANDLE, OldIrql) == 16);
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;

// An inline on x64, as wdm.h defines it.
inline void KeInitializeSpinLock(PKSPIN_LOCK spinLock) { *spinLock = 0; }

// IRQL <= DISPATCH_LEVEL. Returns the previous IRQL.
extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock);
inline void KeAcquireSpinLock(PKSPIN_LOCK spinLock, PKIRQL oldIrql) { *oldIrql = KeAcquireSpinLockRaiseToDpc(spinLock); }
extern "C" void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);

// IRQL == DISPATCH_LEVEL: no IRQL change.
extern "C" void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock);
extern "C" void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock);

// In-stack queued spin locks: the handle lives on the acquirer's stack and
// carries the saved IRQL. A lock is taken either queued or plain, never both.
extern "C" void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE lockHandle);
extern "C" void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE lockHandle);
extern "C" void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE lockHandle);
extern "C" void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE lockHandle);

// Non-blocking probe; true when the lock is free at this instant.
extern "C" BOOLEAN KeTestSpinLock(PKSPIN_LOCK spinLock);

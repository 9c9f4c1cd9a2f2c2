// Scoped holds of the kernel's locks, so every path out of a block releases
// what it took.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/spinlock.h"

// A kernel mutex, waited for without time-out. PASSIVE_LEVEL or APC_LEVEL.
class MutexHold {
public:
    explicit MutexHold(KMUTEX* mutex) : mutex_(mutex) {
        KeWaitForMutexObject(mutex_, Executive, KernelMode, FALSE, nullptr);
    }
    ~MutexHold() { KeReleaseMutex(mutex_, FALSE); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    KMUTEX* mutex_;
};

// A spin lock taken as an in-stack queued lock: DISPATCH_LEVEL while held.
class SpinHold {
public:
    explicit SpinHold(KSPIN_LOCK* lock) { KeAcquireInStackQueuedSpinLock(lock, &handle_); }
    ~SpinHold() { KeReleaseInStackQueuedSpinLock(&handle_); }
    SpinHold(const SpinHold&) = delete;
    SpinHold& operator=(const SpinHold&) = delete;

private:
    KLOCK_QUEUE_HANDLE handle_;
};

// What the kernel keeps per host thread without taking a lock: the IRQL, the
// spin locks held (in acquisition order), the thread record and the Win32
// last error.
#pragma once

#include "platform/kernel/irql.h"
#include "platform/kernel/spinlock.h"

#include <cstdint>
#include <memory>

namespace sim {

class Machine;
class Process;
class ThreadRecord;

inline constexpr int kMaxHeldSpinLocks = 16;

struct HeldSpinLock {
    PKSPIN_LOCK lock;
    bool queued;
    int watchSlot;        // sim/kernel/lock_watch.h; -1 when unwatched
    std::int64_t cpuAtAcquire;  // the holder's CPU time then, for watched locks
};

struct ThreadContext {
    ThreadContext() = default;
    ~ThreadContext();
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;

    KIRQL irql = PASSIVE_LEVEL;
    HeldSpinLock held[kMaxHeldSpinLocks] = {};
    int heldCount = 0;
    ThreadRecord* thread = nullptr;        // this thread's record, once known
    std::shared_ptr<ThreadRecord> adopted;  // owned here for threads the kernel did not create
    DWORD lastError = 0;
    Process* process = nullptr;          // entered with ProcessScope (or System)
    ULONG session = 0;                   // a test's session override ...
    Machine* sessionMachine = nullptr;   // ... on this machine
};

ThreadContext& Here();

}  // namespace sim

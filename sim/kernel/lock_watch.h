// Hold accounting for a few chosen spin locks, for benchmarks and tests
// that show how long a lock is kept from the paths that need it.
//
// A hold is measured in the holder's thread CPU time: a holder that the host
// scheduler preempts (two cores shared by many threads) does not count the
// time it sat still, so the figure is the work done with the lock held,
// which is what a waiter on a real processor would spin behind.
// Process-wide; unwatched locks cost one relaxed load per acquisition.
#pragma once

#include "platform/kernel/spinlock.h"

#include <chrono>
#include <cstdint>

namespace sim {

struct SpinLockStats {
    std::uint64_t acquisitions = 0;
    std::chrono::nanoseconds longestHold{0};
};

// Starts (or restarts, from zero) the accounting of `lock`. At most four
// locks at a time; false when all slots are taken.
bool WatchSpinLock(PKSPIN_LOCK lock);
void UnwatchSpinLock(PKSPIN_LOCK lock);
// What was counted since the watch began (zero for an unwatched lock).
SpinLockStats WatchedSpinLock(PKSPIN_LOCK lock);

// For the spin lock routines: the slot of `lock`, or -1.
int SpinLockWatchSlot(PKSPIN_LOCK lock);
// The calling thread's CPU time.
std::int64_t ThreadCpuNanoseconds();
void RecordSpinLockAcquire(int slot);
void RecordSpinLockHold(int slot, std::int64_t cpuNanoseconds);

}  // namespace sim

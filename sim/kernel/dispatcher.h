// The dispatcher: one process-wide lock guards every dispatcher object's
// state and wait list (machines may share objects through a process), and
// each waiting thread sleeps on its own record's condition variable until a
// signaller satisfies its wait or its time-out passes.
#pragma once

#include "platform/kernel/dispatcher.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

namespace sim {

class ThreadRecord;

std::mutex& DispatcherLock();

// Header sizes (in LONGs) of initialised objects, as KeInitialize* sets them.
inline constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
inline constexpr UCHAR kSemaphoreSize = sizeof(KSEMAPHORE) / sizeof(LONG);
inline constexpr UCHAR kMutantSize = sizeof(KMUTANT) / sizeof(LONG);
inline constexpr UCHAR kThreadSize = 8;

// True for a header that KeInitialize* (or the thread code) set up.
bool IsDispatcherObject(const DISPATCHER_HEADER* header);

// With the dispatcher lock held: whether a thread waits on the object at
// `header` now. Never reads the object itself.
bool HasWaiters(const DISPATCHER_HEADER* header);

// With the dispatcher lock held: satisfies the waits that `header`'s state
// now allows, in wait order.
void WakeWaiters(DISPATCHER_HEADER* header);

// A deadline on the waiting thread's machine clock (see sim/kernel/clock.h).
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// The deadline of a kernel time-out (null: none). Relative when negative.
Deadline DeadlineFor(const LARGE_INTEGER* timeout);
// The deadline `milliseconds` from now (INFINITE: none).
Deadline DeadlineAfterMs(std::uint32_t milliseconds);

// Wakes every wait with a deadline so it compares it with the clock again
// (the machine clock moved forward).
void WakeTimedWaits();

// The common wait. `objects` may be empty (a delay). Checks nothing about
// IRQL; the callers do. Returns STATUS_WAIT_0 + i, STATUS_ABANDONED_WAIT_0 +
// i, STATUS_TIMEOUT or STATUS_USER_APC; a user-mode wait (`userMode`) of a
// thread being terminated returns STATUS_PROCESS_IS_TERMINATING.
NTSTATUS WaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, bool alertableUser,
                        bool poll, const Deadline& deadline, KWAIT_BLOCK* blocks, bool userMode = false);

// Mutants (user-mode mutexes are mutants that may be abandoned; kernel
// mutexes are not).
void InitializeMutant(KMUTANT* mutant, bool kernelMutex, bool initialOwner);
// False when the calling thread does not own it.
bool ReleaseMutant(KMUTANT* mutant, LONG* previous);
// False when the count would pass the limit (nothing changes then).
bool ReleaseSemaphoreChecked(KSEMAPHORE* semaphore, LONG adjustment, LONG* previous);

// How many waits are blocked on `object` now (a KEVENT, KSEMAPHORE, KMUTEX
// or thread). Tests use it to know a thread has reached its wait.
std::size_t WaitersOn(const void* object);

// With the dispatcher lock held: hands the mutants `thread` owns on (user
// mutants become abandoned) and returns how many kernel mutexes it held.
ULONG AbandonMutants(ThreadRecord& thread);

}  // namespace sim

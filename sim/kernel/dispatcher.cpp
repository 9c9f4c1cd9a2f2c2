#include "sim/kernel/dispatcher.h"

#include "platform/kernel/dispatcher.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/thread_record.h"
#include "sim/kernel/time_base.h"
#include "sim/verifier.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

namespace {

constexpr UCHAR kBlockWaiting = 1;
constexpr UCHAR kBlockIdle = 0;

KMUTANT* AsMutant(DISPATCHER_HEADER* header) { return reinterpret_cast<KMUTANT*>(header); }

bool SignalledFor(DISPATCHER_HEADER* header, ThreadRecord& thread) {
    if (header->Type == MutantObject)
        return header->SignalState > 0 || AsMutant(header)->OwnerThread == thread.Kthread();
    return header->SignalState > 0;
}

// Consumes what the wait takes from a signalled object; true when it hands
// over an abandoned mutant.
bool Satisfy(DISPATCHER_HEADER* header, ThreadRecord& thread) {
    switch (header->Type) {
    case EventSynchronizationObject: header->SignalState = 0; return false;
    case SemaphoreObject: --header->SignalState; return false;
    case MutantObject: {
        KMUTANT* mutant = AsMutant(header);
        if (header->SignalState > 0) {
            mutant->OwnerThread = thread.Kthread();
            InsertTailList(&thread.ownedMutants, &mutant->MutantListEntry);
            if (mutant->ApcDisable != 0) ++thread.kernelMutexes;
        }
        --header->SignalState;
        if (mutant->Abandoned) {
            mutant->Abandoned = FALSE;
            return true;
        }
        return false;
    }
    default: return false;
    }
}

NTSTATUS TryAcquire(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, ThreadRecord& thread) {
    if (waitType == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (!SignalledFor(objects[i], thread)) continue;
            return (Satisfy(objects[i], thread) ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + static_cast<NTSTATUS>(i);
        }
        return STATUS_PENDING;
    }
    if (count == 0) return STATUS_PENDING;
    for (ULONG i = 0; i < count; ++i)
        if (!SignalledFor(objects[i], thread)) return STATUS_PENDING;
    NTSTATUS status = STATUS_WAIT_0;
    for (ULONG i = 0; i < count; ++i)
        if (Satisfy(objects[i], thread) && status == STATUS_WAIT_0)
            status = STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(i);
    return status;
}

// The objects with wait blocks linked into their lists, and how many: the
// re-initialisation check asks this rather than reading the object, whose
// memory may not be initialised yet (a new event on a reused stack).
std::unordered_map<const DISPATCHER_HEADER*, unsigned>& WaitedOn() {
    static auto* objects = new std::unordered_map<const DISPATCHER_HEADER*, unsigned>;
    return *objects;
}

// Threads in a wait with a deadline, for WakeTimedWaits.
std::unordered_set<ThreadRecord*>& TimedWaiters() {
    static auto* threads = new std::unordered_set<ThreadRecord*>;
    return *threads;
}

void Unlink(ThreadRecord& thread) {
    for (ULONG i = 0; i < thread.waitCount; ++i) {
        KWAIT_BLOCK& block = thread.waitBlocks[i];
        if (block.BlockState == kBlockWaiting) {
            RemoveEntryList(&block.WaitListEntry);
            block.BlockState = kBlockIdle;
            const auto it = WaitedOn().find(static_cast<const DISPATCHER_HEADER*>(block.Object));
            if (it != WaitedOn().end() && --it->second == 0) WaitedOn().erase(it);
        }
    }
}

void Complete(ThreadRecord& thread, NTSTATUS status) {
    Unlink(thread);
    thread.waitStatus = status;
    thread.waiting = false;
    thread.wake.notify_one();
}

// Satisfies one wait of `header`'s list if its state allows; false if none.
bool WakeOne(DISPATCHER_HEADER* header) {
    for (LIST_ENTRY* entry = header->WaitListHead.Flink; entry != &header->WaitListHead; entry = entry->Flink) {
        KWAIT_BLOCK* block = OVU_CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        ThreadRecord& thread = *ThreadRecord::From(block->Thread);
        if (block->WaitType == WaitAny) {
            if (!SignalledFor(header, thread)) continue;
            const bool abandoned = Satisfy(header, thread);
            Complete(thread, (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + block->WaitKey);
            return true;
        }
        DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
        for (ULONG i = 0; i < thread.waitCount; ++i)
            objects[i] = static_cast<DISPATCHER_HEADER*>(thread.waitBlocks[i].Object);
        const NTSTATUS status = TryAcquire(thread.waitCount, objects, WaitAll, thread);
        if (status == STATUS_PENDING) continue;
        Complete(thread, status);
        return true;
    }
    return false;
}

}  // namespace

std::mutex& DispatcherLock() {
    static auto* lock = new std::mutex;  // outlives the threads' exit paths
    return *lock;
}

bool IsDispatcherObject(const DISPATCHER_HEADER* header) {
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject: return header->Size == kEventSize;
    case SemaphoreObject: return header->Size == kSemaphoreSize;
    case MutantObject: return header->Size == kMutantSize;
    case ThreadObject: return header->Size == kThreadSize;
    default: return false;
    }
}

bool HasWaiters(const DISPATCHER_HEADER* header) { return WaitedOn().count(header) != 0; }

std::size_t WaitersOn(const void* object) {
    const auto* header = static_cast<const DISPATCHER_HEADER*>(object);
    std::lock_guard lock(DispatcherLock());
    std::size_t count = 0;
    for (const LIST_ENTRY* entry = header->WaitListHead.Flink; entry != &header->WaitListHead; entry = entry->Flink)
        ++count;
    return count;
}

void WakeWaiters(DISPATCHER_HEADER* header) {
    while (!IsListEmpty(&header->WaitListHead)) {
        if (header->Type != MutantObject && header->SignalState <= 0) return;
        if (!WakeOne(header)) return;
    }
}

void WakeTimedWaits() {
    std::lock_guard lock(DispatcherLock());
    for (ThreadRecord* thread : TimedWaiters()) thread->wake.notify_one();
}

Deadline DeadlineAfterMs(std::uint32_t milliseconds) {
    if (milliseconds == 0xFFFFFFFFu) return std::nullopt;  // INFINITE
    return MachineNow() + std::chrono::milliseconds(milliseconds);
}

Deadline DeadlineFor(const LARGE_INTEGER* timeout) {
    if (timeout == nullptr) return std::nullopt;
    const auto now = MachineNow();
    LONGLONG units = timeout->QuadPart;
    if (units > 0) units = SystemTimeNow() - units;  // absolute: how far it is ahead, negated
    if (units >= 0) return now;                      // already due
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::nanoseconds(-units) * 100);
}

NTSTATUS WaitForObjects(ULONG count, DISPATCHER_HEADER* const* objects, WAIT_TYPE waitType, bool alertableUser,
                        bool poll, const Deadline& deadline, KWAIT_BLOCK* blocks, bool userMode) {
    ThreadRecord& thread = CurrentThreadRecord();
    static const Clock host_clock;  // for threads that run on no machine
    const Clock& clock = CurrentClock() != nullptr ? *CurrentClock() : host_clock;
    std::unique_lock lock(DispatcherLock());
    for (;;) {
        if (userMode && thread.terminating) return STATUS_PROCESS_IS_TERMINATING;
        if (alertableUser && !thread.userApcs.empty()) {
            std::deque<std::function<void()>> apcs;
            apcs.swap(thread.userApcs);
            lock.unlock();
            for (auto& apc : apcs) apc();
            return STATUS_USER_APC;
        }
        const NTSTATUS status = TryAcquire(count, objects, waitType, thread);
        if (status != STATUS_PENDING) return status;
        if (poll || (deadline && clock.Now() >= *deadline)) return STATUS_TIMEOUT;

        for (ULONG i = 0; i < count; ++i) {
            KWAIT_BLOCK& block = blocks[i];
            block.Thread = thread.Kthread();
            block.Object = objects[i];
            block.NextWaitBlock = i + 1 < count ? &blocks[i + 1] : &blocks[0];
            block.WaitKey = static_cast<USHORT>(i);
            block.WaitType = static_cast<UCHAR>(waitType);
            block.BlockState = kBlockWaiting;
            InsertTailList(&objects[i]->WaitListHead, &block.WaitListEntry);
            ++WaitedOn()[objects[i]];
        }
        thread.waitBlocks = blocks;
        thread.waitCount = count;
        thread.waiting = true;
        thread.alertableUserWait = alertableUser;
        if (deadline) TimedWaiters().insert(&thread);
        // A skip of the machine clock wakes the thread without a signal: the
        // deadline is compared with the clock again each time round.
        while (thread.waiting && !(alertableUser && !thread.userApcs.empty()) && !(userMode && thread.terminating)) {
            if (!deadline) {
                thread.wake.wait(lock);
            } else if (clock.Now() >= *deadline) {
                break;
            } else {
                thread.wake.wait_until(lock, clock.HostTime(*deadline));
            }
        }
        if (deadline) TimedWaiters().erase(&thread);
        thread.alertableUserWait = false;
        if (!thread.waiting) return thread.waitStatus;
        Unlink(thread);
        thread.waiting = false;
        if ((alertableUser && !thread.userApcs.empty()) || (userMode && thread.terminating)) continue;
        // A time-out; a signal that came at the same instant has been
        // handled above, since the thread was still waiting.
        if (!deadline || clock.Now() >= *deadline) return STATUS_TIMEOUT;
    }
}

void InitializeMutant(KMUTANT* mutant, bool kernelMutex, bool initialOwner) {
    std::lock_guard lock(DispatcherLock());
    DISPATCHER_HEADER& header = mutant->Header;
    if (HasWaiters(&header))
        VerifierStop("mutex %p initialised again while threads wait on it", static_cast<void*>(mutant));
    header.Type = MutantObject;
    header.Signalling = 0;
    header.Size = kMutantSize;
    header.DebugActive = 0;
    header.SignalState = 1;
    InitializeListHead(&header.WaitListHead);
    mutant->OwnerThread = nullptr;
    mutant->Abandoned = FALSE;
    mutant->ApcDisable = kernelMutex ? 1 : 0;
    mutant->MutantListEntry = {nullptr, nullptr};
    if (initialOwner) Satisfy(&header, CurrentThreadRecord());
}

bool ReleaseMutant(KMUTANT* mutant, LONG* previous) {
    ThreadRecord& thread = CurrentThreadRecord();
    std::lock_guard lock(DispatcherLock());
    if (!IsDispatcherObject(&mutant->Header) || mutant->Header.Type != MutantObject)
        VerifierStop("releasing %p, which is not an initialised mutex", static_cast<void*>(mutant));
    if (mutant->OwnerThread != thread.Kthread()) return false;
    *previous = mutant->Header.SignalState;
    if (++mutant->Header.SignalState == 1) {
        mutant->OwnerThread = nullptr;
        RemoveEntryList(&mutant->MutantListEntry);
        if (mutant->ApcDisable != 0) --thread.kernelMutexes;
        WakeWaiters(&mutant->Header);
    }
    return true;
}

bool ReleaseSemaphoreChecked(KSEMAPHORE* semaphore, LONG adjustment, LONG* previous) {
    std::lock_guard lock(DispatcherLock());
    if (!IsDispatcherObject(&semaphore->Header) || semaphore->Header.Type != SemaphoreObject)
        VerifierStop("releasing %p, which is not an initialised semaphore", static_cast<void*>(semaphore));
    const LONG count = semaphore->Header.SignalState;
    if (adjustment <= 0 || count > semaphore->Limit - adjustment) return false;
    *previous = count;
    semaphore->Header.SignalState = count + adjustment;
    if (count == 0) WakeWaiters(&semaphore->Header);
    return true;
}

ULONG AbandonMutants(ThreadRecord& thread) {
    ULONG kernelMutexes = 0;
    while (!IsListEmpty(&thread.ownedMutants)) {
        LIST_ENTRY* entry = RemoveHeadList(&thread.ownedMutants);
        KMUTANT* mutant = OVU_CONTAINING_RECORD(entry, KMUTANT, MutantListEntry);
        if (mutant->ApcDisable != 0) ++kernelMutexes;
        mutant->OwnerThread = nullptr;
        mutant->Header.SignalState = 1;
        mutant->Abandoned = mutant->ApcDisable == 0 ? TRUE : FALSE;
        WakeWaiters(&mutant->Header);
    }
    thread.kernelMutexes = 0;
    return kernelMutexes;
}

}  // namespace sim

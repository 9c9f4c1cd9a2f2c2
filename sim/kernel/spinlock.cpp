// Spin locks. The lock word holds the owner's token (its thread context's
// address, bit 0 set for a queued acquisition), so the verifier can tell who
// holds a lock and how it was taken.
#include "platform/kernel/spinlock.h"

#include "sim/kernel/lock_watch.h"
#include "sim/kernel/thread_context.h"
#include "sim/verifier.h"

#include <thread>

namespace {

ULONG_PTR OwnerBits(const sim::ThreadContext& here) { return reinterpret_cast<ULONG_PTR>(&here); }

const char* KindName(bool queued) { return queued ? "an in-stack queued" : "a plain"; }

void Acquire(PKSPIN_LOCK lock, bool queued, const char* caller) {
    sim::ThreadContext& here = sim::Here();
    const ULONG_PTR token = OwnerBits(here) | (queued ? 1 : 0);
    const ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if ((current & ~ULONG_PTR{1}) == OwnerBits(here))
        sim::VerifierStop("%s: spin lock %p is already held by this thread", caller, static_cast<void*>(lock));
    if (here.heldCount == sim::kMaxHeldSpinLocks)
        sim::VerifierStop("%s: more than %d spin locks held at once", caller, sim::kMaxHeldSpinLocks);
    const int watch = sim::SpinLockWatchSlot(lock);
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            if (watch >= 0) sim::RecordSpinLockAcquire(watch);
            break;
        }
        // Two cores shared by many threads: the holder may need ours.
        if (spins >= 32) std::this_thread::yield();
#if defined(__x86_64__) || defined(__i386__)
        else __builtin_ia32_pause();
#endif
    }
    here.held[here.heldCount++] = {lock, queued, watch, watch >= 0 ? sim::ThreadCpuNanoseconds() : 0};
}

void Release(PKSPIN_LOCK lock, bool queued, const char* caller) {
    sim::ThreadContext& here = sim::Here();
    const ULONG_PTR current = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if ((current & ~ULONG_PTR{1}) != OwnerBits(here))
        sim::VerifierStop("%s: spin lock %p is not held by this thread", caller, static_cast<void*>(lock));
    if (((current & 1) != 0) != queued)
        sim::VerifierStop("%s: spin lock %p was acquired as %s lock", caller, static_cast<void*>(lock),
                          KindName(!queued));
    if (here.held[here.heldCount - 1].lock != lock)
        sim::VerifierStop("%s: spin lock %p released out of order (spin lock %p was acquired after it)", caller,
                          static_cast<void*>(lock), static_cast<void*>(here.held[here.heldCount - 1].lock));
    --here.heldCount;
    const sim::HeldSpinLock& held = here.held[here.heldCount];
    if (held.watchSlot >= 0) sim::RecordSpinLockHold(held.watchSlot, sim::ThreadCpuNanoseconds() - held.cpuAtAcquire);
    __atomic_store_n(lock, ULONG_PTR{0}, __ATOMIC_RELEASE);
}

KIRQL RaiseForAcquire(const char* caller) {
    sim::ThreadContext& here = sim::Here();
    if (here.irql > DISPATCH_LEVEL) sim::VerifierStop("%s at IRQL %u, above DISPATCH_LEVEL", caller, here.irql);
    const KIRQL old = here.irql;
    here.irql = DISPATCH_LEVEL;
    return old;
}

void RequireDispatch(const char* caller) {
    const KIRQL irql = sim::Here().irql;
    if (irql < DISPATCH_LEVEL) sim::VerifierStop("%s at IRQL %u, below DISPATCH_LEVEL", caller, irql);
}

void LowerAfterRelease(KIRQL newIrql, const char* caller) {
    sim::ThreadContext& here = sim::Here();
    if (newIrql > here.irql)
        sim::VerifierStop("%s restores IRQL %u, above the current IRQL %u", caller, newIrql, here.irql);
    if (newIrql < DISPATCH_LEVEL && here.heldCount > 0)
        sim::VerifierStop("%s lowers IRQL to %u while spin lock %p is held", caller, newIrql,
                          static_cast<void*>(here.held[here.heldCount - 1].lock));
    here.irql = newIrql;
}

}  // namespace

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock) {
    const KIRQL old = RaiseForAcquire("KeAcquireSpinLock");
    Acquire(spinLock, false, "KeAcquireSpinLock");
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
    RequireDispatch("KeReleaseSpinLock");
    Release(spinLock, false, "KeReleaseSpinLock");
    LowerAfterRelease(newIrql, "KeReleaseSpinLock");
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock) {
    RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    Acquire(spinLock, false, "KeAcquireSpinLockAtDpcLevel");
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock) {
    RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    Release(spinLock, false, "KeReleaseSpinLockFromDpcLevel");
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE lockHandle) {
    const KIRQL old = RaiseForAcquire("KeAcquireInStackQueuedSpinLock");
    Acquire(spinLock, true, "KeAcquireInStackQueuedSpinLock");
    lockHandle->LockQueue.Next = nullptr;
    lockHandle->LockQueue.Lock = spinLock;
    lockHandle->OldIrql = old;
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE lockHandle) {
    RequireDispatch("KeReleaseInStackQueuedSpinLock");
    Release(lockHandle->LockQueue.Lock, true, "KeReleaseInStackQueuedSpinLock");
    LowerAfterRelease(lockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE lockHandle) {
    RequireDispatch("KeAcquireInStackQueuedSpinLockAtDpcLevel");
    Acquire(spinLock, true, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
    lockHandle->LockQueue.Next = nullptr;
    lockHandle->LockQueue.Lock = spinLock;
    lockHandle->OldIrql = DISPATCH_LEVEL;
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE lockHandle) {
    RequireDispatch("KeReleaseInStackQueuedSpinLockFromDpcLevel");
    Release(lockHandle->LockQueue.Lock, true, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK spinLock) { return __atomic_load_n(spinLock, __ATOMIC_RELAXED) == 0; }

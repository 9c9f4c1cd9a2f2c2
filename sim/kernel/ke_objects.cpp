// The Ke* routines on events, semaphores and mutexes, and the waits.
#include "platform/kernel/dispatcher.h"

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/thread_record.h"
#include "sim/verifier.h"

#include <thread>

namespace {

using sim::DispatcherLock;

void CheckNotWaitedOn(DISPATCHER_HEADER* header, const char* what) {
    if (sim::HasWaiters(header))
        sim::VerifierStop("%s %p initialised again while threads wait on it", what, static_cast<void*>(header));
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG state) {
    header->Type = type;
    header->Signalling = 0;
    header->Size = size;
    header->DebugActive = 0;
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

DISPATCHER_HEADER* CheckedEvent(PRKEVENT event, const char* caller) {
    DISPATCHER_HEADER* header = &event->Header;
    if (!sim::IsDispatcherObject(header) ||
        (header->Type != EventNotificationObject && header->Type != EventSynchronizationObject))
        sim::VerifierStop("%s on %p, which is not an initialised event", caller, static_cast<void*>(event));
    return header;
}

void CheckSignalIrql(const char* caller) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::VerifierStop("%s at IRQL %u, above DISPATCH_LEVEL", caller, KeGetCurrentIrql());
}

}  // namespace

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard lock(DispatcherLock());
    CheckNotWaitedOn(&event->Header, "event");
    InitializeHeader(&event->Header, type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject,
                     sim::kEventSize, state ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    CheckSignalIrql("KeSetEvent");
    std::lock_guard lock(DispatcherLock());
    DISPATCHER_HEADER* header = CheckedEvent(event, "KeSetEvent");
    const LONG previous = header->SignalState;
    if (previous == 0) {
        header->SignalState = 1;
        sim::WakeWaiters(header);
    }
    return previous;
}

LONG KeResetEvent(PRKEVENT event) {
    CheckSignalIrql("KeResetEvent");
    std::lock_guard lock(DispatcherLock());
    DISPATCHER_HEADER* header = CheckedEvent(event, "KeResetEvent");
    const LONG previous = header->SignalState;
    header->SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT event) { (void)KeResetEvent(event); }

LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard lock(DispatcherLock());
    return CheckedEvent(event, "KeReadStateEvent")->SignalState;
}

LONG KePulseEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    CheckSignalIrql("KePulseEvent");
    std::lock_guard lock(DispatcherLock());
    DISPATCHER_HEADER* header = CheckedEvent(event, "KePulseEvent");
    const LONG previous = header->SignalState;
    if (previous == 0) {
        header->SignalState = 1;
        sim::WakeWaiters(header);
    }
    header->SignalState = 0;
    return previous;
}

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit) {
    if (limit <= 0 || count < 0 || count > limit)
        sim::VerifierStop("KeInitializeSemaphore with count %d and limit %d", static_cast<int>(count),
                          static_cast<int>(limit));
    std::lock_guard lock(DispatcherLock());
    CheckNotWaitedOn(&semaphore->Header, "semaphore");
    InitializeHeader(&semaphore->Header, SemaphoreObject, sim::kSemaphoreSize, count);
    semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    CheckSignalIrql("KeReleaseSemaphore");
    LONG previous = 0;
    if (!sim::ReleaseSemaphoreChecked(semaphore, adjustment, &previous))
        sim::VerifierStop("KeReleaseSemaphore on semaphore %p by %d passes its limit %d (STATUS_SEMAPHORE_LIMIT_EXCEEDED)",
                          static_cast<void*>(semaphore), static_cast<int>(adjustment),
                          static_cast<int>(semaphore->Limit));
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore) {
    std::lock_guard lock(DispatcherLock());
    return semaphore->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
    (void)level;
    sim::InitializeMutant(mutex, true, false);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
    (void)wait;
    CheckSignalIrql("KeReleaseMutex");
    LONG previous = 0;
    if (!sim::ReleaseMutant(mutex, &previous))
        sim::VerifierStop("KeReleaseMutex on mutex %p, which the calling thread does not own (STATUS_MUTANT_NOT_OWNED)",
                          static_cast<void*>(mutex));
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
    std::lock_guard lock(DispatcherLock());
    return mutex->Header.SignalState;
}

namespace {

NTSTATUS KernelWait(const char* caller, ULONG count, PVOID* objects, WAIT_TYPE waitType, KPROCESSOR_MODE waitMode,
                    BOOLEAN alertable, PLARGE_INTEGER timeout, PKWAIT_BLOCK waitBlockArray,
                    KWAIT_BLOCK* ownBlocks) {
    const KIRQL irql = KeGetCurrentIrql();
    const bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL) sim::VerifierStop("%s at IRQL %u", caller, irql);
    if (!poll && irql >= DISPATCH_LEVEL)
        sim::VerifierStop("%s at DISPATCH_LEVEL with %s time-out", caller, timeout == nullptr ? "an infinite" : "a non-zero");
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) sim::VerifierStop("%s on %u objects", caller, count);
    KWAIT_BLOCK* blocks = waitBlockArray != nullptr ? waitBlockArray : ownBlocks;
    if (waitBlockArray == nullptr && count > THREAD_WAIT_OBJECTS)
        sim::VerifierStop("%s on %u objects without a wait block array", caller, count);
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < count; ++i) {
        headers[i] = static_cast<DISPATCHER_HEADER*>(objects[i]);
        {
            std::lock_guard lock(DispatcherLock());
            if (!sim::IsDispatcherObject(headers[i]))
                sim::VerifierStop("%s on %p, which is not an initialised dispatcher object", caller, objects[i]);
        }
        if (headers[i]->Type == MutantObject && irql >= DISPATCH_LEVEL)
            sim::VerifierStop("%s acquires kernel mutex %p at DISPATCH_LEVEL", caller, objects[i]);
        if (waitType == WaitAll)
            for (ULONG j = 0; j < i; ++j)
                if (headers[j] == headers[i]) sim::VerifierStop("%s WaitAll names object %p twice", caller, objects[i]);
    }
    if (waitType != WaitAll && waitType != WaitAny) sim::VerifierStop("%s with wait type %d", caller, waitType);
    return sim::WaitForObjects(count, headers, waitType, alertable && waitMode == UserMode, poll,
                               sim::DeadlineFor(poll ? nullptr : timeout), blocks);
}

}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout) {
    (void)waitReason;
    return KernelWait("KeWaitForSingleObject", 1, &object, WaitAny, waitMode, alertable, timeout, nullptr,
                      sim::CurrentThreadRecord().ownBlocks);
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON waitReason,
                                  KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray) {
    (void)waitReason;
    return KernelWait("KeWaitForMultipleObjects", count, object, waitType, waitMode, alertable, timeout,
                      waitBlockArray, sim::CurrentThreadRecord().ownBlocks);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        sim::VerifierStop("KeDelayExecutionThread at IRQL %u", KeGetCurrentIrql());
    if (interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = sim::WaitForObjects(0, nullptr, WaitAny, alertable && waitMode == UserMode, false,
                                                sim::DeadlineFor(interval), nullptr);
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

#include "sim/kernel/dpc_queue.h"

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/machine.h"
#include "sim/user/process.h"
#include "sim/verifier.h"

namespace sim {

namespace {

void* RoutineAddress(PKDEFERRED_ROUTINE routine) { return reinterpret_cast<void*>(routine); }

DpcQueue& QueueOf(KDPC* dpc, const char* caller) {
    if (dpc->Type != DpcObject || dpc->DpcData == nullptr)
        VerifierStop("%s on %p, which is not an initialised DPC", caller, static_cast<void*>(dpc));
    return *static_cast<DpcQueue*>(dpc->DpcData);
}

}  // namespace

DpcQueue::DpcQueue(Machine& machine) : machine_(machine) {
    InitializeListHead(&queue_);
    thread_ = std::thread([this] { Run(); });
}

DpcQueue::~DpcQueue() { Stop(); }

bool DpcQueue::Insert(KDPC* dpc, PVOID argument1, PVOID argument2) {
    std::lock_guard lock(mutex_);
    if (dpc->DpcListEntry.Flink != nullptr) return false;
    if (stop_) VerifierStop("KeInsertQueueDpc on machine that is shutting down");
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    if (dpc->Importance == HighImportance)
        InsertHeadList(&queue_, &dpc->DpcListEntry);
    else
        InsertTailList(&queue_, &dpc->DpcListEntry);
    work_.notify_one();
    return true;
}

bool DpcQueue::Remove(KDPC* dpc) {
    std::lock_guard lock(mutex_);
    if (dpc->DpcListEntry.Flink == nullptr) return false;
    RemoveEntryList(&dpc->DpcListEntry);
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    if (IsListEmpty(&queue_) && !running_) idle_.notify_all();
    return true;
}

void DpcQueue::Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return IsListEmpty(&queue_) && !running_; });
}

bool DpcQueue::Idle() const {
    std::lock_guard lock(mutex_);
    return IsListEmpty(&queue_) && !running_;
}

std::uint64_t DpcQueue::Completed() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

void DpcQueue::Stop() {
    if (!thread_.joinable()) return;
    Drain();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void DpcQueue::Run() {
    MachineScope scope(machine_);
    EnterSystemProcess(machine_);
    ThreadContext& here = Here();
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stop_ || !IsListEmpty(&queue_); });
        if (IsListEmpty(&queue_)) return;  // stopping
        LIST_ENTRY* entry = RemoveHeadList(&queue_);
        KDPC* dpc = OVU_CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        running_ = true;
        lock.unlock();

        here.irql = DISPATCH_LEVEL;
        routine(dpc, context, argument1, argument2);
        if (here.irql != DISPATCH_LEVEL)
            VerifierStop("DPC routine %p returned at IRQL %u", RoutineAddress(routine), here.irql);
        if (here.heldCount > 0)
            VerifierStop("DPC routine %p returned holding spin lock %p", RoutineAddress(routine),
                         static_cast<void*>(here.held[here.heldCount - 1].lock));
        here.irql = PASSIVE_LEVEL;

        lock.lock();
        running_ = false;
        ++completed_;
        if (IsListEmpty(&queue_)) idle_.notify_all();
    }
}

}  // namespace sim

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext) {
    dpc->Type = DpcObject;
    dpc->Importance = MediumImportance;
    dpc->Number = 0;
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    dpc->DeferredRoutine = deferredRoutine;
    dpc->DeferredContext = deferredContext;
    dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
    dpc->DpcData = &sim::CurrentMachine().kernel().dpcs();
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2) {
    return sim::QueueOf(dpc, "KeInsertQueueDpc").Insert(dpc, systemArgument1, systemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) { return sim::QueueOf(dpc, "KeRemoveQueueDpc").Remove(dpc) ? TRUE : FALSE; }

void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance) { dpc->Importance = static_cast<UCHAR>(importance); }

namespace {

void SignalFlush(KDPC*, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE); }

}  // namespace

void KeFlushQueuedDpcs() {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) sim::VerifierStop("KeFlushQueuedDpcs at IRQL %u", KeGetCurrentIrql());
    // A marker behind everything queued now: FIFO order means it runs last.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KDPC marker;
    KeInitializeDpc(&marker, SignalFlush, &done);
    KeInsertQueueDpc(&marker, nullptr, nullptr);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

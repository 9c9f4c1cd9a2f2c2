#include "sim/kernel/work_queue.h"

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/machine.h"
#include "sim/user/process.h"
#include "sim/verifier.h"

namespace sim {

WorkQueue::WorkQueue(Machine& machine) : machine_(machine) { thread_ = std::thread([this] { Run(); }); }

WorkQueue::~WorkQueue() { Stop(); }

void WorkQueue::Queue(WORK_QUEUE_ITEM* item) {
    std::lock_guard lock(mutex_);
    if (item->List.Flink != nullptr) VerifierStop("ExQueueWorkItem on work item %p, which is queued already", static_cast<void*>(item));
    if (stop_) VerifierStop("work item queued on a machine that is shutting down");
    item->List.Flink = &item->List;  // marks it queued until it is taken
    queue_.push_back({item, {}});
    work_.notify_one();
}

void WorkQueue::Queue(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (stop_) VerifierStop("work queued on a machine that is shutting down");
    queue_.push_back({nullptr, std::move(work)});
    work_.notify_one();
}

void WorkQueue::Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !running_; });
}

bool WorkQueue::Idle() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !running_;
}

void WorkQueue::Stop() {
    if (!thread_.joinable()) return;
    Drain();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void WorkQueue::Run() {
    MachineScope scope(machine_);
    EnterSystemProcess(machine_);
    ThreadContext& here = Here();
    ThreadRecord& self = CurrentThreadRecord();
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping
        Entry entry = std::move(queue_.front());
        queue_.pop_front();
        PWORKER_THREAD_ROUTINE routine = nullptr;
        PVOID parameter = nullptr;
        if (entry.item != nullptr) {
            // Taken off the queue first: the routine may queue or free the item.
            entry.item->List.Flink = nullptr;
            routine = entry.item->WorkerRoutine;
            parameter = entry.item->Parameter;
        }
        running_ = true;
        lock.unlock();

        if (routine != nullptr)
            routine(parameter);
        else
            entry.work();
        entry.work = nullptr;
        void* what = routine != nullptr ? reinterpret_cast<void*>(routine) : nullptr;
        if (here.irql != PASSIVE_LEVEL) VerifierStop("work item routine %p returned at IRQL %u", what, here.irql);
        if (here.heldCount > 0)
            VerifierStop("work item routine %p returned holding spin lock %p", what,
                         static_cast<void*>(here.held[here.heldCount - 1].lock));
        {
            std::lock_guard dispatcher(DispatcherLock());
            if (self.kernelMutexes > 0)
                VerifierStop("work item routine %p returned holding %u kernel mutex(es)", what, self.kernelMutexes);
        }

        lock.lock();
        running_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
}

}  // namespace sim

void ExQueueWorkItem(PWORK_QUEUE_ITEM workItem, WORK_QUEUE_TYPE queueType) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) sim::VerifierStop("ExQueueWorkItem at IRQL %u", KeGetCurrentIrql());
    sim::CurrentMachine().kernel().work(queueType).Queue(workItem);
}

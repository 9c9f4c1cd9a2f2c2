#include "sim/kernel/kernel.h"

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/dpc_queue.h"
#include "sim/kernel/thread_record.h"
#include "sim/kernel/work_queue.h"
#include "sim/machine.h"
#include "sim/verifier.h"

namespace sim {

Kernel::Kernel(Machine& machine)
    : machine_(machine),
      dpcs_(std::make_unique<DpcQueue>(machine)),
      critical_(std::make_unique<WorkQueue>(machine)),
      delayed_(std::make_unique<WorkQueue>(machine)) {}

Kernel::~Kernel() { Shutdown(); }

void Kernel::DrainDpcs() { dpcs_->Drain(); }

void Kernel::DrainWork() {
    critical_->Drain();
    delayed_->Drain();
}

void Kernel::RunUntilQuiet() {
    for (;;) {
        DrainDpcs();
        DrainWork();
        if (dpcs_->Idle() && critical_->Idle() && delayed_->Idle()) return;
    }
}

std::uint64_t Kernel::DpcsRun() const { return dpcs_->Completed(); }

WorkQueue& Kernel::work(WORK_QUEUE_TYPE queue) {
    // Critical and hyper-critical items get their own worker, so a delayed
    // item that blocks cannot hold them up.
    switch (queue) {
    case CriticalWorkQueue:
    case HyperCriticalWorkQueue:
    case RealTimeWorkQueue:
    case SuperCriticalWorkQueue: return *critical_;
    default: return *delayed_;
    }
}

void Kernel::QueueWork(std::function<void()> work, WORK_QUEUE_TYPE queue) { this->work(queue).Queue(std::move(work)); }

void Kernel::AddSystemThread(std::shared_ptr<ThreadRecord> thread) {
    std::lock_guard lock(threadsMutex_);
    systemThreads_.push_back(std::move(thread));
}

std::size_t Kernel::RunningSystemThreads() const {
    std::lock_guard lock(threadsMutex_);
    std::lock_guard dispatcher(DispatcherLock());
    std::size_t running = 0;
    for (const auto& thread : systemThreads_) running += thread->running ? 1 : 0;
    return running;
}

void Kernel::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    MachineScope scope(machine_);
    RunUntilQuiet();
    std::vector<std::shared_ptr<ThreadRecord>> threads;
    {
        std::lock_guard lock(threadsMutex_);
        threads.swap(systemThreads_);
    }
    {
        std::lock_guard dispatcher(DispatcherLock());
        for (const auto& thread : threads)
            if (thread->running)
                VerifierStop("system thread still running at teardown (start routine %p)",
                             reinterpret_cast<void*>(thread->startRoutine));
    }
    for (const auto& thread : threads)
        if (thread->host.joinable()) thread->host.join();
    dpcs_->Stop();
    critical_->Stop();
    delayed_->Stop();
    tracing_.Shutdown();
    pool_.CheckNoLeaks("at machine teardown");
}

}  // namespace sim

// The simulated kernel executive of one machine: its pool, DPC queue and
// thread, worker threads, system threads, tracing, debugger output and
// named objects, and the simulator's API to inspect and steer them.
//
// Shutdown (run by the machine's destructor before anything else goes)
// drains DPCs and work items, stops with a verifier message when a system
// thread still runs, joins the kernel's threads, and then checks that the
// pool is empty.
#pragma once

#include "platform/kernel/workitem.h"
#include "sim/kernel/debug_output.h"
#include "sim/kernel/named_objects.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/tracing.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class DpcQueue;
class Machine;
class ThreadRecord;
class WorkQueue;

class Kernel {
public:
    explicit Kernel(Machine& machine);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    Pool& pool() { return pool_; }
    Tracing& tracing() { return tracing_; }
    DebugOutput& debugger() { return debugger_; }
    NamedObjects& namedObjects() { return namedObjects_; }

    // Waits until no DPC is queued or running.
    void DrainDpcs();
    // Waits until no work item is queued or running.
    void DrainWork();
    // Waits until DPCs and work items are quiet together (each may queue the
    // other).
    void RunUntilQuiet();
    // DPCs run so far on this machine.
    std::uint64_t DpcsRun() const;

    // Runs `work` at PASSIVE_LEVEL on a worker thread of the machine.
    void QueueWork(std::function<void()> work, WORK_QUEUE_TYPE queue = DelayedWorkQueue);

    // System threads whose start routine has not returned.
    std::size_t RunningSystemThreads() const;

    std::chrono::steady_clock::time_point BootTime() const { return boot_; }

    // See the file comment. Idempotent.
    void Shutdown();

    // For the kernel's own routines.
    DpcQueue& dpcs() { return *dpcs_; }
    WorkQueue& work(WORK_QUEUE_TYPE queue);
    void AddSystemThread(std::shared_ptr<ThreadRecord> thread);

private:
    Machine& machine_;
    const std::chrono::steady_clock::time_point boot_ = std::chrono::steady_clock::now();  // clock not yet skipped
    Pool pool_;
    Tracing tracing_;
    DebugOutput debugger_;
    NamedObjects namedObjects_;
    std::unique_ptr<DpcQueue> dpcs_;
    std::unique_ptr<WorkQueue> critical_;
    std::unique_ptr<WorkQueue> delayed_;
    mutable std::mutex threadsMutex_;
    std::vector<std::shared_ptr<ThreadRecord>> systemThreads_;
    bool shutDown_ = false;
};

}  // namespace sim

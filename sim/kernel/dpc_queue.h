// A machine's DPC queue and the thread that runs it at DISPATCH_LEVEL.
#pragma once

#include "platform/kernel/dpc.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sim {

class Machine;

class DpcQueue {
public:
    explicit DpcQueue(Machine& machine);
    ~DpcQueue();
    DpcQueue(const DpcQueue&) = delete;
    DpcQueue& operator=(const DpcQueue&) = delete;

    // False when `dpc` is queued already. High-importance DPCs go first.
    bool Insert(KDPC* dpc, PVOID argument1, PVOID argument2);
    bool Remove(KDPC* dpc);

    // Returns once the queue is empty and no DPC runs (DPCs may queue more;
    // they run too).
    void Drain();
    bool Idle() const;
    // DPCs run so far.
    std::uint64_t Completed() const;

    // Drains, then ends the thread.
    void Stop();

private:
    void Run();

    Machine& machine_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    LIST_ENTRY queue_;
    bool running_ = false;
    bool stop_ = false;
    std::uint64_t completed_ = 0;
    std::thread thread_;
};

}  // namespace sim

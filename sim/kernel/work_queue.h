// A machine's executive work queue and its worker thread (PASSIVE_LEVEL).
#pragma once

#include "platform/kernel/workitem.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class Machine;

class WorkQueue {
public:
    explicit WorkQueue(Machine& machine);
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void Queue(WORK_QUEUE_ITEM* item);
    void Queue(std::function<void()> work);

    void Drain();
    bool Idle() const;
    void Stop();

private:
    struct Entry {
        WORK_QUEUE_ITEM* item;
        std::function<void()> work;
    };
    void Run();

    Machine& machine_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    std::deque<Entry> queue_;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sim

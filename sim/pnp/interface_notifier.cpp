#include "sim/pnp/interface_notifier.h"

#include "sim/machine.h"

namespace sim {

InterfaceNotifier::InterfaceNotifier(Machine& machine) : machine_(machine) {}

InterfaceNotifier::~InterfaceNotifier() { Shutdown(); }

int InterfaceNotifier::Add(Listener listener) {
    std::lock_guard lock(mutex_);
    const int id = nextId_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void InterfaceNotifier::Remove(int id) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return delivering_ != id; });
    listeners_.erase(id);
}

void InterfaceNotifier::Post(InterfaceEvent event) {
    std::lock_guard lock(mutex_);
    if (stop_) return;
    queue_.push_back(std::move(event));
    if (!thread_.joinable()) thread_ = std::thread([this] { Body(); });
    wake_.notify_one();
}

void InterfaceNotifier::WaitDelivered() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return stop_ || (queue_.empty() && !busy_); });
}

void InterfaceNotifier::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    idle_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void InterfaceNotifier::Body() {
    MachineScope scope(machine_);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) break;
        const InterfaceEvent event = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        // Listeners are called without the lock, so that they may add or
        // remove others; the ids are taken first so that a removed one is
        // skipped.
        std::vector<int> ids;
        for (auto& [id, listener] : listeners_) ids.push_back(id);
        for (int id : ids) {
            auto it = listeners_.find(id);
            if (it == listeners_.end()) continue;
            const Listener listener = it->second;
            delivering_ = id;
            lock.unlock();
            listener(event);
            lock.lock();
            delivering_ = 0;
            idle_.notify_all();
        }
        busy_ = false;
        idle_.notify_all();
    }
    busy_ = false;
    idle_.notify_all();
}

}  // namespace sim

#include "sim/faults.h"

namespace sim {

void Faults::FailNth(const std::string& function, unsigned n, NTSTATUS status) {
    if (n == 0) return;
    std::lock_guard lock(mutex_);
    armed_.emplace(function, Armed{n, status});
}

void Faults::Clear() {
    std::lock_guard lock(mutex_);
    armed_.clear();
}

NTSTATUS Faults::OnCall(const char* function) {
    std::lock_guard lock(mutex_);
    ++calls_[function];
    NTSTATUS result = STATUS_SUCCESS;
    auto [first, last] = armed_.equal_range(function);
    for (auto it = first; it != last;) {
        if (--it->second.remaining == 0) {
            result = it->second.status;
            it = armed_.erase(it);
        } else {
            ++it;
        }
    }
    return result;
}

unsigned Faults::Calls(const std::string& function) const {
    std::lock_guard lock(mutex_);
    auto it = calls_.find(function);
    return it == calls_.end() ? 0 : it->second;
}

}  // namespace sim

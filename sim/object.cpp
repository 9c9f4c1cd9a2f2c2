#include "sim/object.h"

namespace sim {

HANDLE HandleTable::Insert(std::shared_ptr<Object> object) {
    std::lock_guard lock(mutex_);
    next_ += 4;
    objects_.emplace(next_, std::move(object));
    return reinterpret_cast<HANDLE>(next_);
}

std::shared_ptr<Object> HandleTable::Lookup(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
}

bool HandleTable::Close(HANDLE handle) {
    std::shared_ptr<Object> released;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end()) return false;
    released = std::move(it->second);
    objects_.erase(it);
    return true;
}

std::size_t HandleTable::OpenCount() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

}  // namespace sim

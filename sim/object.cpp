#include "sim/object.h"

#include <algorithm>

namespace sim {

namespace {
constexpr std::uintptr_t kKernelHandleBits = 0xFFFFFFFF80000000u;
}

HANDLE HandleTable::Insert(std::shared_ptr<Object> object, ACCESS_MASK access) {
    const std::uintptr_t next = values_->fetch_add(4) + 4;
    const std::uintptr_t value = kernel_ ? (next | kKernelHandleBits) : next;
    std::lock_guard lock(mutex_);
    objects_.emplace(value, Entry{std::move(object), access});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> HandleTable::Lookup(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second.object;
}

ACCESS_MASK HandleTable::Access(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? 0 : it->second.access;
}

bool HandleTable::Close(HANDLE handle) {
    std::shared_ptr<Object> released;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end()) return false;
    released = std::move(it->second.object);
    objects_.erase(it);
    return true;
}

std::size_t HandleTable::OpenCount() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> HandleTable::TakeAll() {
    std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [value, entry] : objects_) all.emplace_back(reinterpret_cast<HANDLE>(value), std::move(entry.object));
        objects_.clear();
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return all;
}

}  // namespace sim

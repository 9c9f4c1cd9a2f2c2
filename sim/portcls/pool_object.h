// C++ objects in executive pool: what PortCls creates for a driver is
// accounted under its own tags, like everything else in the kernel.
#pragma once

#include "platform/kernel/pool.h"

#include <new>
#include <utility>

namespace sim::portcls {

// Zeroed non-paged memory, constructed in place; null when the pool fails.
template <class T, class... Args>
T* PoolNew(ULONG tag, Args&&... args) {
    void* memory = ExAllocatePoolZero(NonPagedPoolNx, sizeof(T), tag);
    if (memory == nullptr) return nullptr;
    return new (memory) T(std::forward<Args>(args)...);
}

template <class T>
void PoolDelete(T* object, ULONG tag) {
    object->~T();
    ExFreePoolWithTag(object, tag);
}

}  // namespace sim::portcls

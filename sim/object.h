// The machine's object manager: named and unnamed kernel objects reached
// through handles. Kernel handles (ZwClose) and user-mode handles
// (CloseHandle) live in one table per machine; a handle keeps its object
// alive until it is closed.
#pragma once

#include "platform/base/types.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace sim {

class Object {
public:
    virtual ~Object() = default;
    // For diagnostics ("Event", "Key", "Thread", ...).
    virtual const char* TypeName() const = 0;
};

class HandleTable {
public:
    HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // A new handle to `object`. Handles are multiples of 4, never null.
    HANDLE Insert(std::shared_ptr<Object> object);

    // The object behind `handle`, or null when it is not open.
    std::shared_ptr<Object> Lookup(HANDLE handle) const;

    template <class T>
    std::shared_ptr<T> LookupAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }

    // Closes `handle`; false when it was not open.
    bool Close(HANDLE handle);

    std::size_t OpenCount() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects_;
    std::uintptr_t next_ = 0x100;
};

}  // namespace sim

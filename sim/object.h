// The machine's object manager: objects reached through handles.
//
// Each process has its own handle table; a handle value means nothing in
// another process. Kernel handles (ZwOpenKey, PsCreateSystemThread from a
// driver) live in the System process's table and carry the high bit, as on
// Windows, so kernel code reaches them from any thread. A handle keeps its
// object alive until it is closed.
#pragma once

#include "platform/base/types.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

class Object {
public:
    virtual ~Object() = default;
    // For diagnostics ("Event", "Key", "Thread", ...).
    virtual const char* TypeName() const = 0;
    // What an exit report says about a leaked handle of this object.
    virtual std::string Describe() const { return TypeName(); }
};

// True for a kernel handle (the high bit set).
inline bool IsKernelHandle(HANDLE handle) { return (reinterpret_cast<std::uintptr_t>(handle) >> 63) != 0; }

class HandleTable {
public:
    // `kernel`: the System process's table, whose handles carry the high bit.
    // `values`, when given, is shared by the machine's tables, so that no two
    // open handles of one machine have the same value and a handle used in
    // the wrong process can be named.
    explicit HandleTable(bool kernel = false, std::atomic<std::uintptr_t>* values = nullptr)
        : kernel_(kernel), values_(values != nullptr ? values : &ownValues_) {}
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    static constexpr ACCESS_MASK kAllAccess = 0xFFFFFFFF;

    // A new handle to `object` granting `access`. Handles are multiples of
    // 4, never null.
    HANDLE Insert(std::shared_ptr<Object> object, ACCESS_MASK access = kAllAccess);

    // The rights `handle` was opened with (0 when it is not open).
    ACCESS_MASK Access(HANDLE handle) const;

    // The object behind `handle`, or null when it is not open here.
    std::shared_ptr<Object> Lookup(HANDLE handle) const;

    template <class T>
    std::shared_ptr<T> LookupAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }

    // Closes `handle`; false when it was not open.
    bool Close(HANDLE handle);

    std::size_t OpenCount() const;

    // Empties the table (process exit); returns the objects the handles
    // referred to, in handle order, for the caller to release.
    std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> TakeAll();

private:
    const bool kernel_;
    std::atomic<std::uintptr_t> ownValues_{0x100};
    std::atomic<std::uintptr_t>* values_;
    mutable std::mutex mutex_;
    struct Entry {
        std::shared_ptr<Object> object;
        ACCESS_MASK access;
    };
    std::unordered_map<std::uintptr_t, Entry> objects_;
};

}  // namespace sim

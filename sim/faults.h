// Fault injection for user-mode calls: the Nth call of a Win32 function
// (counted from when the fault is armed) fails as Windows fails it when
// the system runs out of a resource, so the deliverables' "creation
// failed" branches run. Pool-tag failures do the same for the kernel
// (Pool::FailNth).
#pragma once

#include "platform/base/ntstatus.h"

#include <map>
#include <mutex>
#include <string>

namespace sim {

class Faults {
public:
    // The `n`th call of `function` from now on (1: the next) fails with
    // `status`, which the call reports the way Windows reports it
    // (mapped to a Win32 error, an LSTATUS or an HRESULT).
    void FailNth(const std::string& function, unsigned n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void Clear();

    // Counts a call of `function`; the status it must fail with, or
    // STATUS_SUCCESS.
    NTSTATUS OnCall(const char* function);
    // Calls of `function` counted so far.
    unsigned Calls(const std::string& function) const;

private:
    struct Armed {
        unsigned remaining;
        NTSTATUS status;
    };
    mutable std::mutex mutex_;
    std::multimap<std::string, Armed> armed_;
    std::map<std::string, unsigned> calls_;
};

}  // namespace sim

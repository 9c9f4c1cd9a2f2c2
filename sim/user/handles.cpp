#include "sim/user/handles.h"

#include "platform/win32/synch.h"
#include "sim/machine.h"
#include "sim/user/process_manager.h"
#include "sim/verifier.h"

namespace sim {

HANDLE InsertKernelModeHandle(std::shared_ptr<Object> object, const OBJECT_ATTRIBUTES* attributes) {
    Machine& machine = CurrentMachine();
    const bool kernel = attributes != nullptr && (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    Process& owner = kernel ? machine.processes().System() : CurrentProcess();
    return owner.handles().Insert(std::move(object));
}

std::shared_ptr<Object> LookupKernelModeHandle(HANDLE handle) {
    if (IsKernelHandle(handle)) return CurrentMachine().processes().System().handles().Lookup(handle);
    return CurrentProcess().handles().Lookup(handle);
}

bool CloseKernelModeHandle(HANDLE handle) {
    if (IsKernelHandle(handle)) return CurrentMachine().processes().System().handles().Close(handle);
    return CurrentProcess().handles().Close(handle);
}

HANDLE InsertUserHandle(std::shared_ptr<Object> object, ACCESS_MASK access) {
    return CurrentProcess().handles().Insert(std::move(object), access);
}

bool UserHandleGrants(HANDLE handle, ACCESS_MASK access) {
    if ((CurrentProcess().handles().Access(handle) & access) == access) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

namespace {

// The application verifier's answer to a handle the process does not have.
void CheckMisuse(const Process& caller, HANDLE handle) {
    if (!caller.Verified()) return;
    for (const auto& other : caller.machine().processes().All()) {
        if (other.get() == &caller || other->IsSystem()) continue;
        if (other->handles().Lookup(handle))
            VerifierStop("application verifier: process %u used handle %p, which belongs to process %u",
                         static_cast<unsigned>(caller.Id()), handle, static_cast<unsigned>(other->Id()));
    }
    VerifierStop("application verifier: process %u used handle %p, which is not open", static_cast<unsigned>(caller.Id()),
                 handle);
}

}  // namespace

std::shared_ptr<Object> LookupUserHandle(HANDLE handle) {
    Process& caller = CurrentProcess();
    std::shared_ptr<Object> object = IsKernelHandle(handle) ? nullptr : caller.handles().Lookup(handle);
    if (!object) {
        CheckMisuse(caller, handle);
        SetInvalidHandleError();
    }
    return object;
}

bool CloseUserHandle(HANDLE handle) {
    Process& caller = CurrentProcess();
    if (!IsKernelHandle(handle) && caller.handles().Close(handle)) return true;
    CheckMisuse(caller, handle);
    SetInvalidHandleError();
    return false;
}

void SetInvalidHandleError() { SetLastError(ERROR_INVALID_HANDLE); }

}  // namespace sim

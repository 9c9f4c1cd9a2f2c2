// Handle resolution for kernel-mode and user-mode callers.
//
// Kernel mode (Zw*, Ps*, Ob*): a handle with the high bit is a kernel
// handle of the System process's table; any other value is a handle of the
// current process, as a driver running in a program's thread sees that
// program's handles. OBJ_KERNEL_HANDLE makes a new handle a kernel handle.
//
// User mode (Win32): the calling process's table only. A handle that is not
// open there fails with ERROR_INVALID_HANDLE; in a process under the
// application verifier it stops the test, naming the process that owns the
// value when it is another's.
#pragma once

#include "platform/registry/object_attributes.h"
#include "sim/object.h"

#include <memory>

namespace sim {

HANDLE InsertKernelModeHandle(std::shared_ptr<Object> object, const OBJECT_ATTRIBUTES* attributes);
std::shared_ptr<Object> LookupKernelModeHandle(HANDLE handle);
bool CloseKernelModeHandle(HANDLE handle);

HANDLE InsertUserHandle(std::shared_ptr<Object> object, ACCESS_MASK access = HandleTable::kAllAccess);
// Null with ERROR_INVALID_HANDLE as the last error (see the file comment).
std::shared_ptr<Object> LookupUserHandle(HANDLE handle);
// As LookupUserHandle; an object of another type is ERROR_INVALID_HANDLE
// too, but no misuse the verifier stops on; a handle without all of
// `access` fails with ERROR_ACCESS_DENIED.
template <class T>
std::shared_ptr<T> LookupUserHandleAs(HANDLE handle, ACCESS_MASK access = 0);
bool UserHandleGrants(HANDLE handle, ACCESS_MASK access);  // else ERROR_ACCESS_DENIED
bool CloseUserHandle(HANDLE handle);

// Sets the last error to ERROR_INVALID_HANDLE (here to keep the header free
// of the Win32 declarations).
void SetInvalidHandleError();

template <class T>
std::shared_ptr<T> LookupUserHandleAs(HANDLE handle, ACCESS_MASK access) {
    std::shared_ptr<Object> object = LookupUserHandle(handle);
    if (!object) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) {
        SetInvalidHandleError();
        return nullptr;
    }
    if (access != 0 && !UserHandleGrants(handle, access)) return nullptr;
    return typed;
}

}  // namespace sim

// The object manager as the kernel sees it: access masks, references by
// handle and by pointer, and closing kernel handles.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/base/unicode.h"
#include "platform/kernel/irql.h"
#include "platform/registry/object_attributes.h"

inline constexpr ACCESS_MASK DELETE = 0x00010000;
inline constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
inline constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
inline constexpr ACCESS_MASK WRITE_OWNER = 0x00080000;
inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_REQUIRED = 0x000F0000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_READ = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_WRITE = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x001F0000;
inline constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
inline constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
inline constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
inline constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
inline constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;

inline constexpr ACCESS_MASK THREAD_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF;
inline constexpr ACCESS_MASK EVENT_QUERY_STATE = 0x0001;
inline constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
inline constexpr ACCESS_MASK EVENT_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;
inline constexpr ACCESS_MASK MUTANT_QUERY_STATE = 0x0001;
inline constexpr ACCESS_MASK MUTANT_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | MUTANT_QUERY_STATE;
inline constexpr ACCESS_MASK SEMAPHORE_QUERY_STATE = 0x0001;
inline constexpr ACCESS_MASK SEMAPHORE_MODIFY_STATE = 0x0002;
inline constexpr ACCESS_MASK SEMAPHORE_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3;

// Object types, compared by pointer (*PsThreadType, ...).
struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern "C" POBJECT_TYPE* PsThreadType;
extern "C" POBJECT_TYPE* ExEventObjectType;
extern "C" POBJECT_TYPE* ExSemaphoreObjectType;

struct OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
};
static_assert(sizeof(OBJECT_HANDLE_INFORMATION) == 8);
using POBJECT_HANDLE_INFORMATION = OBJECT_HANDLE_INFORMATION*;

// The pseudo-handles of the calling process and thread.
inline HANDLE NtCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE NtCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
inline HANDLE ZwCurrentProcess() { return NtCurrentProcess(); }
inline HANDLE ZwCurrentThread() { return NtCurrentThread(); }

// A referenced pointer to the object behind `handle`; the caller releases it
// with ObDereferenceObject. `objectType` may be null (any type).
// STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH.
extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation);
// Return the new pointer count.
extern "C" LONG_PTR ObfReferenceObject(PVOID object);
extern "C" LONG_PTR ObfDereferenceObject(PVOID object);
inline LONG_PTR ObReferenceObject(PVOID object) { return ObfReferenceObject(object); }
inline LONG_PTR ObDereferenceObject(PVOID object) { return ObfDereferenceObject(object); }

// Closes a kernel handle of any object type. Closing a handle that is not
// open is a verifier stop, as the bug check it is on Windows.
extern "C" NTSTATUS ZwClose(HANDLE handle);

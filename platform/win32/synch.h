// User-mode synchronisation (synchapi.h): events, mutexes and semaphores
// reached through handles, waits with millisecond time-outs, the per-thread
// last error, and the tick count.
//
// Named objects are machine-wide and share one namespace per session:
// "Global\name" is the global namespace, "Local\name" and a bare name the
// session's (in session 0 both are the global one). Names compare exactly.
#pragma once

#include "platform/win32/synch_layout.h"

#include "platform/base/types.h"
#include "platform/kernel/object.h"
#include "platform/win32/errors.h"

using LPCWSTR = PCWSTR;
using LPLONG = LONG*;
using LPVOID = void*;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == 16);
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
inline constexpr DWORD WAIT_IO_COMPLETION = 0x000000C0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline constexpr DWORD MUTEX_ALL_ACCESS = MUTANT_ALL_ACCESS;
inline constexpr DWORD MUTEX_MODIFY_STATE = MUTANT_QUERY_STATE;

// Null on failure (GetLastError). When a named object existed already the
// handle refers to it and the last error is ERROR_ALREADY_EXISTS (the
// initial state, owner or count arguments are then ignored); a name used by
// another type of object fails with ERROR_INVALID_HANDLE.
extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name);
extern "C" HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES semaphoreAttributes, LONG initialCount, LONG maximumCount,
                        LPCWSTR name);

// Null with ERROR_FILE_NOT_FOUND when no object has the name.
extern "C" HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
extern "C" HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
extern "C" HANDLE OpenSemaphoreW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);

extern "C" BOOL SetEvent(HANDLE event);
extern "C" BOOL ResetEvent(HANDLE event);
extern "C" BOOL PulseEvent(HANDLE event);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
extern "C" BOOL ReleaseMutex(HANDLE mutex);
// FALSE with ERROR_TOO_MANY_POSTS when the count would pass the maximum.
extern "C" BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

// Waitable: events, mutexes, semaphores, threads and any other object whose
// handle the machine marks waitable. WAIT_OBJECT_0 (+ index),
// WAIT_ABANDONED (+ index) for a mutex whose owner ended, WAIT_TIMEOUT,
// WAIT_IO_COMPLETION for an alertable wait that ran queued user APCs, or
// WAIT_FAILED (GetLastError).
extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
extern "C" DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
extern "C" DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                               BOOL alertable);

// Closes a handle of any type; FALSE with ERROR_INVALID_HANDLE when it is
// not open.
extern "C" BOOL CloseHandle(HANDLE object);

extern "C" DWORD GetLastError();
extern "C" void SetLastError(DWORD errorCode);

extern "C" void Sleep(DWORD milliseconds);
// WAIT_IO_COMPLETION when an alertable sleep ran user APCs, else 0.
extern "C" DWORD SleepEx(DWORD milliseconds, BOOL alertable);

// Milliseconds since the machine started.
extern "C" DWORD GetTickCount();
extern "C" ULONGLONG GetTickCount64();
// 10 MHz, as KeQueryPerformanceCounter.
extern "C" BOOL QueryPerformanceCounter(LARGE_INTEGER* performanceCount);
extern "C" BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

extern "C" DWORD GetCurrentThreadId();

// Critical sections (the ASIO driver's callbacksLock and rateLock). The
// record lives in the caller's memory; its fields belong to the system.
struct RTL_CRITICAL_SECTION_DEBUG;
struct CRITICAL_SECTION {
    RTL_CRITICAL_SECTION_DEBUG* DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION criticalSection);
// Recursive for the owning thread.
extern "C" void EnterCriticalSection(LPCRITICAL_SECTION criticalSection);
// Leaving a critical section the calling thread does not own is a
// verifier stop.
extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION criticalSection);
extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION criticalSection);

// The Win64 layout (synch_check.cpp proves the numbers against <windows.h>).
static_assert(sizeof(SECURITY_ATTRIBUTES) == OVU_SECURITY_ATTRIBUTES_SIZE);
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == OVU_SECURITY_ATTRIBUTES_INHERIT);
static_assert(sizeof(CRITICAL_SECTION) == OVU_CRITICAL_SECTION_SIZE);
static_assert(offsetof(CRITICAL_SECTION, LockCount) == OVU_CRITICAL_SECTION_LOCK_COUNT);
static_assert(offsetof(CRITICAL_SECTION, RecursionCount) == OVU_CRITICAL_SECTION_RECURSION_COUNT);
static_assert(offsetof(CRITICAL_SECTION, OwningThread) == OVU_CRITICAL_SECTION_OWNING_THREAD);
static_assert(offsetof(CRITICAL_SECTION, SpinCount) == OVU_CRITICAL_SECTION_SPIN_COUNT);
static_assert(INFINITE == OVU_INFINITE && WAIT_ABANDONED_0 == OVU_WAIT_ABANDONED_0 &&
              WAIT_IO_COMPLETION == OVU_WAIT_IO_COMPLETION && WAIT_TIMEOUT == OVU_WAIT_TIMEOUT &&
              WAIT_FAILED == OVU_WAIT_FAILED);
static_assert(EVENT_MODIFY_STATE == OVU_EVENT_MODIFY_STATE && EVENT_ALL_ACCESS == OVU_EVENT_ALL_ACCESS &&
              SYNCHRONIZE == OVU_SYNCHRONIZE && MUTEX_ALL_ACCESS == OVU_MUTEX_ALL_ACCESS);

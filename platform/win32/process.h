// Threads and processes (processthreadsapi.h), as the user-mode
// deliverables use them:
// - the ASIO driver: CreateThread (the streaming thread is created
//   suspended and resumed once the devices started; the tick watcher, the
//   settings watcher and the notification window thread), ResumeThread,
//   GetExitCodeThread, TerminateThread (teardown, on a watcher that has
//   no exit event), GetCurrentThread;
// - the service: CreateThread (its worker thread), ExitProcess is not
//   called: a service process ends when its main function returns.
#pragma once

#include "platform/win32/process_layout.h"

#include "platform/base/types.h"
#include "platform/win32/synch.h"

using LPDWORD = DWORD*;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;
inline constexpr DWORD STILL_ACTIVE = 259;

// Null on failure (GetLastError). The thread's handle is waitable and
// signalled when the thread has ended.
extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
// The suspend count before the call; (DWORD)-1 on failure.
extern "C" DWORD ResumeThread(HANDLE thread);
// STILL_ACTIVE while the thread runs.
extern "C" BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
extern "C" BOOL TerminateThread(HANDLE thread, DWORD exitCode);
extern "C" [[noreturn]] void ExitProcess(UINT exitCode);
extern "C" HANDLE GetCurrentThread();
extern "C" DWORD GetCurrentProcessId();

// The constants (process_check.cpp proves the numbers against <windows.h>).
static_assert(CREATE_SUSPENDED == OVU_CREATE_SUSPENDED);
static_assert(STACK_SIZE_PARAM_IS_A_RESERVATION == OVU_STACK_SIZE_PARAM_IS_A_RESERVATION);
static_assert(STILL_ACTIVE == OVU_STILL_ACTIVE);

// Files and devices (fileapi.h, ioapiset.h): a device interface opened for
// overlapped I/O, device-control requests, reads and writes, as the
// user-mode deliverables use them on the driver's "\asio" handle:
// - the ASIO driver: CreateFileW (FILE_FLAG_OVERLAPPED), DeviceIoControl,
//   ReadFile, WriteFileEx, GetOverlappedResult, CloseHandle;
// - the control panel and the service: CreateFileW, DeviceIoControl,
//   GetOverlappedResult, CloseHandle.
//
// The return rules are Windows': on a handle opened with
// FILE_FLAG_OVERLAPPED a request the driver keeps pending returns FALSE
// with ERROR_IO_PENDING, and its OVERLAPPED record (Internal: the status,
// InternalHigh: the byte count) and event tell when it is done; a request
// that fails at once returns FALSE with its error and neither signals the
// event nor queues a completion routine; one that succeeds at once returns
// TRUE, signals the event and queues the completion routine, which runs in
// an alertable wait of the calling thread.
#pragma once

#include "platform/win32/file_io_layout.h"

#include "platform/base/types.h"
#include "platform/win32/synch.h"

using LPDWORD = DWORD*;
using LPCVOID = const void*;

struct OVERLAPPED {
    ULONG_PTR Internal;      // the request's status (STATUS_PENDING while pending)
    ULONG_PTR InternalHigh;  // the byte count
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD errorCode, DWORD numberOfBytesTransferred,
                                                 LPOVERLAPPED overlapped);

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// "\\?\..." and "\\.\..." paths of device interfaces; INVALID_HANDLE_VALUE
// on failure (GetLastError: ERROR_FILE_NOT_FOUND for a path no device has,
// or the error of the driver's refusal).
extern "C" HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

extern "C" BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
extern "C" BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
              LPOVERLAPPED overlapped);
extern "C" BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPDWORD numberOfBytesWritten,
               LPOVERLAPPED overlapped);
// The handle must be open for overlapped I/O. `completionRoutine` runs in
// an alertable wait of the calling thread once the write is done (also
// when it succeeded at once).
extern "C" BOOL WriteFileEx(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite, LPOVERLAPPED overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
// FALSE with ERROR_IO_INCOMPLETE while pending and `wait` is FALSE.
extern "C" BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD numberOfBytesTransferred, BOOL wait);

// The Win64 layout (file_io_check.cpp proves the numbers against <windows.h>).
static_assert(sizeof(OVERLAPPED) == OVU_OVERLAPPED_SIZE);
static_assert(offsetof(OVERLAPPED, InternalHigh) == OVU_OVERLAPPED_INTERNAL_HIGH);
static_assert(offsetof(OVERLAPPED, Offset) == OVU_OVERLAPPED_OFFSET);
static_assert(offsetof(OVERLAPPED, hEvent) == OVU_OVERLAPPED_EVENT);
static_assert(FILE_SHARE_READ == OVU_FILE_SHARE_READ && FILE_SHARE_WRITE == OVU_FILE_SHARE_WRITE &&
              OPEN_EXISTING == OVU_OPEN_EXISTING && FILE_FLAG_OVERLAPPED == OVU_FILE_FLAG_OVERLAPPED);
static_assert(GENERIC_READ == OVU_GENERIC_READ && GENERIC_WRITE == OVU_GENERIC_WRITE);
static_assert(ERROR_IO_PENDING == OVU_ERROR_IO_PENDING && ERROR_IO_INCOMPLETE == OVU_ERROR_IO_INCOMPLETE &&
              ERROR_OPERATION_ABORTED == OVU_ERROR_OPERATION_ABORTED);

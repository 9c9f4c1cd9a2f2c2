// Win32 error codes the user-mode deliverables and the user-mode platform
// surface use, with their Windows values, and the HRESULT they map to.
#pragma once

#include "platform/base/types.h"

using LSTATUS = LONG;
using HRESULT = LONG;

#define OVU_WIN32_ERROR_TABLE(X)                       \
    X(ERROR_SUCCESS, 0)                                \
    X(ERROR_INVALID_FUNCTION, 1)                       \
    X(ERROR_FILE_NOT_FOUND, 2)                         \
    X(ERROR_PATH_NOT_FOUND, 3)                         \
    X(ERROR_ACCESS_DENIED, 5)                          \
    X(ERROR_INVALID_HANDLE, 6)                         \
    X(ERROR_NOT_ENOUGH_MEMORY, 8)                      \
    X(ERROR_INVALID_DATA, 13)                          \
    X(ERROR_OUTOFMEMORY, 14)                           \
    X(ERROR_NOT_READY, 21)                             \
    X(ERROR_BAD_COMMAND, 22)                           \
    X(ERROR_GEN_FAILURE, 31)                           \
    X(ERROR_NOT_SUPPORTED, 50)                         \
    X(ERROR_DEV_NOT_EXIST, 55)                         \
    X(ERROR_INVALID_PARAMETER, 87)                     \
    X(ERROR_BROKEN_PIPE, 109)                          \
    X(ERROR_CALL_NOT_IMPLEMENTED, 120)                 \
    X(ERROR_SEM_TIMEOUT, 121)                          \
    X(ERROR_INSUFFICIENT_BUFFER, 122)                  \
    X(ERROR_INVALID_NAME, 123)                         \
    X(ERROR_ALREADY_EXISTS, 183)                       \
    X(ERROR_BAD_PIPE, 230)                             \
    X(ERROR_PIPE_BUSY, 231)                            \
    X(ERROR_NO_DATA, 232)                              \
    X(ERROR_PIPE_NOT_CONNECTED, 233)                   \
    X(ERROR_MORE_DATA, 234)                            \
    X(ERROR_NO_MORE_ITEMS, 259)                        \
    X(ERROR_NOT_OWNER, 288)                            \
    X(ERROR_MR_MID_NOT_FOUND, 317)                     \
    X(ERROR_TOO_MANY_POSTS, 298)                       \
    X(ERROR_PIPE_CONNECTED, 535)                       \
    X(ERROR_OPERATION_ABORTED, 995)                    \
    X(ERROR_IO_INCOMPLETE, 996)                        \
    X(ERROR_IO_PENDING, 997)                           \
    X(ERROR_INVALID_FLAGS, 1004)                       \
    X(ERROR_BADKEY, 1010)                              \
    X(ERROR_CANTOPEN, 1011)                            \
    X(ERROR_CANTREAD, 1012)                            \
    X(ERROR_CANTWRITE, 1013)                           \
    X(ERROR_KEY_DELETED, 1018)                         \
    X(ERROR_KEY_HAS_CHILDREN, 1020)                    \
    X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061)          \
    X(ERROR_SERVICE_NOT_ACTIVE, 1062)                  \
    X(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 1063)   \
    X(ERROR_PROCESS_ABORTED, 1067)                     \
    X(ERROR_IO_DEVICE, 1117)                           \
    X(ERROR_DEVICE_NOT_CONNECTED, 1167)                \
    X(ERROR_NOT_FOUND, 1168)                           \
    X(ERROR_NO_SYSTEM_RESOURCES, 1450)                 \
    X(ERROR_TIMEOUT, 1460)                             \
    X(ERROR_DEVICE_REMOVED, 1617)                      \
    X(ERROR_DATATYPE_MISMATCH, 1629)                   \
    X(ERROR_UNSUPPORTED_TYPE, 1630)                    \
    X(ERROR_INVALID_USER_BUFFER, 1784)

#define OVU_WIN32_ERROR_CONSTANT(name, value) inline constexpr DWORD name = value;
OVU_WIN32_ERROR_TABLE(OVU_WIN32_ERROR_CONSTANT)
#undef OVU_WIN32_ERROR_CONSTANT

constexpr const char* Win32ErrorName(DWORD error) {
#define OVU_WIN32_ERROR_CASE(name, value) \
    if (error == value) return #name;
    OVU_WIN32_ERROR_TABLE(OVU_WIN32_ERROR_CASE)
#undef OVU_WIN32_ERROR_CASE
    return nullptr;
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// FACILITY_WIN32 (7) with the error in the low word; 0 stays S_OK.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>((error & 0xFFFFu) | (7u << 16) | 0x80000000u);
}

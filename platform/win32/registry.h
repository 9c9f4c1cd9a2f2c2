// The user-mode registry API (advapi32's Reg*W functions), wide-char only.
//
// The user view and the kernel view (platform/registry/zw.h) share one tree:
// HKEY_LOCAL_MACHINE is "\Registry\Machine", HKEY_USERS "\Registry\User",
// HKEY_CURRENT_USER the current user's hive under it, HKEY_CLASSES_ROOT
// HKEY_LOCAL_MACHINE\Software\Classes. An HKEY other than the predefined ones
// is a handle of the machine's handle table (ZwClose closes it as well).
// Every function returns a Win32 error code; an operation that needs an
// access right the handle was not opened with gives ERROR_ACCESS_DENIED.
#pragma once

#include "platform/base/types.h"
#include "platform/registry/registry_types.h"
#include "platform/win32/errors.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = ACCESS_MASK;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

#ifndef OVU_FILETIME_DEFINED
#define OVU_FILETIME_DEFINED
// 100 ns units since 1601 (UTC), split in two halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8);
#endif
using PFILETIME = FILETIME*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// The predefined keys: sign-extended 32-bit values, as winreg.h has them.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001u))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002u))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003u))))

// RegGetValueW flags: the value types the caller accepts, and behaviour.
inline constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
inline constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
inline constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;
inline constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
inline constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
inline constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
inline constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
inline constexpr DWORD RRF_RT_DWORD = RRF_RT_REG_BINARY | RRF_RT_REG_DWORD;
inline constexpr DWORD RRF_RT_QWORD = RRF_RT_REG_BINARY | RRF_RT_REG_QWORD;
inline constexpr DWORD RRF_RT_ANY = 0x0000FFFF;
inline constexpr DWORD RRF_SUBKEY_WOW6464KEY = 0x00010000;
inline constexpr DWORD RRF_SUBKEY_WOW6432KEY = 0x00020000;
inline constexpr DWORD RRF_WOW64_MASK = 0x00030000;
inline constexpr DWORD RRF_NOEXPAND = 0x10000000;
inline constexpr DWORD RRF_ZEROONFAILURE = 0x20000000;

// Opens an existing subkey (null or empty lpSubKey: the key itself; for a
// predefined key *phkResult is then hKey). Missing: ERROR_FILE_NOT_FOUND.
extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// RegOpenKeyExW with full access; a null or empty lpSubKey returns hKey itself.
extern "C" LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);

// Opens or creates the subkey, creating missing keys along the path.
// lpdwDisposition (optional): REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
extern "C" LSTATUS RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);

// Closing a key with a pending change notification signals its event.
extern "C" LSTATUS RegCloseKey(HKEY hKey);

// Needs KEY_QUERY_VALUE. With lpData null, *lpcbData receives the size; with
// too small a buffer, ERROR_MORE_DATA and the size. Strings come back as
// stored (a terminator is added only when stored data lacks one and the
// buffer has room, and is not counted). Missing: ERROR_FILE_NOT_FOUND.
extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);

// Reads a value of hKey\lpSubKey (lpSubKey optional) checked against the
// RRF_RT_* types in dwFlags (ERROR_UNSUPPORTED_TYPE otherwise); strings are
// returned terminated. REG_EXPAND_SZ is expanded (and reported as REG_SZ)
// unless RRF_NOEXPAND is given; the variables come from the machine's
// environment key, "HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager\Environment", and SystemRoot from "HKLM\SOFTWARE\Microsoft\Windows
// NT\CurrentVersion"; unknown ones stay as written.
extern "C" LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData);

// Needs KEY_SET_VALUE. Stores exactly cbData bytes (strings should count
// their terminator, as on Windows).
extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);

// Deletes a subkey without subkeys of its own (else ERROR_ACCESS_DENIED).
extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
extern "C" LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved);
// Deletes the subkey with everything below it; with lpSubKey null, empties
// hKey (its subkeys and values) and keeps it. hKey needs DELETE,
// KEY_ENUMERATE_SUB_KEYS and KEY_QUERY_VALUE.
extern "C" LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

// Need KEY_ENUMERATE_SUB_KEYS. *lpcchName: buffer size in characters with
// the terminator in, name length without it out. Too small: ERROR_MORE_DATA;
// past the last subkey: ERROR_NO_MORE_ITEMS.
extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
extern "C" LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName);

// Needs KEY_QUERY_VALUE. Name as RegEnumKeyExW, data as RegQueryValueExW.
extern "C" LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// Needs KEY_QUERY_VALUE. Lengths of names in characters without terminator,
// of data in bytes; every out pointer is optional.
extern "C" LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime);

// Needs KEY_NOTIFY. Asks once for the next change to the key (with
// bWatchSubtree, to any key below it) that matches dwNotifyFilter
// (REG_NOTIFY_CHANGE_NAME: a subkey added or deleted; _LAST_SET: a value
// set or deleted). Asynchronous: hEvent is signalled then and the call
// returns at once; synchronous: the call returns then. A change that comes
// while no request is pending is kept for the next request on the same
// handle, which then completes at once. Closing the key completes a pending
// request (its event is signalled), and so does deleting the watched key.
extern "C" LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous);

// The registry is kept in memory; flushing has nothing to do.
extern "C" LSTATUS RegFlushKey(HKEY hKey);

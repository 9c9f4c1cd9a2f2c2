// Registry constants shared by the kernel view (zw.h) and the user view
// (platform/win32/registry.h): value types, key access rights, creation
// options and change-notification filters, with their Windows values.
#pragma once

#include "platform/base/types.h"

// Value types. The registry stores any type number as given; these are the
// ones with a meaning.
inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_EXPAND_SZ = 2;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;
inline constexpr ULONG REG_DWORD_LITTLE_ENDIAN = 4;
inline constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
inline constexpr ULONG REG_LINK = 6;
inline constexpr ULONG REG_MULTI_SZ = 7;
inline constexpr ULONG REG_RESOURCE_LIST = 8;
inline constexpr ULONG REG_FULL_RESOURCE_DESCRIPTOR = 9;
inline constexpr ULONG REG_RESOURCE_REQUIREMENTS_LIST = 10;
inline constexpr ULONG REG_QWORD = 11;
inline constexpr ULONG REG_QWORD_LITTLE_ENDIAN = 11;

// Key access rights (REGSAM / ACCESS_MASK).
inline constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
inline constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
inline constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
inline constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
inline constexpr ACCESS_MASK KEY_WOW64_64KEY = 0x0100;
inline constexpr ACCESS_MASK KEY_WOW64_32KEY = 0x0200;
inline constexpr ACCESS_MASK KEY_WOW64_RES = 0x0300;
// (STANDARD_RIGHTS_READ | QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY) & ~SYNCHRONIZE
inline constexpr ACCESS_MASK KEY_READ = 0x00020019;
// (STANDARD_RIGHTS_WRITE | SET_VALUE | CREATE_SUB_KEY) & ~SYNCHRONIZE
inline constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
inline constexpr ACCESS_MASK KEY_EXECUTE = KEY_READ;
// (STANDARD_RIGHTS_ALL | every key right) & ~SYNCHRONIZE
inline constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;

// Creation options.
inline constexpr ULONG REG_OPTION_RESERVED = 0x00000000;
inline constexpr ULONG REG_OPTION_NON_VOLATILE = 0x00000000;
inline constexpr ULONG REG_OPTION_VOLATILE = 0x00000001;
inline constexpr ULONG REG_OPTION_CREATE_LINK = 0x00000002;
inline constexpr ULONG REG_OPTION_BACKUP_RESTORE = 0x00000004;
inline constexpr ULONG REG_OPTION_OPEN_LINK = 0x00000008;

// Create dispositions.
inline constexpr ULONG REG_CREATED_NEW_KEY = 0x00000001;
inline constexpr ULONG REG_OPENED_EXISTING_KEY = 0x00000002;

// Change-notification filters.
inline constexpr ULONG REG_NOTIFY_CHANGE_NAME = 0x00000001;
inline constexpr ULONG REG_NOTIFY_CHANGE_ATTRIBUTES = 0x00000002;
inline constexpr ULONG REG_NOTIFY_CHANGE_LAST_SET = 0x00000004;
inline constexpr ULONG REG_NOTIFY_CHANGE_SECURITY = 0x00000008;
inline constexpr ULONG REG_NOTIFY_THREAD_AGNOSTIC = 0x10000000;
inline constexpr ULONG REG_LEGAL_CHANGE_FILTER = 0x1000000F;

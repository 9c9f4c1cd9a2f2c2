// The kernel's registry routines (the Zw* calls and RtlCheckRegistryKey) and
// the records they fill, with the Windows layouts.
//
// Keys are named from "\Registry": "\Registry\Machine\..." is the machine
// hive (HKEY_LOCAL_MACHINE), "\Registry\User\<sid>\..." a user's hive. Names
// compare case-insensitively and keep the case they were created with.
// A key handle is closed with ZwClose. All of it runs at PASSIVE_LEVEL.
//
// Buffer rules shared by every query and enumeration: *ResultLength always
// receives the size the complete record needs. A buffer smaller than the
// record's fixed part gives STATUS_BUFFER_TOO_SMALL and nothing is written;
// one that holds the fixed part but not all of the name or data gives
// STATUS_BUFFER_OVERFLOW with the fixed part and as much as fits written.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/base/unicode.h"
#include "platform/registry/object_attributes.h"
#include "platform/registry/registry_types.h"

#include <cstddef>

using PHANDLE = HANDLE*;
using PULONG = ULONG*;

enum KEY_INFORMATION_CLASS : int {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
    KeyNameInformation = 3,
};

enum KEY_VALUE_INFORMATION_CLASS : int {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

struct KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;  // 100 ns units since 1601 (UTC)
    ULONG TitleIndex;             // always 0
    ULONG NameLength;             // bytes
    WCHAR Name[1];                // not terminated
};
static_assert(sizeof(KEY_BASIC_INFORMATION) == 24);
static_assert(offsetof(KEY_BASIC_INFORMATION, TitleIndex) == 8);
static_assert(offsetof(KEY_BASIC_INFORMATION, NameLength) == 12);
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);

struct KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;  // from the start of the record; 0xFFFFFFFF without a class
    ULONG ClassLength;  // bytes
    ULONG NameLength;   // bytes
    WCHAR Name[1];
};
static_assert(sizeof(KEY_NODE_INFORMATION) == 32);
static_assert(offsetof(KEY_NODE_INFORMATION, ClassOffset) == 12);
static_assert(offsetof(KEY_NODE_INFORMATION, ClassLength) == 16);
static_assert(offsetof(KEY_NODE_INFORMATION, NameLength) == 20);
static_assert(offsetof(KEY_NODE_INFORMATION, Name) == 24);

struct KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;      // 0xFFFFFFFF without a class
    ULONG ClassLength;      // bytes
    ULONG SubKeys;
    ULONG MaxNameLen;       // bytes, longest subkey name
    ULONG MaxClassLen;      // bytes, longest subkey class
    ULONG Values;
    ULONG MaxValueNameLen;  // bytes
    ULONG MaxValueDataLen;  // bytes
    WCHAR Class[1];
};
static_assert(sizeof(KEY_FULL_INFORMATION) == 48);
static_assert(offsetof(KEY_FULL_INFORMATION, SubKeys) == 20);
static_assert(offsetof(KEY_FULL_INFORMATION, Values) == 32);
static_assert(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen) == 40);
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44);

// The key's full name, "\REGISTRY\MACHINE\SOFTWARE\...".
struct KEY_NAME_INFORMATION {
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
static_assert(sizeof(KEY_NAME_INFORMATION) == 8);
static_assert(offsetof(KEY_NAME_INFORMATION, Name) == 4);

struct KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16);
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);

// The data follows the name at DataOffset, rounded up to a multiple of 4;
// DataOffset is 0xFFFFFFFF for a value without data.
struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// Opens an existing key. ObjectAttributes names it absolutely ("\Registry\...")
// or relative to RootDirectory (an open key); an empty relative name opens
// the root key again. Missing key: STATUS_OBJECT_NAME_NOT_FOUND.
extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);

// Opens the key, or creates it when its parent exists (only the last name
// component is created; a missing parent is STATUS_OBJECT_NAME_NOT_FOUND).
// Disposition (optional) receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, UNICODE_STRING* Class, ULONG CreateOptions, PULONG Disposition);

// Deletes the key once it has no subkeys (else STATUS_CANNOT_DELETE). Open
// handles stay valid; every operation on them gives STATUS_KEY_DELETED.
extern "C" NTSTATUS ZwDeleteKey(HANDLE KeyHandle);

extern "C" NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength);

// Subkeys enumerate in the order of their upcased names; an index past the
// last gives STATUS_NO_MORE_ENTRIES.
extern "C" NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength);

// A null or empty ValueName is the key's default value. Missing value:
// STATUS_OBJECT_NAME_NOT_FOUND.
extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);

// Values enumerate in the order they were first set.
extern "C" NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);

// Stores exactly DataSize bytes of Data with the given type.
extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName);

// The registry is kept in memory; flushing has nothing to do.
extern "C" NTSTATUS ZwFlushKey(HANDLE KeyHandle);

// RtlCheckRegistryKey's RelativeTo bases.
inline constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;     // Path is "\Registry\..."
inline constexpr ULONG RTL_REGISTRY_SERVICES = 1;     // \Registry\Machine\System\CurrentControlSet\Services
inline constexpr ULONG RTL_REGISTRY_CONTROL = 2;      // \Registry\Machine\System\CurrentControlSet\Control
inline constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;   // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
inline constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;    // \Registry\Machine\Hardware\DeviceMap
inline constexpr ULONG RTL_REGISTRY_USER = 5;         // the current user's hive
inline constexpr ULONG RTL_REGISTRY_MAXIMUM = 6;
inline constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;    // Path is an open key handle
inline constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

// STATUS_SUCCESS when the key exists, else the status of opening it.
extern "C" NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

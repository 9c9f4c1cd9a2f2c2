// Windows base types as the package sees them on Win64.
//
// `long` is 32 bits on Win64, so LONG/ULONG are fixed-width here. WCHAR is
// char16_t: strings crossing the platform surface are UTF-16LE, exactly as
// Windows stores them, whatever the host's wchar_t is.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using ULONG64 = std::uint64_t;
using LONG64 = std::int64_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = std::int32_t;
using ACCESS_MASK = std::uint32_t;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

// The record that holds `field` at `address` (CONTAINING_RECORD).
template <class Record, class Field>
inline Record* ContainingRecord(Field* address, Field Record::*field) {
    const auto offset = reinterpret_cast<std::uintptr_t>(&(static_cast<Record*>(nullptr)->*field));
    return reinterpret_cast<Record*>(reinterpret_cast<std::uintptr_t>(address) - offset);
}

#define OVU_CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

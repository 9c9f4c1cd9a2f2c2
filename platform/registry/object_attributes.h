// OBJECT_ATTRIBUTES: how the kernel names an object to open or create (a
// counted name, optionally relative to an open directory or key handle).
#pragma once

#include "platform/base/types.h"
#include "platform/base/unicode.h"

#include <cstddef>

inline constexpr ULONG OBJ_INHERIT = 0x00000002;
inline constexpr ULONG OBJ_PERMANENT = 0x00000010;
inline constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
inline constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
inline constexpr ULONG OBJ_OPENIF = 0x00000080;
inline constexpr ULONG OBJ_OPENLINK = 0x00000100;
inline constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;
inline constexpr ULONG OBJ_FORCE_ACCESS_CHECK = 0x00000400;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == 8);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == 16);
static_assert(offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityDescriptor) == 32);
static_assert(offsetof(OBJECT_ATTRIBUTES, SecurityQualityOfService) == 40);

// The wdm.h macro of the same name, as a function with the same arguments.
inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* p, UNICODE_STRING* name, ULONG attributes, HANDLE root,
                                       PVOID securityDescriptor) {
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = root;
    p->Attributes = attributes;
    p->ObjectName = name;
    p->SecurityDescriptor = securityDescriptor;
    p->SecurityQualityOfService = nullptr;
}

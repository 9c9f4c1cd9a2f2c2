// The NTSTATUS values the package uses, with their Windows values, and the
// NT_SUCCESS rule. One table: the constants and their names come from it.
#pragma once

#include "platform/base/types.h"

#define OVU_NTSTATUS_TABLE(X)                        \
    X(STATUS_SUCCESS, 0x00000000)                    \
    X(STATUS_WAIT_1, 0x00000001)                     \
    X(STATUS_WAIT_2, 0x00000002)                     \
    X(STATUS_WAIT_3, 0x00000003)                     \
    X(STATUS_ABANDONED_WAIT_0, 0x00000080)           \
    X(STATUS_USER_APC, 0x000000C0)                   \
    X(STATUS_ALERTED, 0x00000101)                    \
    X(STATUS_TIMEOUT, 0x00000102)                    \
    X(STATUS_PENDING, 0x00000103)                    \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)         \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)            \
    X(STATUS_DEVICE_BUSY, 0x80000011)                \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)            \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)               \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)            \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)       \
    X(STATUS_INVALID_HANDLE, 0xC0000008)             \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)          \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)             \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)     \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)   \
    X(STATUS_NO_MEMORY, 0xC0000017)                  \
    X(STATUS_ACCESS_DENIED, 0xC0000022)              \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)           \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)       \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)        \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)      \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)      \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)      \
    X(STATUS_DATA_ERROR, 0xC000003E)                 \
    X(STATUS_MUTANT_NOT_OWNED, 0xC0000046)           \
    X(STATUS_SEMAPHORE_LIMIT_EXCEEDED, 0xC0000047)   \
    X(STATUS_DELETE_PENDING, 0xC0000056)             \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)     \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)       \
    X(STATUS_DEVICE_NOT_READY, 0xC00000A3)           \
    X(STATUS_DEVICE_DOES_NOT_EXIST, 0xC00000C0)      \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                 \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)              \
    X(STATUS_INVALID_PARAMETER_2, 0xC00000F0)        \
    X(STATUS_PROCESS_IS_TERMINATING, 0xC000010A)     \
    X(STATUS_CANCELLED, 0xC0000120)                  \
    X(STATUS_CANNOT_DELETE, 0xC0000121)              \
    X(STATUS_KEY_DELETED, 0xC000017C)                \
    X(STATUS_KEY_HAS_CHILDREN, 0xC0000180)           \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)       \
    X(STATUS_IO_DEVICE_ERROR, 0xC0000185)            \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)        \
    X(STATUS_NOT_FOUND, 0xC0000225)                  \
    X(STATUS_NO_MATCH, 0xC0000272)                   \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)

#define OVU_NTSTATUS_CONSTANT(name, value) \
    inline constexpr NTSTATUS name = static_cast<NTSTATUS>(static_cast<std::uint32_t>(value));
OVU_NTSTATUS_TABLE(OVU_NTSTATUS_CONSTANT)
#undef OVU_NTSTATUS_CONSTANT

inline constexpr NTSTATUS STATUS_WAIT_0 = STATUS_SUCCESS;

// Success and informational values (severity 0 and 1) succeed; warnings and
// errors do not.
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

// The symbolic name of a status of the table, or nullptr.
constexpr const char* NtStatusName(NTSTATUS status) {
#define OVU_NTSTATUS_CASE(name, value) \
    if (status == static_cast<NTSTATUS>(static_cast<std::uint32_t>(value))) return #name;
    OVU_NTSTATUS_TABLE(OVU_NTSTATUS_CASE)
#undef OVU_NTSTATUS_CASE
    return nullptr;
}

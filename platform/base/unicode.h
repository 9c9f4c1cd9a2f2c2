// Counted UTF-16 strings (UNICODE_STRING) and the Rtl operations on them.
#pragma once

#include "platform/base/types.h"

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes of Buffer
    PWSTR Buffer;
};
static_assert(sizeof(UNICODE_STRING) == 16);

// Points `dest` at a terminated string (RtlInitUnicodeString).
extern "C" void RtlInitUnicodeString(UNICODE_STRING* dest, PCWSTR source);

// Compares two counted strings; case-insensitive compares the upcased
// characters as Windows does for the Basic Latin and Latin-1 ranges.
extern "C" LONG RtlCompareUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive);
extern "C" BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive);

// Copies as much of `source` as fits into `dest`'s buffer.
extern "C" void RtlCopyUnicodeString(UNICODE_STRING* dest, const UNICODE_STRING* source);

// Appends; STATUS_BUFFER_TOO_SMALL when it would not fit (dest unchanged).
extern "C" NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* dest, const UNICODE_STRING* source);
extern "C" NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* dest, PCWSTR source);

extern "C" WCHAR RtlUpcaseUnicodeChar(WCHAR c);

// Frees a string's buffer that a system routine allocated from pool (for
// example a device interface's symbolic link name).
extern "C" void RtlFreeUnicodeString(UNICODE_STRING* string);

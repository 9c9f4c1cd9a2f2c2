#include "platform/base/unicode.h"

#include "platform/base/ntstatus.h"

#include <cstring>

namespace {

USHORT TerminatedBytes(PCWSTR s) {
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return static_cast<USHORT>(n * sizeof(WCHAR));
}

}  // namespace

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - (u'a' - u'A'));
    // Latin-1 supplement lower case letters, except the division sign and ÿ.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    return c;
}

void RtlInitUnicodeString(UNICODE_STRING* dest, PCWSTR source) {
    if (source == nullptr) {
        dest->Length = dest->MaximumLength = 0;
        dest->Buffer = nullptr;
        return;
    }
    dest->Length = TerminatedBytes(source);
    dest->MaximumLength = static_cast<USHORT>(dest->Length + sizeof(WCHAR));
    dest->Buffer = const_cast<PWSTR>(source);
}

LONG RtlCompareUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive) {
    const std::size_t na = a->Length / sizeof(WCHAR);
    const std::size_t nb = b->Length / sizeof(WCHAR);
    const std::size_t n = na < nb ? na : nb;
    for (std::size_t i = 0; i < n; ++i) {
        WCHAR ca = a->Buffer[i];
        WCHAR cb = b->Buffer[i];
        if (caseInsensitive) {
            ca = RtlUpcaseUnicodeChar(ca);
            cb = RtlUpcaseUnicodeChar(cb);
        }
        if (ca != cb) return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return static_cast<LONG>(na) - static_cast<LONG>(nb);
}

BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive) {
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

void RtlCopyUnicodeString(UNICODE_STRING* dest, const UNICODE_STRING* source) {
    if (source == nullptr) {
        dest->Length = 0;
        return;
    }
    USHORT n = source->Length < dest->MaximumLength ? source->Length : dest->MaximumLength;
    n = static_cast<USHORT>(n & ~1u);
    std::memmove(dest->Buffer, source->Buffer, n);
    dest->Length = n;
    if (n + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* dest, const UNICODE_STRING* source) {
    if (source->Length == 0) return STATUS_SUCCESS;
    if (static_cast<std::size_t>(dest->Length) + source->Length > dest->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, source->Buffer, source->Length);
    dest->Length = static_cast<USHORT>(dest->Length + source->Length);
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* dest, PCWSTR source) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(dest, &s);
}

// The driver's small layer over the kernel registry routines: open a key by
// absolute path, read and write a value, and the reference-key search the
// endpoint and device-path lookups share. PASSIVE_LEVEL only.
#pragma once

#include "platform/base/types.h"
#include "platform/base/unicode.h"

// A key handle closed when the scope ends.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens `path` (absolute, or relative to `root` when given).
    NTSTATUS Open(const UNICODE_STRING* path, ACCESS_MASK access, HANDLE root = nullptr);
    NTSTATUS Open(PCWSTR path, ACCESS_MASK access, HANDLE root = nullptr);
    // Takes ownership of an open handle.
    void Adopt(HANDLE handle) {
        Close();
        handle_ = handle;
    }
    void Close();
    HANDLE get() const { return handle_; }

    // Reads the value's data (at most `capacity` bytes). STATUS_BUFFER_OVERFLOW
    // when the data is longer (nothing copied), with its length in `length`.
    NTSTATUS QueryValue(PCWSTR name, void* data, ULONG capacity, ULONG* length, ULONG* type = nullptr) const;
    NTSTATUS SetValue(PCWSTR name, ULONG type, const void* data, ULONG size) const;
    NTSTATUS DeleteValue(PCWSTR name) const;

private:
    HANDLE handle_ = nullptr;
};

// How FindRegistryRefKey compares a value with the text it looks for.
using RegistryTextMatch = bool (*)(const UNICODE_STRING* value, const UNICODE_STRING* wanted);
bool RegistryTextEqualsNoCase(const UNICODE_STRING* value, const UNICODE_STRING* wanted);

// Looks through the subkeys of `keyPath` (and, when `subkey` is given, the key
// of that name under each) for the first whose string value `valueName`
// matches `wanted`; copies that subkey's name into `name`. A subkey whose value
// is missing or differs is skipped. STATUS_NO_MATCH when none matches,
// STATUS_BUFFER_TOO_SMALL when the name does not fit.
NTSTATUS FindRegistryRefKey(const UNICODE_STRING* keyPath, PCWSTR subkey, PCWSTR valueName,
                            const UNICODE_STRING* wanted, RegistryTextMatch match, UNICODE_STRING* name);

#include "driver/core/registry_access.h"

#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/registry/registry_types.h"
#include "platform/registry/zw.h"

#include <cstring>

namespace {

constexpr ULONG kTag = PoolTag("USBA");

// Key and value names are at most 255 characters; a name buffer of this size
// always fits an enumeration record.
constexpr ULONG kNameRecordBytes = sizeof(KEY_BASIC_INFORMATION) + 256 * sizeof(WCHAR);

UNICODE_STRING Counted(PCWSTR text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

}  // namespace

NTSTATUS RegistryKey::Open(const UNICODE_STRING* path, ACCESS_MASK access, HANDLE root) {
    Close();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<UNICODE_STRING*>(path), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               root, nullptr);
    return ZwOpenKey(&handle_, access, &attributes);
}

NTSTATUS RegistryKey::Open(PCWSTR path, ACCESS_MASK access, HANDLE root) {
    UNICODE_STRING name = Counted(path);
    return Open(&name, access, root);
}

void RegistryKey::Close() {
    if (handle_ != nullptr) ZwClose(handle_);
    handle_ = nullptr;
}

NTSTATUS RegistryKey::QueryValue(PCWSTR name, void* data, ULONG capacity, ULONG* length, ULONG* type) const {
    UNICODE_STRING valueName = Counted(name);
    const ULONG size = sizeof(KEY_VALUE_FULL_INFORMATION) + valueName.Length + 4 + capacity;
    auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
    if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG result = 0;
    NTSTATUS status = ZwQueryValueKey(handle_, &valueName, KeyValueFullInformation, info, size, &result);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        // Only the fixed part arrived: the data does not fit the caller's buffer.
        if (length != nullptr) *length = result >= sizeof(KEY_VALUE_FULL_INFORMATION) ? info->DataLength : 0;
        status = STATUS_BUFFER_OVERFLOW;
    } else if (NT_SUCCESS(status)) {
        if (info->DataLength > capacity) {
            status = STATUS_BUFFER_OVERFLOW;
        } else if (info->DataLength != 0) {
            std::memcpy(data, reinterpret_cast<const UCHAR*>(info) + info->DataOffset, info->DataLength);
        }
        if (length != nullptr) *length = info->DataLength;
        if (type != nullptr) *type = info->Type;
    }
    ExFreePoolWithTag(info, kTag);
    return status;
}

NTSTATUS RegistryKey::SetValue(PCWSTR name, ULONG type, const void* data, ULONG size) const {
    UNICODE_STRING valueName = Counted(name);
    return ZwSetValueKey(handle_, &valueName, 0, type, const_cast<void*>(data), size);
}

NTSTATUS RegistryKey::DeleteValue(PCWSTR name) const {
    UNICODE_STRING valueName = Counted(name);
    return ZwDeleteValueKey(handle_, &valueName);
}

bool RegistryTextEqualsNoCase(const UNICODE_STRING* value, const UNICODE_STRING* wanted) {
    return RtlEqualUnicodeString(value, wanted, TRUE) != 0;
}

NTSTATUS FindRegistryRefKey(const UNICODE_STRING* keyPath, PCWSTR subkey, PCWSTR valueName,
                            const UNICODE_STRING* wanted, RegistryTextMatch match, UNICODE_STRING* name) {
    if (match == nullptr) match = RegistryTextEqualsNoCase;
    RegistryKey parent;
    NTSTATUS status = parent.Open(keyPath, KEY_READ);
    if (!NT_SUCCESS(status)) return status;

    auto* record = static_cast<KEY_BASIC_INFORMATION*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kNameRecordBytes, kTag));
    // The value read: at most as long as a counted string can be.
    constexpr ULONG kValueBytes = 0xFFFE;
    auto* text = static_cast<WCHAR*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kValueBytes, kTag));
    if (record == nullptr || text == nullptr) {
        if (record != nullptr) ExFreePoolWithTag(record, kTag);
        if (text != nullptr) ExFreePoolWithTag(text, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = STATUS_NO_MATCH;
    for (ULONG index = 0;; ++index) {
        ULONG result = 0;
        const NTSTATUS enumerated =
            ZwEnumerateKey(parent.get(), index, KeyBasicInformation, record, kNameRecordBytes, &result);
        if (enumerated == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(enumerated)) {
            status = enumerated;
            break;
        }
        UNICODE_STRING child{static_cast<USHORT>(record->NameLength), static_cast<USHORT>(record->NameLength),
                             record->Name};
        RegistryKey entry;
        if (!NT_SUCCESS(entry.Open(&child, KEY_READ, parent.get()))) continue;
        RegistryKey nested;
        const RegistryKey* holder = &entry;
        if (subkey != nullptr) {
            if (!NT_SUCCESS(nested.Open(subkey, KEY_READ, entry.get()))) continue;
            holder = &nested;
        }
        ULONG bytes = 0, type = 0;
        if (!NT_SUCCESS(holder->QueryValue(valueName, text, kValueBytes, &bytes, &type))) continue;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        // Stored strings carry their terminator; compare the text before it.
        ULONG chars = bytes / sizeof(WCHAR);
        while (chars > 0 && text[chars - 1] == 0) --chars;
        UNICODE_STRING value{static_cast<USHORT>(chars * sizeof(WCHAR)), static_cast<USHORT>(kValueBytes), text};
        if (!match(&value, wanted)) continue;
        if (record->NameLength > name->MaximumLength) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(name->Buffer, record->Name, record->NameLength);
            name->Length = static_cast<USHORT>(record->NameLength);
            status = STATUS_SUCCESS;
        }
        break;
    }
    ExFreePoolWithTag(text, kTag);
    ExFreePoolWithTag(record, kTag);
    return status;
}

// Small helpers shared by the registry tests.
#pragma once

#include "platform/registry/zw.h"
#include "sim/machine.h"
#include "sim/registry/registry.h"
#include "sim/user/handles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace regtest {

using Bytes = std::vector<std::uint8_t>;

// UTF-16LE bytes of `text` followed by `terminators` NUL characters.
inline Bytes Utf16(std::u16string_view text, std::size_t terminators = 1) {
    Bytes bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), terminators * 2, 0);
    return bytes;
}

inline Bytes Le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

// A kernel key handle, opened (or created) by absolute name or relative to
// `root`; closed at the end of the scope.
class ZwKey {
public:
    ZwKey() = default;
    ZwKey(const ZwKey&) = delete;
    ZwKey& operator=(const ZwKey&) = delete;
    ~ZwKey() { Close(); }

    NTSTATUS Open(const char16_t* name, HANDLE root = nullptr) { return Do(false, name, root); }
    NTSTATUS Create(const char16_t* name, HANDLE root = nullptr) { return Do(true, name, root); }
    void Close();

    HANDLE get() const { return handle_; }
    ULONG disposition() const { return disposition_; }

private:
    NTSTATUS Do(bool create, const char16_t* name, HANDLE root) {
        Close();
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &s, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return create ? ZwCreateKey(&handle_, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition_)
                      : ZwOpenKey(&handle_, KEY_ALL_ACCESS, &oa);
    }

    HANDLE handle_ = nullptr;
    ULONG disposition_ = 0;
};

inline void ZwKey::Close() {
    if (handle_) sim::CloseKernelModeHandle(handle_);
    handle_ = nullptr;
}

inline UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

}  // namespace regtest

namespace regtest {

struct TypedValue {
    std::u16string name;
    ULONG type;
    Bytes data;
};

// One value of every kind the registry must keep byte for byte.
inline std::vector<TypedValue> EveryValueType() {
    return {
        {u"None", REG_NONE, {}},
        {u"Sz", REG_SZ, Utf16(u"Orva UAC-2")},
        {u"SzWithoutTerminator", REG_SZ, Utf16(u"abc", 0)},
        {u"", REG_SZ, Utf16(u"the default value")},
        {u"Expand", REG_EXPAND_SZ, Utf16(u"%SystemRoot%\\system32")},
        {u"Binary", REG_BINARY, {0x00, 0xFF, 0x10, 0x80, 0x7F}},
        {u"Dword", REG_DWORD, Le32(0x8000BEEF)},
        {u"Multi", REG_MULTI_SZ, Utf16(std::u16string_view(u"one\0two", 7), 2)},
        {u"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0x88}},
        {u"OtherType", 0x12345678, {0xAB}},
    };
}

}  // namespace regtest

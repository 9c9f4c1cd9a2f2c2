// The simulated registry of one machine: one tree shared by the kernel view
// (platform/registry/zw.h) and the user view (platform/win32/registry.h),
// and the simulator's own API to seed and inspect it without handles.
//
// Paths name keys in either style:
//   "HKEY_LOCAL_MACHINE\SOFTWARE\..." (or HKLM), "HKEY_CURRENT_USER\..."
//   (HKCU: the default user's hive), "HKEY_CLASSES_ROOT\..." (HKCR:
//   HKLM\SOFTWARE\Classes), "HKEY_USERS\..." (HKU),
//   "\Registry\Machine\...", "\Registry\User\...".
// Names compare case-insensitively; keys and values keep the case they were
// created with. The value named "" is the key's default value.
//
// The machine starts with the hive keys MACHINE\{HARDWARE, SOFTWARE,
// SOFTWARE\Classes, SYSTEM} and USER\{.DEFAULT, <default user's SID>}; they
// cannot be deleted. Every member is safe to call from any thread.
//
// .reg text: ImportRegText reads the regedit format ("Windows Registry Editor
// Version 5.00"; [key], [-key], "name"="string", @=, dword:, hex:, hex(N):,
// "name"=-, backslash continuations, ; comments) in UTF-16LE with its BOM (as
// Windows writes files) or UTF-8 (with or without BOM). ExportRegText writes
// UTF-8 without BOM, with "\n" line ends; strings that the quoted form cannot
// carry byte for byte (no single terminator, embedded NULs or line breaks)
// are written as hex(1):, so that importing the export rebuilds an identical
// tree: the same keys, values, types, bytes and value order.
#pragma once

#include "platform/base/types.h"
#include "platform/registry/registry_types.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

namespace reg {
class Store;
class KeyObject;
}  // namespace reg

// A text argument given as UTF-8 or UTF-16, so that callers can pass "..."
// or u"..." alike.
class RegText {
public:
    RegText(const char* utf8) : RegText(std::string_view(utf8)) {}
    RegText(const std::string& utf8) : RegText(std::string_view(utf8)) {}
    RegText(std::string_view utf8);
    RegText(const char16_t* text) : view_(text) {}
    RegText(const std::u16string& text) : view_(text) {}
    RegText(std::u16string_view text) : view_(text) {}
    RegText(const RegText&) = delete;
    RegText& operator=(const RegText&) = delete;

    std::u16string_view view() const { return view_; }

private:
    std::u16string owned_;
    std::u16string_view view_;
};

struct RegValue {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
    friend bool operator==(const RegValue&, const RegValue&) = default;
};

struct RegImportResult {
    bool ok = true;
    std::size_t line = 0;  // 1-based line of the first error
    std::string error;
    explicit operator bool() const { return ok; }
};

class Registry {
public:
    // The SID of the machine's one user, whose hive is HKEY_CURRENT_USER.
    static constexpr std::u16string_view kDefaultUserSid = u"S-1-5-21-3623811015-3361044348-30300820-1001";

    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Creates the key and every missing key along its path; true when the
    // key exists afterwards.
    bool CreateKey(const RegText& path);
    bool KeyExists(const RegText& path) const;
    // Deletes the key with everything below it; false when it is missing or
    // is a hive key.
    bool DeleteKey(const RegText& path);
    // In enumeration order (sorted case-insensitively); empty when missing.
    std::vector<std::u16string> SubkeyNames(const RegText& path) const;
    // In enumeration order (the order they were first set).
    std::vector<std::u16string> ValueNames(const RegText& path) const;

    // Setters create the key (and its path) when missing; false for a path
    // outside the tree.
    bool SetValue(const RegText& path, const RegText& name, ULONG type, const std::vector<std::uint8_t>& data);
    bool SetDword(const RegText& path, const RegText& name, DWORD value);
    bool SetQword(const RegText& path, const RegText& name, ULONGLONG value);
    // REG_SZ (or REG_EXPAND_SZ) with its terminator.
    bool SetString(const RegText& path, const RegText& name, const RegText& value, ULONG type = REG_SZ);
    // REG_MULTI_SZ: each string terminated, then one more terminator.
    bool SetMultiString(const RegText& path, const RegText& name, const std::vector<std::u16string>& strings);
    bool SetBinary(const RegText& path, const RegText& name, const std::vector<std::uint8_t>& data);

    std::optional<RegValue> GetValue(const RegText& path, const RegText& name) const;
    // Only a 4-byte REG_DWORD / 8-byte REG_QWORD.
    std::optional<DWORD> GetDword(const RegText& path, const RegText& name) const;
    std::optional<ULONGLONG> GetQword(const RegText& path, const RegText& name) const;
    // REG_SZ or REG_EXPAND_SZ, up to the first terminator.
    std::optional<std::u16string> GetString(const RegText& path, const RegText& name) const;
    std::optional<std::vector<std::u16string>> GetMultiString(const RegText& path, const RegText& name) const;
    bool DeleteValue(const RegText& path, const RegText& name);

    // Applies the whole text, or nothing when any line is malformed.
    RegImportResult ImportRegText(std::string_view bytes);
    RegImportResult ImportRegFile(const std::string& filePath);
    // The key and everything below it; nullopt when the key is missing (or
    // lies outside the HKEY_ roots).
    std::optional<std::string> ExportRegText(const RegText& keyPath) const;
    bool ExportRegFile(const RegText& keyPath, const std::string& filePath) const;

    // For the platform views.
    const std::shared_ptr<reg::Store>& store() const { return store_; }
    // The open key behind a predefined HKEY (index 0..3: HKEY_CLASSES_ROOT,
    // HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS), kept for the
    // machine's life so that its change notifications persist.
    std::shared_ptr<reg::KeyObject> PredefinedKey(unsigned index, std::u16string_view userSid = {});

private:
    std::shared_ptr<reg::Store> store_;
    std::shared_ptr<reg::KeyObject> predefined_[4];
};

namespace reg {

// "\REGISTRY\..." for a path in any of the styles above; nullopt when its
// root is unknown. `display`, when given, receives the HKEY_ root name the
// path starts with (empty for "\Registry" paths).
std::optional<std::u16string> NativePath(std::u16string_view path, std::u16string* display = nullptr);

}  // namespace reg

}  // namespace sim

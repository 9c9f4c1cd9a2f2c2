#include "sim/registry/registry.h"

#include "sim/registry/store.h"
#include "sim/strings.h"

#include <cstring>

namespace sim {

namespace reg {

namespace {

struct RootName {
    std::u16string_view name;
    std::u16string_view shortName;
    std::u16string_view native;  // the user's SID follows "\REGISTRY\USER\" for HKCU
    bool currentUser;
};

constexpr RootName kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", u"\\REGISTRY\\MACHINE", false},
    {u"HKEY_CURRENT_USER", u"HKCU", u"\\REGISTRY\\USER\\", true},
    {u"HKEY_CLASSES_ROOT", u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes", false},
    {u"HKEY_USERS", u"HKU", u"\\REGISTRY\\USER", false},
};

}  // namespace

std::optional<std::u16string> NativePath(std::u16string_view path, std::u16string* display) {
    if (display) display->clear();
    if (!path.empty() && path[0] == u'\\') return std::u16string(path);
    const std::size_t end = std::min(path.find(u'\\'), path.size());
    const std::u16string_view first = path.substr(0, end);
    for (const auto& root : kRoots) {
        if (!EqualsNoCase(first, root.name) && !EqualsNoCase(first, root.shortName)) continue;
        std::u16string native(root.native);
        if (root.currentUser) native += Registry::kDefaultUserSid;
        native += path.substr(end);
        if (display) *display = root.name;
        return native;
    }
    return std::nullopt;
}

}  // namespace reg

namespace {

using reg::Node;
using reg::Signals;
using reg::Store;

std::shared_ptr<Node> Find(const Store& store, std::u16string_view path) {
    auto native = reg::NativePath(path);
    if (!native) return nullptr;
    std::shared_ptr<Node> node;
    if (!NT_SUCCESS(store.Lookup(nullptr, *native, &node))) return nullptr;
    return node;
}

std::shared_ptr<Node> FindOrCreate(Store& store, std::u16string_view path, Signals& signals) {
    auto native = reg::NativePath(path);
    if (!native) return nullptr;
    std::shared_ptr<Node> node;
    if (!NT_SUCCESS(store.Create(nullptr, *native, true, {}, &node, nullptr, signals))) return nullptr;
    return node;
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text, std::size_t terminators) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve((text.size() + terminators) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), terminators * 2, 0);
    return bytes;
}

std::u16string Utf16Text(const std::vector<std::uint8_t>& bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
}

template <class T>
std::vector<std::uint8_t> LittleEndian(T value) {
    std::vector<std::uint8_t> bytes(sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

}  // namespace

RegText::RegText(std::string_view utf8) : owned_(ToU16(utf8)), view_(owned_) {}

Registry::Registry() : store_(std::make_shared<Store>()) {
    Signals signals;
    std::lock_guard lock(store_->mutex);
    for (std::u16string_view hive : {u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\MACHINE\\HARDWARE",
                                     u"\\REGISTRY\\MACHINE\\SOFTWARE", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes",
                                     u"\\REGISTRY\\MACHINE\\SYSTEM", u"\\REGISTRY\\USER",
                                     u"\\REGISTRY\\USER\\.DEFAULT"}) {
        std::shared_ptr<Node> node;
        store_->Create(nullptr, hive, false, {}, &node, nullptr, signals);
        node->permanent = true;
    }
    std::shared_ptr<Node> user;
    store_->Create(nullptr, std::u16string(u"\\REGISTRY\\USER\\") + std::u16string(kDefaultUserSid), false, {},
                   &user, nullptr, signals);
    user->permanent = true;
    store_->Create(nullptr, u"\\REGISTRY\\USER\\S-1-5-18", false, {}, &user, nullptr, signals);  // LocalSystem
    user->permanent = true;
    for (unsigned i = 0; i < 4; ++i) {
        static constexpr std::u16string_view kPredefined[] = {u"HKCR", u"HKCU", u"HKLM", u"HKU"};
        std::shared_ptr<Node> node;
        store_->Lookup(nullptr, *reg::NativePath(kPredefined[i]), &node);
        predefined_[i] = std::make_shared<reg::KeyObject>(store_, node, KEY_ALL_ACCESS);
    }
}

Registry::~Registry() {
    {
        std::lock_guard lock(store_->mutex);
        store_->ShutDown();
    }
    for (auto& key : predefined_) key.reset();
}

std::shared_ptr<reg::KeyObject> Registry::PredefinedKey(unsigned index, std::u16string_view userSid) {
    if (index >= 4) return nullptr;
    if (index != 1 || userSid.empty() || userSid == kDefaultUserSid) return predefined_[index];
    // HKEY_CURRENT_USER of another token: its hive under \REGISTRY\USER.
    Signals signals;
    std::lock_guard lock(store_->mutex);
    std::shared_ptr<Node> node;
    store_->Create(nullptr, u"\\REGISTRY\\USER\\" + std::u16string(userSid), false, {}, &node, nullptr, signals);
    node->permanent = true;
    return std::make_shared<reg::KeyObject>(store_, node, KEY_ALL_ACCESS);
}

bool Registry::CreateKey(const RegText& path) {
    Signals signals;
    std::lock_guard lock(store_->mutex);
    return FindOrCreate(*store_, path.view(), signals) != nullptr;
}

bool Registry::KeyExists(const RegText& path) const {
    std::lock_guard lock(store_->mutex);
    return Find(*store_, path.view()) != nullptr;
}

bool Registry::DeleteKey(const RegText& path) {
    Signals signals;
    std::lock_guard lock(store_->mutex);
    auto node = Find(*store_, path.view());
    return node && NT_SUCCESS(store_->DeleteTree(*node, true, signals));
}

std::vector<std::u16string> Registry::SubkeyNames(const RegText& path) const {
    std::vector<std::u16string> names;
    std::lock_guard lock(store_->mutex);
    if (auto node = Find(*store_, path.view()))
        for (auto& [upcased, child] : node->children) names.push_back(child->name);
    return names;
}

std::vector<std::u16string> Registry::ValueNames(const RegText& path) const {
    std::vector<std::u16string> names;
    std::lock_guard lock(store_->mutex);
    if (auto node = Find(*store_, path.view()))
        for (auto& value : node->values) names.push_back(value.name);
    return names;
}

bool Registry::SetValue(const RegText& path, const RegText& name, ULONG type, const std::vector<std::uint8_t>& data) {
    Signals signals;
    std::lock_guard lock(store_->mutex);
    auto node = FindOrCreate(*store_, path.view(), signals);
    return node && NT_SUCCESS(store_->SetValue(*node, name.view(), type, data.data(), data.size(), signals));
}

bool Registry::SetDword(const RegText& path, const RegText& name, DWORD value) {
    return SetValue(path, name, REG_DWORD, LittleEndian(value));
}

bool Registry::SetQword(const RegText& path, const RegText& name, ULONGLONG value) {
    return SetValue(path, name, REG_QWORD, LittleEndian(value));
}

bool Registry::SetString(const RegText& path, const RegText& name, const RegText& value, ULONG type) {
    return SetValue(path, name, type, Utf16Bytes(value.view(), 1));
}

bool Registry::SetMultiString(const RegText& path, const RegText& name, const std::vector<std::u16string>& strings) {
    std::u16string joined;
    for (auto& s : strings) {
        joined += s;
        joined += u'\0';
    }
    return SetValue(path, name, REG_MULTI_SZ, Utf16Bytes(joined, 1));
}

bool Registry::SetBinary(const RegText& path, const RegText& name, const std::vector<std::uint8_t>& data) {
    return SetValue(path, name, REG_BINARY, data);
}

std::optional<RegValue> Registry::GetValue(const RegText& path, const RegText& name) const {
    std::lock_guard lock(store_->mutex);
    auto node = Find(*store_, path.view());
    if (!node) return std::nullopt;
    const reg::Value* value = node->FindValue(name.view());
    if (!value) return std::nullopt;
    return RegValue{value->type, value->data};
}

std::optional<DWORD> Registry::GetDword(const RegText& path, const RegText& name) const {
    auto value = GetValue(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    DWORD result;
    std::memcpy(&result, value->data.data(), 4);
    return result;
}

std::optional<ULONGLONG> Registry::GetQword(const RegText& path, const RegText& name) const {
    auto value = GetValue(path, name);
    if (!value || value->type != REG_QWORD || value->data.size() != 8) return std::nullopt;
    ULONGLONG result;
    std::memcpy(&result, value->data.data(), 8);
    return result;
}

std::optional<std::u16string> Registry::GetString(const RegText& path, const RegText& name) const {
    auto value = GetValue(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text = Utf16Text(value->data);
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::optional<std::vector<std::u16string>> Registry::GetMultiString(const RegText& path, const RegText& name) const {
    auto value = GetValue(path, name);
    if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
    const std::u16string text = Utf16Text(value->data);
    std::vector<std::u16string> strings;
    // Each string ends at a terminator; an empty string ends the list.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos) end = text.size();
        if (end == start) break;
        strings.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

bool Registry::DeleteValue(const RegText& path, const RegText& name) {
    Signals signals;
    std::lock_guard lock(store_->mutex);
    auto node = Find(*store_, path.view());
    return node && NT_SUCCESS(store_->DeleteValue(*node, name.view(), signals));
}

}  // namespace sim

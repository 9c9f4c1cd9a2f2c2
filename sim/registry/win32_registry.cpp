// The user view of the registry: advapi32's Reg*W functions over the
// machine's store. Unlike the kernel view, these check the rights a handle
// was opened with.
#include "platform/win32/registry.h"

#include "platform/kernel/dispatcher.h"
#include "sim/kernel/object_ref.h"
#include "sim/machine.h"
#include "sim/registry/registry.h"
#include "sim/registry/store.h"
#include "sim/strings.h"
#include "sim/user/handles.h"
#include "sim/user/process.h"

#include <algorithm>
#include <cstring>

namespace {

using sim::reg::KeyObject;
using sim::reg::Node;
using sim::reg::Signals;
using sim::reg::Value;

constexpr ACCESS_MASK kDelete = 0x00010000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

LSTATUS ToWin32(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND: return ERROR_PATH_NOT_FOUND;
    case STATUS_ACCESS_DENIED:
    case STATUS_CANNOT_DELETE: return ERROR_ACCESS_DENIED;
    case STATUS_KEY_DELETED: return ERROR_KEY_DELETED;
    case STATUS_INVALID_HANDLE:
    case STATUS_OBJECT_TYPE_MISMATCH: return ERROR_INVALID_HANDLE;
    case STATUS_NO_MORE_ENTRIES: return ERROR_NO_MORE_ITEMS;
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_BUFFER_TOO_SMALL: return ERROR_MORE_DATA;
    case STATUS_INVALID_PARAMETER:
    case STATUS_OBJECT_NAME_INVALID: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

std::u16string_view Str(LPCWSTR s) { return s ? std::u16string_view(s) : std::u16string_view(); }

// Index 0..3 of a predefined key, or -1.
int PredefinedIndex(HKEY key) {
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    const auto first = reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT);
    return value >= first && value <= first + 3 ? static_cast<int>(value - first) : -1;
}

LSTATUS Resolve(HKEY hKey, std::shared_ptr<KeyObject>* out) {
    if (int index = PredefinedIndex(hKey); index >= 0) {
        // HKEY_CURRENT_USER is the hive of the calling process's user.
        *out = sim::CurrentMachine().registry().PredefinedKey(static_cast<unsigned>(index),
                                                              sim::CurrentProcess().token().userSid);
        return ERROR_SUCCESS;
    }
    return ToWin32(sim::reg::ReferenceKey(reinterpret_cast<HANDLE>(hKey), out, true));
}

// Resolves and checks that the handle carries `needed`.
LSTATUS ResolveWith(HKEY hKey, ACCESS_MASK needed, std::shared_ptr<KeyObject>* out) {
    LSTATUS error = Resolve(hKey, out);
    if (error != ERROR_SUCCESS) return error;
    return ((*out)->granted & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

HKEY NewHandle(const KeyObject& base, const std::shared_ptr<Node>& node, REGSAM sam) {
    return reinterpret_cast<HKEY>(sim::reg::InsertKey(base.store, node, sim::reg::MapKeyAccess(sam), nullptr, true));
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RegQueryValueExW's courtesy: string data stored without a terminator gets
// one when the buffer has room; it is not counted in the size.
void TerminateIfRoom(DWORD type, const std::vector<std::uint8_t>& data, LPBYTE buffer, DWORD bufferSize) {
    const std::size_t size = data.size();
    if (!IsStringType(type) || size < 2 || size % 2 != 0 || size + 2 > bufferSize) return;
    if (data[size - 2] == 0 && data[size - 1] == 0) return;
    buffer[size] = 0;
    buffer[size + 1] = 0;
}

std::u16string Utf16(const std::vector<std::uint8_t>& bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
}

std::vector<std::uint8_t> Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

// The value of an environment variable as the machine defines it; the
// caller holds the store's mutex.
std::optional<std::u16string> Variable(const sim::reg::Store& store, std::u16string_view name) {
    const bool systemRoot = sim::EqualsNoCase(name, u"SystemRoot");
    const std::u16string_view keyPath =
        systemRoot ? u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
                   : u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
    std::shared_ptr<Node> node;
    if (!NT_SUCCESS(store.Lookup(nullptr, keyPath, &node))) return std::nullopt;
    const Value* value = node->FindValue(name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text = Utf16(value->data);
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    return text;
}

// ExpandEnvironmentStrings: %name% replaced when defined, else left as written.
std::u16string Expand(const sim::reg::Store& store, std::u16string_view text) {
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t open = text.find(u'%', i);
        const std::size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string_view::npos) {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, open - i);
        const std::u16string_view name = text.substr(open + 1, close - open - 1);
        if (auto value = name.empty() ? std::nullopt : Variable(store, name)) {
            out += *value;
            i = close + 1;
        } else {
            out += u'%';  // keep it, and let the closing one open the next name
            i = open + 1;
            out += text.substr(i, close - i);
            i = close;
        }
    }
    return out;
}

// Holds the event object so that a handle closed before the change does not
// lose the signal, as a real notification references its event.
LSTATUS EventSignal(HANDLE event, std::function<void()>* signal) {
    auto object = sim::LookupUserHandleAs<sim::KernelObject>(event);
    DISPATCHER_HEADER* header = object ? object->Waitable() : nullptr;
    if (!header || (header->Type != EventNotificationObject && header->Type != EventSynchronizationObject))
        return ERROR_INVALID_HANDLE;
    *signal = [object, header] { KeSetEvent(reinterpret_cast<PRKEVENT>(header), 0, FALSE); };
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::shared_ptr<KeyObject> base;
    if (LSTATUS error = Resolve(hKey, &base)) return error;
    if (Str(lpSubKey).empty() && PredefinedIndex(hKey) >= 0) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<Node> node;
    {
        std::lock_guard lock(base->store->mutex);
        if (NTSTATUS status = base->store->Lookup(base->node, Str(lpSubKey), &node); !NT_SUCCESS(status))
            return ToWin32(status);
    }
    *phkResult = NewHandle(*base, node, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    if (Str(lpSubKey).empty()) {
        std::shared_ptr<KeyObject> base;
        if (LSTATUS error = Resolve(hKey, &base)) return error;
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExW(hKey, lpSubKey, 0, kMaximumAllowed, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    // Symbolic links are not modelled; refuse rather than make a plain key.
    if (dwOptions & REG_OPTION_CREATE_LINK) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> base;
    if (LSTATUS error = Resolve(hKey, &base)) return error;
    std::shared_ptr<Node> node;
    ULONG disposition = 0;
    {
        Signals signals;
        std::lock_guard lock(base->store->mutex);
        NTSTATUS status =
            base->store->Create(base->node, Str(lpSubKey), true, Str(lpClass), &node, &disposition, signals);
        if (!NT_SUCCESS(status)) return ToWin32(status);
    }
    if (lpdwDisposition) *lpdwDisposition = disposition;
    *phkResult = NewHandle(*base, node, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    if (Str(lpSubKey).empty()) return RegOpenKeyW(hKey, nullptr, phkResult);
    return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, 0, kMaximumAllowed, nullptr, phkResult, nullptr);
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (PredefinedIndex(hKey) >= 0) return ERROR_SUCCESS;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = Resolve(hKey, &key)) return error;
    key.reset();  // the close below may be the last reference
    return sim::CloseUserHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_QUERY_VALUE, &key)) return error;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return ERROR_KEY_DELETED;
    const Value* value = key->node->FindValue(Str(lpValueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value->data.data(), size);
        TerminateIfRoom(value->type, value->data, lpData, *lpcbData);
    }
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                     LPDWORD pcbData) {
    if ((dwFlags & RRF_RT_ANY) == 0 || (pvData != nullptr && pcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    // An expanded REG_EXPAND_SZ is a REG_SZ: asking for the type without
    // RRF_NOEXPAND cannot be met.
    if ((dwFlags & RRF_RT_ANY) == RRF_RT_REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) return ERROR_INVALID_PARAMETER;
    const DWORD bufferSize = pcbData ? *pcbData : 0;
    auto fail = [&](LSTATUS error) {
        if ((dwFlags & RRF_ZEROONFAILURE) && pvData) std::memset(pvData, 0, bufferSize);
        return error;
    };

    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = Str(lpSubKey).empty() ? ResolveWith(hkey, KEY_QUERY_VALUE, &key) : Resolve(hkey, &key))
        return fail(error);
    DWORD type;
    std::vector<std::uint8_t> data;
    {
        std::lock_guard lock(key->store->mutex);
        std::shared_ptr<Node> node;
        if (NTSTATUS status = key->store->Lookup(key->node, Str(lpSubKey), &node); !NT_SUCCESS(status))
            return fail(ToWin32(status));
        const Value* value = node->FindValue(Str(lpValue));
        if (!value) return fail(ERROR_FILE_NOT_FOUND);
        type = value->type;
        data = value->data;
        if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
            std::u16string text = Utf16(data);
            if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
            data = Bytes(Expand(*key->store, text));
            type = REG_SZ;
        }
    }

    static constexpr std::pair<DWORD, DWORD> kTypeFlags[] = {
        {REG_NONE, RRF_RT_REG_NONE},     {REG_SZ, RRF_RT_REG_SZ},       {REG_EXPAND_SZ, RRF_RT_REG_EXPAND_SZ},
        {REG_BINARY, RRF_RT_REG_BINARY}, {REG_DWORD, RRF_RT_REG_DWORD}, {REG_MULTI_SZ, RRF_RT_REG_MULTI_SZ},
        {REG_QWORD, RRF_RT_REG_QWORD},
    };
    const DWORD accepted = dwFlags & RRF_RT_ANY;
    DWORD typeFlag = 0;
    for (auto [t, flag] : kTypeFlags)
        if (t == type) typeFlag = flag;
    if (accepted != RRF_RT_ANY && (accepted & typeFlag) == 0) return fail(ERROR_UNSUPPORTED_TYPE);
    const bool wantsDword = type == REG_DWORD || (type == REG_BINARY && accepted == RRF_RT_DWORD);
    const bool wantsQword = type == REG_QWORD || (type == REG_BINARY && accepted == RRF_RT_QWORD);
    if ((wantsDword && data.size() != 4) || (wantsQword && data.size() != 8)) return fail(ERROR_DATATYPE_MISMATCH);

    if (IsStringType(type)) {
        // Returned strings are always terminated (twice for REG_MULTI_SZ).
        if (data.size() % 2) data.push_back(0);
        const std::size_t wanted = type == REG_MULTI_SZ ? 2 : 1;
        auto terminators = [&] {
            std::size_t n = 0;
            for (std::size_t i = data.size(); i >= 2 && n < wanted && data[i - 1] == 0 && data[i - 2] == 0; i -= 2) ++n;
            return n;
        };
        for (std::size_t n = terminators(); n < wanted; ++n) data.insert(data.end(), {0, 0});
    }

    const auto size = static_cast<DWORD>(data.size());
    if (pdwType) *pdwType = type;
    if (pvData) {
        if (bufferSize < size) {
            *pcbData = size;
            return fail(ERROR_MORE_DATA);
        }
        if (size) std::memcpy(pvData, data.data(), size);
    }
    if (pcbData) *pcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_SET_VALUE, &key)) return error;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    return ToWin32(key->store->SetValue(*key->node, Str(lpValueName), dwType, lpData, cbData, signals));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_SET_VALUE, &key)) return error;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    return ToWin32(key->store->DeleteValue(*key->node, Str(lpValueName), signals));
}

LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM /*samDesired*/, DWORD /*Reserved*/) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> base;
    if (LSTATUS error = Resolve(hKey, &base)) return error;
    Signals signals;
    std::lock_guard lock(base->store->mutex);
    std::shared_ptr<Node> node;
    if (NTSTATUS status = base->store->Lookup(base->node, Str(lpSubKey), &node); !NT_SUCCESS(status))
        return ToWin32(status);
    return ToWin32(base->store->Delete(*node, signals));
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return RegDeleteKeyExW(hKey, lpSubKey, 0, 0); }

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, kDelete | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &key)) return error;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    std::shared_ptr<Node> node;
    if (NTSTATUS status = key->store->Lookup(key->node, Str(lpSubKey), &node); !NT_SUCCESS(status))
        return ToWin32(status);
    return ToWin32(key->store->DeleteTree(*node, lpSubKey != nullptr, signals));
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_ENUMERATE_SUB_KEYS, &key)) return error;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return ERROR_KEY_DELETED;
    auto child = key->node->ChildAt(dwIndex);
    if (!child) return ERROR_NO_MORE_ITEMS;
    const auto nameLength = static_cast<DWORD>(child->name.size());
    const auto classLength = static_cast<DWORD>(child->className.size());
    if (nameLength >= *lpcchName || (lpClass && classLength >= *lpcchClass)) return ERROR_MORE_DATA;
    std::copy(child->name.begin(), child->name.end(), lpName);
    lpName[nameLength] = 0;
    *lpcchName = nameLength;
    if (lpClass) {
        std::copy(child->className.begin(), child->className.end(), lpClass);
        lpClass[classLength] = 0;
        *lpcchClass = classLength;
    }
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(child->lastWrite);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(child->lastWrite) >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    DWORD length = cchName;
    return RegEnumKeyExW(hKey, dwIndex, lpName, &length, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_QUERY_VALUE, &key)) return error;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return ERROR_KEY_DELETED;
    if (dwIndex >= key->node->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = key->node->values[dwIndex];
    const auto nameLength = static_cast<DWORD>(value.name.size());
    const auto size = static_cast<DWORD>(value.data.size());
    if (nameLength >= *lpcchValueName || (lpData && size > *lpcbData)) {
        if (lpType) *lpType = value.type;
        if (lpcbData) *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::copy(value.name.begin(), value.name.end(), lpValueName);
    lpValueName[nameLength] = 0;
    *lpcchValueName = nameLength;
    if (lpData) {
        if (size) std::memcpy(lpData, value.data.data(), size);
        TerminateIfRoom(value.type, value.data, lpData, *lpcbData);
    }
    if (lpType) *lpType = value.type;
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_QUERY_VALUE, &key)) return error;
    std::lock_guard lock(key->store->mutex);
    const Node& node = *key->node;
    if (node.deleted) return ERROR_KEY_DELETED;
    DWORD maxName = 0, maxClass = 0, maxValueName = 0, maxValue = 0;
    for (auto& [upcased, child] : node.children) {
        maxName = std::max(maxName, static_cast<DWORD>(child->name.size()));
        maxClass = std::max(maxClass, static_cast<DWORD>(child->className.size()));
    }
    for (auto& value : node.values) {
        maxValueName = std::max(maxValueName, static_cast<DWORD>(value.name.size()));
        maxValue = std::max(maxValue, static_cast<DWORD>(value.data.size()));
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(node.children.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxName;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = maxClass;
    if (lpcValues) *lpcValues = static_cast<DWORD>(node.values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxValueName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = maxValue;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;  // security is not modelled
    if (lpftLastWriteTime) {
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(node.lastWrite);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(node.lastWrite) >> 32);
    }
    const auto classLength = static_cast<DWORD>(node.className.size());
    if (lpcchClass) {
        const DWORD room = *lpcchClass;
        *lpcchClass = classLength;
        if (lpClass) {
            if (classLength >= room) return ERROR_MORE_DATA;
            std::copy(node.className.begin(), node.className.end(), lpClass);
            lpClass[classLength] = 0;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous) {
    if ((dwNotifyFilter & ~REG_LEGAL_CHANGE_FILTER) != 0 || (fAsynchronous && hEvent == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> key;
    if (LSTATUS error = ResolveWith(hKey, KEY_NOTIFY, &key)) return error;
    std::function<void()> signal;
    if (fAsynchronous)
        if (LSTATUS error = EventSignal(hEvent, &signal)) return error;

    const auto store = key->store;
    std::shared_ptr<sim::reg::NotifyRequest> request;
    std::uint64_t before = 0;
    {
        Signals signals;
        std::lock_guard lock(store->mutex);
        if (key->node->deleted) return ERROR_KEY_DELETED;
        if (!key->notify) key->notify = store->NewRequest(key->node);
        request = key->notify;
        before = request->completions;
        const bool completed = store->Arm(*request, dwNotifyFilter, bWatchSubtree != 0, std::move(signal), signals);
        if (fAsynchronous || completed) return ERROR_SUCCESS;
    }
    // Waiting must not keep the key object alive: closing its handle is one
    // of the things that ends the wait (and its destructor takes the mutex).
    key.reset();
    std::unique_lock lock(store->mutex);
    store->notified.wait(lock, [&] { return request->completions != before || store->shutDown; });
    return ERROR_SUCCESS;
}

LSTATUS RegFlushKey(HKEY hKey) {
    std::shared_ptr<KeyObject> key;
    return Resolve(hKey, &key);
}

// The kernel view of the registry: Zw* routines over the machine's store.
//
// Kernel-mode callers pass the handle's granted access unchecked (the Zw
// routines run with a kernel-mode previous mode), so nothing here checks it.
// A null pointer where Windows requires memory is a verifier stop: on a real
// machine the kernel-mode access violation is a bug check.
#include "platform/registry/zw.h"

#include "sim/registry/info.h"
#include "sim/registry/registry.h"
#include "sim/registry/store.h"
#include "sim/user/process.h"
#include "sim/verifier.h"

#include <string_view>

namespace {

using sim::reg::KeyObject;
using sim::reg::Node;
using sim::reg::Signals;

std::u16string_view View(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return {s->Buffer, static_cast<std::size_t>(s->Length / sizeof(WCHAR))};
}

void Require(const void* pointer, const char* routine, const char* what) {
    if (pointer == nullptr) sim::VerifierStop("%s: %s is a null pointer", routine, what);
}

void RequireBuffer(const void* buffer, ULONG length, const char* routine) {
    if (buffer == nullptr && length != 0) sim::VerifierStop("%s: null buffer of %u bytes", routine, length);
}

// The start of a name lookup: the root key handle, or none for an absolute name.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, std::shared_ptr<KeyObject>* root,
                           std::u16string_view* name) {
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    if (attributes->ObjectName == nullptr) return STATUS_OBJECT_NAME_INVALID;
    *name = View(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = sim::reg::ReferenceKey(attributes->RootDirectory, root);
        if (!NT_SUCCESS(status)) return status;
        // A root handle takes names relative to it.
        if (!name->empty() && (*name)[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(const char* routine, PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                      POBJECT_ATTRIBUTES attributes, bool create, UNICODE_STRING* className, PULONG disposition) {
    Require(keyHandle, routine, "KeyHandle");
    Require(attributes, routine, "ObjectAttributes");
    *keyHandle = nullptr;
    std::shared_ptr<KeyObject> root;
    std::u16string_view name;
    NTSTATUS status = ResolveAttributes(attributes, &root, &name);
    if (!NT_SUCCESS(status)) return status;
    auto store = root ? root->store : sim::reg::CurrentStore();
    std::shared_ptr<Node> node;
    {
        Signals signals;
        std::lock_guard lock(store->mutex);
        const std::shared_ptr<Node> base = root ? root->node : nullptr;
        status = create ? store->Create(base, name, false, View(className), &node, disposition, signals)
                        : store->Lookup(base, name, &node);
    }
    if (!NT_SUCCESS(status)) return status;
    *keyHandle = sim::reg::InsertKey(store, node, sim::reg::MapKeyAccess(desiredAccess), attributes);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return OpenOrCreate("ZwOpenKey", KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG /*TitleIndex*/, UNICODE_STRING* Class, ULONG CreateOptions, PULONG Disposition) {
    // Symbolic links are not modelled; refuse rather than make a plain key.
    if (CreateOptions & REG_OPTION_CREATE_LINK) return STATUS_INVALID_PARAMETER;
    return OpenOrCreate("ZwCreateKey", KeyHandle, DesiredAccess, ObjectAttributes, true, Class, Disposition);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    return key->store->Delete(*key->node, signals);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength) {
    Require(ResultLength, "ZwQueryKey", "ResultLength");
    RequireBuffer(KeyInformation, Length, "ZwQueryKey");
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return STATUS_KEY_DELETED;
    return sim::reg::WriteKeyInformation(*key->node, KeyInformationClass, true, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    Require(ResultLength, "ZwEnumerateKey", "ResultLength");
    RequireBuffer(KeyInformation, Length, "ZwEnumerateKey");
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return STATUS_KEY_DELETED;
    if (KeyInformationClass == KeyNameInformation) return STATUS_INVALID_PARAMETER;
    auto child = key->node->ChildAt(Index);
    if (!child) return STATUS_NO_MORE_ENTRIES;
    return sim::reg::WriteKeyInformation(*child, KeyInformationClass, false, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    Require(ResultLength, "ZwQueryValueKey", "ResultLength");
    RequireBuffer(KeyValueInformation, Length, "ZwQueryValueKey");
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return STATUS_KEY_DELETED;
    const sim::reg::Value* value = key->node->FindValue(View(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return sim::reg::WriteValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                           ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    Require(ResultLength, "ZwEnumerateValueKey", "ResultLength");
    RequireBuffer(KeyValueInformation, Length, "ZwEnumerateValueKey");
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(key->store->mutex);
    if (key->node->deleted) return STATUS_KEY_DELETED;
    if (Index >= key->node->values.size()) return STATUS_NO_MORE_ENTRIES;
    return sim::reg::WriteValueInformation(key->node->values[Index], KeyValueInformationClass, KeyValueInformation,
                                           Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName, ULONG /*TitleIndex*/, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    RequireBuffer(Data, DataSize, "ZwSetValueKey");
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    return key->store->SetValue(*key->node, View(ValueName), Type, Data, DataSize, signals);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, UNICODE_STRING* ValueName) {
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    Signals signals;
    std::lock_guard lock(key->store->mutex);
    return key->store->DeleteValue(*key->node, View(ValueName), signals);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    std::shared_ptr<KeyObject> key;
    NTSTATUS status = sim::reg::ReferenceKey(KeyHandle, &key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(key->store->mutex);
    return key->node->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    RelativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (RelativeTo & RTL_REGISTRY_HANDLE) {
        std::shared_ptr<KeyObject> key;
        NTSTATUS status = sim::reg::ReferenceKey(static_cast<HANDLE>(Path), &key);
        if (!NT_SUCCESS(status)) return status;
        std::lock_guard lock(key->store->mutex);
        return key->node->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    }
    Require(Path, "RtlCheckRegistryKey", "Path");
    static constexpr std::u16string_view kBases[] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\",
        u"\\Registry\\Machine\\Hardware\\DeviceMap\\",
        u"\\Registry\\User\\",  // followed by the user's SID
    };
    if (RelativeTo >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
    std::u16string full(kBases[RelativeTo]);
    if (RelativeTo == RTL_REGISTRY_USER) {
        full += sim::CurrentProcess().token().userSid;
        full += u'\\';
    }
    full += Path;
    auto store = sim::reg::CurrentStore();
    std::shared_ptr<Node> node;
    std::lock_guard lock(store->mutex);
    return store->Lookup(nullptr, full, &node);
}

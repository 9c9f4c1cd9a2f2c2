#include "driver/core/device_registry.h"

#include "driver/core/registry_access.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/ks/mmreg.h"
#include "platform/registry/registry_types.h"
#include "platform/registry/zw.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr ULONG kTag = PoolTag("USBA");
constexpr WCHAR kEnumKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// A zeroed pool buffer freed when the scope ends.
struct PoolBuffer {
    PoolBuffer() = default;
    explicit PoolBuffer(ULONG bytes) { Allocate(bytes); }
    ~PoolBuffer() {
        if (data != nullptr) ExFreePoolWithTag(data, kTag);
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    bool Allocate(ULONG bytes) {
        data = ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kTag);
        size = data != nullptr ? bytes : 0;
        return data != nullptr;
    }
    void* data = nullptr;
    ULONG size = 0;
};

// Reads a device property whose size is not known in advance; the buffer
// holds two extra zero characters, so strings and lists are terminated.
NTSTATUS ReadProperty(DEVICE_OBJECT* pdo, DEVICE_REGISTRY_PROPERTY property, PoolBuffer* result) {
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, property, 0, nullptr, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && !NT_SUCCESS(status)) return status;
    if (needed == 0) return STATUS_UNSUCCESSFUL;
    if (!result->Allocate(needed + sizeof(WCHAR) * 2)) return STATUS_INSUFFICIENT_RESOURCES;
    return IoGetDeviceProperty(pdo, property, needed, result->data, &needed);
}

ULONG Chars(PCWSTR text) {
    ULONG n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// Appends `count` characters; false when they do not fit.
bool Append(UNICODE_STRING* s, const WCHAR* text, ULONG count) {
    if (s->Length + count * sizeof(WCHAR) > s->MaximumLength) return false;
    std::memcpy(reinterpret_cast<UCHAR*>(s->Buffer) + s->Length, text, count * sizeof(WCHAR));
    s->Length = static_cast<USHORT>(s->Length + count * sizeof(WCHAR));
    return true;
}

// The endpoint's instance-path value matches with or without its leading
// "{n}." prefix.
bool MatchesInstancePath(const UNICODE_STRING* value, const UNICODE_STRING* wanted) {
    UNICODE_STRING rest = *value;
    const ULONG chars = rest.Length / sizeof(WCHAR);
    if (chars > 0 && rest.Buffer[0] == u'{') {
        for (ULONG i = 1; i + 1 < chars; ++i)
            if (rest.Buffer[i] == u'}') {
                if (rest.Buffer[i + 1] == u'.') {
                    rest.Buffer += i + 2;
                    rest.Length = static_cast<USHORT>((chars - i - 2) * sizeof(WCHAR));
                    rest.MaximumLength = rest.Length;
                }
                break;
            }
    }
    return RtlEqualUnicodeString(&rest, wanted, TRUE) != 0;
}

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

// The position of `needle` in `haystack` (case-insensitive), or -1.
LONG FindNoCase(const WCHAR* haystack, ULONG haystackChars, const WCHAR* needle, ULONG needleChars) {
    if (needleChars == 0 || needleChars > haystackChars) return -1;
    for (ULONG i = 0; i + needleChars <= haystackChars; ++i) {
        ULONG k = 0;
        while (k < needleChars && Upcase(haystack[i + k]) == Upcase(needle[k])) ++k;
        if (k == needleChars) return static_cast<LONG>(i);
    }
    return -1;
}

}  // namespace

DeviceRegistry::DeviceRegistry()
    : pathBuffer_{},
      renderBuffer_{},
      captureBuffer_{},
      path_{0, sizeof(pathBuffer_), pathBuffer_},
      render_{0, sizeof(renderBuffer_), renderBuffer_},
      capture_{0, sizeof(captureBuffer_), captureBuffer_} {}

NTSTATUS DeviceRegistry::ReadDeviceValue(DEVICE_OBJECT* pdo, PCWSTR name, ULONG* value) {
    HANDLE handle = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &handle);
    if (!NT_SUCCESS(status)) return status;
    RegistryKey key;
    key.Adopt(handle);
    // Only the first four bytes matter, whatever the value's length.
    UCHAR data[64] = {};
    ULONG length = 0;
    status = key.QueryValue(name, data, sizeof(data), &length);
    if (status == STATUS_BUFFER_OVERFLOW) {
        PoolBuffer big(length);
        if (big.data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = key.QueryValue(name, big.data, length, &length);
        if (NT_SUCCESS(status)) std::memcpy(data, big.data, 4);
    }
    if (!NT_SUCCESS(status)) return status;
    ULONG result = 0;
    std::memcpy(&result, data, length < 4 ? length : 4);
    *value = result;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceRegistry::WriteInitialized(DEVICE_OBJECT* pdo, ULONG value) {
    HANDLE handle = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &handle);
    if (!NT_SUCCESS(status)) return status;
    RegistryKey key;
    key.Adopt(handle);
    return key.SetValue(kInitializedValue, REG_DWORD, &value, sizeof(value));
}

NTSTATUS DeviceRegistry::WriteClockSourceList(DEVICE_OBJECT* pdo, const UCHAR* ids, ULONG count) {
    return IoSetDevicePropertyData(pdo, &DEVPKEY_Uac2ClockSourceList, LOCALE_NEUTRAL, PLUGPLAY_PROPERTY_PERSISTENT,
                                   DEVPROP_TYPE_BINARY, count, const_cast<UCHAR*>(ids));
}

NTSTATUS DeviceRegistry::ReadClockSource(DEVICE_OBJECT* pdo, ULONG* clockId) {
    ULONG value = 0, size = 0;
    DEVPROPTYPE type = 0;
    const NTSTATUS status =
        IoGetDevicePropertyData(pdo, &DEVPKEY_Uac2ClockSource, LOCALE_NEUTRAL, 0, sizeof(value), &value, &size, &type);
    if (!NT_SUCCESS(status)) return status;
    if (type != DEVPROP_TYPE_UINT32 || size != sizeof(value)) return STATUS_UNSUCCESSFUL;
    *clockId = value;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceRegistry::WriteClockSource(DEVICE_OBJECT* pdo, ULONG clockId) {
    return IoSetDevicePropertyData(pdo, &DEVPKEY_Uac2ClockSource, LOCALE_NEUTRAL, PLUGPLAY_PROPERTY_PERSISTENT,
                                   DEVPROP_TYPE_UINT32, sizeof(clockId), &clockId);
}

NTSTATUS DeviceRegistry::FindDevicePath(DEVICE_OBJECT* pdo) {
    path_.Length = 0;
    PoolBuffer ids;
    NTSTATUS status = ReadProperty(pdo, DevicePropertyHardwareID, &ids);
    if (!NT_SUCCESS(status)) return status;

    // 1. The first hardware id that has a key under Enum.
    const ULONG enumChars = Chars(kEnumKey);
    const WCHAR* found = nullptr;
    ULONG foundChars = 0;
    PoolBuffer keyPath((enumChars + 260) * sizeof(WCHAR));
    status = keyPath.data == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_NO_MATCH;
    // One character is kept back for the terminator RtlCheckRegistryKey needs.
    UNICODE_STRING enumPath{0, static_cast<USHORT>(keyPath.size - sizeof(WCHAR)), static_cast<WCHAR*>(keyPath.data)};
    for (auto* id = static_cast<const WCHAR*>(ids.data); keyPath.data != nullptr && *id != 0; id += Chars(id) + 1) {
        enumPath.Length = 0;
        if (!Append(&enumPath, kEnumKey, enumChars) || !Append(&enumPath, id, Chars(id))) continue;
        reinterpret_cast<WCHAR*>(keyPath.data)[enumPath.Length / sizeof(WCHAR)] = 0;
        if (NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, enumPath.Buffer))) {
            found = id;
            foundChars = Chars(id);
            status = STATUS_SUCCESS;
            break;
        }
    }
    if (NT_SUCCESS(status) && !Append(&path_, found, foundChars)) status = STATUS_BUFFER_TOO_SMALL;
    if (NT_SUCCESS(status) && !Append(&path_, u"\\", 1)) status = STATUS_BUFFER_TOO_SMALL;
    if (!NT_SUCCESS(status)) {
        path_.Length = 0;
        return status;
    }

    // 2. The instance part: the Enum subkey with the device's container id.
    WCHAR instanceBuffer[200];
    UNICODE_STRING instance{0, sizeof(instanceBuffer), instanceBuffer};
    PoolBuffer container;
    status = ReadProperty(pdo, DevicePropertyContainerID, &container);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING wanted;
        RtlInitUnicodeString(&wanted, static_cast<const WCHAR*>(container.data));
        status = FindRegistryRefKey(&enumPath, nullptr, u"ContainerID", &wanted, RegistryTextEqualsNoCase, &instance);
    }
    if (!NT_SUCCESS(status)) {
        // Else the component after the hardware id in the hardware key's name.
        HANDLE handle = nullptr;
        status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &handle);
        if (NT_SUCCESS(status)) {
            RegistryKey key;
            key.Adopt(handle);
            PoolBuffer name(sizeof(KEY_NAME_INFORMATION) + 1024 * sizeof(WCHAR));
            ULONG result = 0;
            status = name.data == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                          : ZwQueryKey(key.get(), KeyNameInformation, name.data, name.size, &result);
            if (NT_SUCCESS(status)) {
                const auto* info = static_cast<const KEY_NAME_INFORMATION*>(name.data);
                const ULONG chars = info->NameLength / sizeof(WCHAR);
                const LONG at = FindNoCase(info->Name, chars, found, foundChars);
                ULONG start = at < 0 ? chars : static_cast<ULONG>(at) + foundChars;
                status = STATUS_NO_MATCH;
                if (start < chars && info->Name[start] == u'\\') {
                    ++start;
                    ULONG end = start;
                    while (end < chars && info->Name[end] != u'\\') ++end;
                    if (end > start)
                        status = Append(&instance, info->Name + start, end - start) ? STATUS_SUCCESS
                                                                                     : STATUS_BUFFER_TOO_SMALL;
                }
            }
        }
    }
    if (NT_SUCCESS(status) && !Append(&path_, instance.Buffer, instance.Length / sizeof(WCHAR)))
        status = STATUS_BUFFER_TOO_SMALL;
    if (!NT_SUCCESS(status)) {
        path_.Length = 0;
        return status;
    }
    MODEL_TRACE(TRACE_LEVEL_INFORMATION, "device instance path found (%u characters)", path_.Length / 2u);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceRegistry::FindEndpoints() {
    if (EndpointsFound()) return STATUS_SUCCESS;
    const ULONG rootChars = Chars(kMmDevicesAudioKey);
    WCHAR buffer[sizeof(kMmDevicesAudioKey) / sizeof(WCHAR) + 16];
    for (bool capture : {false, true}) {
        UNICODE_STRING key{0, sizeof(buffer), buffer};
        Append(&key, kMmDevicesAudioKey, rootChars);
        Append(&key, u"\\", 1);
        const WCHAR* direction = capture ? kCaptureSubkey : kRenderSubkey;
        Append(&key, direction, Chars(direction));
        UNICODE_STRING* name = capture ? &capture_ : &render_;
        if (name->Length != 0) continue;  // found before
        NTSTATUS status = FindRegistryRefKey(&key, kEndpointPropertiesSubkey, kEndpointInstancePathValue, &path_,
                                             MatchesInstancePath, name);
        if (status == STATUS_NO_MATCH) status = STATUS_INVALID_DEVICE_REQUEST;
        if (status == STATUS_INVALID_DEVICE_REQUEST) {
            name->Length = 0;  // no endpoint in this direction: not an error
            continue;
        }
        if (!NT_SUCCESS(status)) {
            name->Length = 0;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeviceRegistry::OpenEndpointProperties(bool capture, RegistryKey* key, ACCESS_MASK access) const {
    const UNICODE_STRING& name = EndpointName(capture);
    if (name.Length == 0) return STATUS_INVALID_DEVICE_REQUEST;
    WCHAR buffer[sizeof(kMmDevicesAudioKey) / sizeof(WCHAR) + 16 + kEndpointKeyNameBytes / sizeof(WCHAR) + 16];
    UNICODE_STRING path{0, sizeof(buffer), buffer};
    const WCHAR* direction = capture ? kCaptureSubkey : kRenderSubkey;
    Append(&path, kMmDevicesAudioKey, Chars(kMmDevicesAudioKey));
    Append(&path, u"\\", 1);
    Append(&path, direction, Chars(direction));
    Append(&path, u"\\", 1);
    Append(&path, name.Buffer, name.Length / sizeof(WCHAR));
    Append(&path, u"\\", 1);
    Append(&path, kEndpointPropertiesSubkey, Chars(kEndpointPropertiesSubkey));
    return key->Open(&path, access);
}

NTSTATUS DeviceRegistry::ReadEndpointFormat(bool capture, ULONG* channels, ULONG* bits, ULONG* rate) const {
    RegistryKey properties;
    NTSTATUS status = OpenEndpointProperties(capture, &properties, KEY_READ);
    if (!NT_SUCCESS(status)) return status;
    UCHAR data[sizeof(EndpointFormatHeader) + 64] = {};
    ULONG length = 0;
    status = properties.QueryValue(kEndpointDeviceFormatValue, data, sizeof(data), &length);
    if (!NT_SUCCESS(status)) return status;
    return ParseEndpointFormat(data, length, channels, bits, rate);
}

NTSTATUS ParseEndpointFormat(const UCHAR* value, ULONG length, ULONG* channels, ULONG* bits, ULONG* rate) {
    // The header, then at least the fixed part of a WAVEFORMATEX, and no
    // more format than the value holds.
    if (value == nullptr || length < sizeof(EndpointFormatHeader) + offsetof(WAVEFORMATEX, cbSize))
        return STATUS_UNSUCCESSFUL;
    EndpointFormatHeader header;
    std::memcpy(&header, value, sizeof(header));
    if (header.formatBytes < offsetof(WAVEFORMATEX, cbSize) || header.formatBytes > length - sizeof(header))
        return STATUS_UNSUCCESSFUL;
    // cbSize and what follows it are not needed: only the fixed part is read.
    WAVEFORMATEX format{};
    std::memcpy(&format, value + sizeof(EndpointFormatHeader), offsetof(WAVEFORMATEX, cbSize));
    *channels = format.nChannels;
    *bits = format.wBitsPerSample;
    *rate = format.nSamplesPerSec;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceRegistry::ReadEndpointRate(bool capture, ULONG* rate) const {
    ULONG channels = 0, bits = 0;
    return ReadEndpointFormat(capture, &channels, &bits, rate);
}

NTSTATUS DeviceRegistry::ClearEndpointCache() const {
    NTSTATUS result = STATUS_SUCCESS;
    for (bool capture : {false, true}) {
        RegistryKey properties;
        NTSTATUS status = OpenEndpointProperties(capture, &properties, KEY_SET_VALUE);
        if (NT_SUCCESS(status)) {
            status = properties.DeleteValue(kEndpointCachedValue);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            MODEL_TRACE(TRACE_LEVEL_WARNING, "clearing the %s endpoint's cache: 0x%08x", capture ? "capture" : "render",
                        static_cast<unsigned>(status));
            if (NT_SUCCESS(result)) result = status;
        }
    }
    return result;
}

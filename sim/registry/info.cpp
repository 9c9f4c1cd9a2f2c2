#include "sim/registry/info.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace sim::reg {

namespace {

constexpr ULONG kNoOffset = 0xFFFFFFFF;

ULONG Bytes(std::u16string_view text) { return static_cast<ULONG>(text.size() * sizeof(WCHAR)); }

constexpr ULONG AlignUp4(ULONG offset) { return (offset + 3u) & ~3u; }

// A variable part of a record: `size` bytes placed at `offset`.
struct Part {
    const void* data;
    ULONG size;
    ULONG offset;
};

// The common rule: the full size always goes to *resultLength; a buffer
// shorter than the fixed header gets nothing (STATUS_BUFFER_TOO_SMALL); else
// the header and as much of each part as fits, STATUS_BUFFER_OVERFLOW when
// anything was cut.
NTSTATUS Emit(void* buffer, ULONG length, const void* header, ULONG headerSize, std::initializer_list<Part> parts,
              ULONG total, ULONG* resultLength) {
    *resultLength = total;
    if (length < headerSize) return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out, header, headerSize);
    NTSTATUS status = STATUS_SUCCESS;
    for (const Part& part : parts) {
        if (part.size == 0) continue;
        const ULONG room = part.offset < length ? length - part.offset : 0;
        const ULONG n = std::min(room, part.size);
        if (n < part.size) status = STATUS_BUFFER_OVERFLOW;
        if (n > 0) std::memcpy(out + part.offset, part.data, n);
    }
    return status;
}

LARGE_INTEGER Time(LONGLONG stamp) {
    LARGE_INTEGER t;
    t.QuadPart = stamp;
    return t;
}

}  // namespace

NTSTATUS WriteKeyInformation(const Node& node, KEY_INFORMATION_CLASS infoClass, bool allowName, void* buffer,
                             ULONG length, ULONG* resultLength) {
    const ULONG nameBytes = Bytes(node.name);
    const ULONG classBytes = Bytes(node.className);
    switch (infoClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION h{};
        h.LastWriteTime = Time(node.lastWrite);
        h.NameLength = nameBytes;
        constexpr ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        return Emit(buffer, length, &h, fixed, {{node.name.data(), nameBytes, fixed}}, fixed + nameBytes,
                    resultLength);
    }
    case KeyNodeInformation: {
        KEY_NODE_INFORMATION h{};
        h.LastWriteTime = Time(node.lastWrite);
        h.NameLength = nameBytes;
        h.ClassLength = classBytes;
        constexpr ULONG fixed = offsetof(KEY_NODE_INFORMATION, Name);
        const ULONG classOffset = AlignUp4(fixed + nameBytes);
        h.ClassOffset = classBytes ? classOffset : kNoOffset;
        const ULONG total = classBytes ? classOffset + classBytes : fixed + nameBytes;
        return Emit(buffer, length, &h, fixed,
                    {{node.name.data(), nameBytes, fixed}, {node.className.data(), classBytes, classOffset}}, total,
                    resultLength);
    }
    case KeyFullInformation: {
        KEY_FULL_INFORMATION h{};
        h.LastWriteTime = Time(node.lastWrite);
        h.ClassLength = classBytes;
        constexpr ULONG fixed = offsetof(KEY_FULL_INFORMATION, Class);
        h.ClassOffset = classBytes ? fixed : kNoOffset;
        h.SubKeys = static_cast<ULONG>(node.children.size());
        for (auto& [upcased, child] : node.children) {
            h.MaxNameLen = std::max(h.MaxNameLen, Bytes(child->name));
            h.MaxClassLen = std::max(h.MaxClassLen, Bytes(child->className));
        }
        h.Values = static_cast<ULONG>(node.values.size());
        for (auto& value : node.values) {
            h.MaxValueNameLen = std::max(h.MaxValueNameLen, Bytes(value.name));
            h.MaxValueDataLen = std::max(h.MaxValueDataLen, static_cast<ULONG>(value.data.size()));
        }
        return Emit(buffer, length, &h, fixed, {{node.className.data(), classBytes, fixed}}, fixed + classBytes,
                    resultLength);
    }
    case KeyNameInformation: {
        if (!allowName) break;
        const std::u16string fullName = Store::FullName(node);
        const ULONG fullBytes = Bytes(fullName);
        KEY_NAME_INFORMATION h{};
        h.NameLength = fullBytes;
        constexpr ULONG fixed = offsetof(KEY_NAME_INFORMATION, Name);
        return Emit(buffer, length, &h, fixed, {{fullName.data(), fullBytes, fixed}}, fixed + fullBytes,
                    resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS WriteValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length,
                               ULONG* resultLength) {
    const ULONG nameBytes = Bytes(value.name);
    const ULONG dataBytes = static_cast<ULONG>(value.data.size());
    switch (infoClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION h{};
        h.Type = value.type;
        h.NameLength = nameBytes;
        constexpr ULONG fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        return Emit(buffer, length, &h, fixed, {{value.name.data(), nameBytes, fixed}}, fixed + nameBytes,
                    resultLength);
    }
    case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION h{};
        h.Type = value.type;
        h.NameLength = nameBytes;
        h.DataLength = dataBytes;
        constexpr ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG dataOffset = AlignUp4(fixed + nameBytes);
        h.DataOffset = dataBytes ? dataOffset : kNoOffset;
        const ULONG total = dataBytes ? dataOffset + dataBytes : fixed + nameBytes;
        return Emit(buffer, length, &h, fixed,
                    {{value.name.data(), nameBytes, fixed}, {value.data.data(), dataBytes, dataOffset}}, total,
                    resultLength);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION h{};
        h.Type = value.type;
        h.DataLength = dataBytes;
        constexpr ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return Emit(buffer, length, &h, fixed, {{value.data.data(), dataBytes, fixed}}, fixed + dataBytes,
                    resultLength);
    }
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace sim::reg

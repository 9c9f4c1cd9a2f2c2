// The version resource (VS_VERSIONINFO): a tree of blocks, each a length, a
// value length, a type (0 binary, 1 text), a key, its value and its
// children. VerQueryValueW walks that tree inside the caller's copy of the
// resource, so the query answers with a place in the given bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace sim::resources {

// VS_FIXEDFILEINFO, the value of the root block ("\").
struct FixedFileInfo {
    std::uint32_t signature;  // 0xFEEF04BD
    std::uint32_t structVersion;
    std::uint32_t fileVersionMS;
    std::uint32_t fileVersionLS;
    std::uint32_t productVersionMS;
    std::uint32_t productVersionLS;
    std::uint32_t fileFlagsMask;
    std::uint32_t fileFlags;
    std::uint32_t fileOS;
    std::uint32_t fileType;
    std::uint32_t fileSubtype;
    std::uint32_t fileDateMS;
    std::uint32_t fileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// Where a value lies inside the resource bytes: `offset` and `length` in
// bytes for binary values; for text values `length` counts UTF-16 units
// including the terminator, as VerQueryValueW reports it.
struct VersionValue {
    std::size_t offset = 0;
    std::uint32_t length = 0;
    bool text = false;
};

// The value at `subBlock` ("\" for the fixed information, or a path such as
// "\StringFileInfo\040904b0\ProductVersion", keys compared
// case-insensitively); nullopt when absent or when the bytes are malformed.
std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> resource, std::u16string_view subBlock);

// The fixed information of a version resource, nullopt when missing.
std::optional<FixedFileInfo> ReadFixedFileInfo(std::span<const std::uint8_t> resource);

}  // namespace sim::resources

// A compiled resource file (.res, the output of windres or rc): the
// resources a Windows build links into an image, read by the simulated
// machine's loader so that both see the same bytes.
//
// The file is a sequence of DWORD-aligned entries, each a header (data size,
// header size, type, name, language …) followed by the data. Types and
// names are either 16-bit ordinals or UTF-16 strings (compared
// case-insensitively, as FindResourceW does). Every length in the file is
// checked against the file's end: a truncated or malformed file is refused
// as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::resources {

// The predefined resource types (winuser.h RT_*).
inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtDialog = 5;
inline constexpr std::uint16_t kRtString = 6;
inline constexpr std::uint16_t kRtRcData = 10;
inline constexpr std::uint16_t kRtGroupIcon = 14;
inline constexpr std::uint16_t kRtVersion = 16;

// A resource type or name: an ordinal (MAKEINTRESOURCE) or a string.
struct ResourceId {
    std::optional<std::uint16_t> ordinal;
    std::u16string name;  // when not an ordinal; compared case-insensitively

    static ResourceId Ordinal(std::uint16_t id) { return {id, {}}; }
    static ResourceId Named(std::u16string text) { return {std::nullopt, std::move(text)}; }
    bool Matches(const ResourceId& other) const;
};

struct Resource {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::vector<std::uint8_t> data;
};

class ResourceFile {
public:
    // Parses the bytes of a .res file; nullopt with `error` set when it is
    // malformed.
    static std::optional<ResourceFile> Parse(std::span<const std::uint8_t> bytes, std::string* error);
    static std::optional<ResourceFile> Load(const std::string& path, std::string* error);

    const std::vector<Resource>& All() const { return resources_; }
    // The first resource of that type and name (any language), or null.
    const Resource* Find(const ResourceId& type, const ResourceId& name) const;
    // LoadStringW: string `id` of the string tables, nullopt when absent or
    // empty.
    std::optional<std::u16string> String(std::uint16_t id) const;

private:
    std::vector<Resource> resources_;
};

}  // namespace sim::resources

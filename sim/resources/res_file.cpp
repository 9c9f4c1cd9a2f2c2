#include "sim/resources/res_file.h"

#include "sim/resources/reader.h"
#include "sim/strings.h"

#include <fstream>
#include <iterator>

namespace sim::resources {

bool ResourceId::Matches(const ResourceId& other) const {
    if (ordinal || other.ordinal) return ordinal == other.ordinal;
    return EqualsNoCase(name, other.name);
}

namespace {

// A type or name field of an entry header: 0xFFFF then an ordinal, or a
// NUL-terminated UTF-16 string.
std::optional<ResourceId> ReadId(ByteReader& r) {
    const auto first = r.U16();
    if (!first) return std::nullopt;
    if (*first == 0xFFFF) {
        const auto ordinal = r.U16();
        if (!ordinal) return std::nullopt;
        return ResourceId::Ordinal(*ordinal);
    }
    r.Back(2);
    auto text = r.Sz();
    if (!text) return std::nullopt;
    return ResourceId::Named(std::move(*text));
}

}  // namespace

std::optional<ResourceFile> ResourceFile::Parse(std::span<const std::uint8_t> bytes, std::string* error) {
    ResourceFile file;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        ByteReader r(bytes.subspan(offset));
        const auto dataSize = r.U32();
        const auto headerSize = r.U32();
        if (!dataSize || !headerSize || *headerSize < 32 || *headerSize > r.Size() ||
            *dataSize > r.Size() - *headerSize) {
            *error = "entry at offset " + std::to_string(offset) + " runs past the end of the file";
            return std::nullopt;
        }
        ByteReader header(bytes.subspan(offset + 8, *headerSize - 8));
        auto type = ReadId(header);
        auto name = ReadId(header);
        header.AlignTo(4, 8);
        const auto dataVersion = header.U32();
        const auto memoryFlags = header.U16();
        const auto language = header.U16();
        if (!type || !name || !dataVersion || !memoryFlags || !language) {
            *error = "malformed entry header at offset " + std::to_string(offset);
            return std::nullopt;
        }
        const auto data = bytes.subspan(offset + *headerSize, *dataSize);
        // The leading empty entry (type and name 0) marks a 32-bit file.
        if (!(type->ordinal == 0 && name->ordinal == 0 && data.empty()))
            file.resources_.push_back({std::move(*type), std::move(*name), *language, {data.begin(), data.end()}});
        offset += *headerSize + ((*dataSize + 3) & ~std::size_t{3});
    }
    return file;
}

std::optional<ResourceFile> ResourceFile::Load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return std::nullopt;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return Parse(bytes, error);
}

const Resource* ResourceFile::Find(const ResourceId& type, const ResourceId& name) const {
    for (const Resource& r : resources_)
        if (r.type.Matches(type) && r.name.Matches(name)) return &r;
    return nullptr;
}

std::optional<std::u16string> ResourceFile::String(std::uint16_t id) const {
    // Strings live in blocks of 16: block (id / 16) + 1, each string a
    // counted UTF-16 run.
    const Resource* block = Find(ResourceId::Ordinal(kRtString), ResourceId::Ordinal(static_cast<std::uint16_t>(id / 16 + 1)));
    if (block == nullptr) return std::nullopt;
    ByteReader r(block->data);
    for (unsigned i = 0; i <= id % 16u; ++i) {
        const auto length = r.U16();
        if (!length) return std::nullopt;
        auto text = r.Chars(*length);
        if (!text) return std::nullopt;
        if (i == id % 16u) {
            if (text->empty()) return std::nullopt;
            return text;
        }
    }
    return std::nullopt;
}

}  // namespace sim::resources

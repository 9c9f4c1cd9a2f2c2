#include "sim/resources/version_info.h"

#include "sim/resources/reader.h"
#include "sim/strings.h"

#include <cstring>
#include <string>

namespace sim::resources {

namespace {

struct Block {
    std::size_t start = 0;  // offset of the block in the resource
    std::size_t end = 0;    // one past its last byte
    std::u16string key;
    VersionValue value;
    std::size_t children = 0;  // offset of its first child
};

// Reads the block that begins at `start`, bounded by `limit`.
std::optional<Block> ReadBlock(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t limit) {
    if (start >= limit || limit > bytes.size()) return std::nullopt;
    ByteReader r(bytes.subspan(start, limit - start));
    const auto length = r.U16();
    const auto valueLength = r.U16();
    const auto type = r.U16();
    if (!length || !valueLength || !type || *length < 6 || *length > r.Size()) return std::nullopt;
    Block b;
    b.start = start;
    b.end = start + *length;
    auto key = r.Sz();
    if (!key) return std::nullopt;
    b.key = std::move(*key);
    r.AlignTo(4, start);
    b.value.text = *type == 1;
    const std::size_t valueBytes = b.value.text ? std::size_t{*valueLength} * 2 : *valueLength;
    b.value.offset = start + r.Offset();
    b.value.length = *valueLength;
    if (b.value.offset + valueBytes > b.end) {
        // Some compilers count a text value's bytes instead of its units;
        // never read past the block either way.
        if (b.value.offset > b.end) return std::nullopt;
        b.value.length = static_cast<std::uint32_t>(b.value.text ? (b.end - b.value.offset) / 2 : b.end - b.value.offset);
    }
    r.Skip(std::min(valueBytes, r.Left()));
    r.AlignTo(4, start);
    b.children = start + r.Offset();
    return b;
}

}  // namespace

std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> resource, std::u16string_view subBlock) {
    auto block = ReadBlock(resource, 0, resource.size());
    if (!block) return std::nullopt;
    std::size_t pos = 0;
    while (pos < subBlock.size()) {
        while (pos < subBlock.size() && subBlock[pos] == u'\\') ++pos;
        if (pos == subBlock.size()) break;
        const std::size_t next = subBlock.find(u'\\', pos);
        const std::u16string_view key = subBlock.substr(pos, next == std::u16string_view::npos ? subBlock.npos : next - pos);
        pos = next == std::u16string_view::npos ? subBlock.size() : next;
        std::optional<Block> found;
        for (std::size_t child = block->children; child + 6 <= block->end;) {
            auto c = ReadBlock(resource, child, block->end);
            if (!c) return std::nullopt;
            if (EqualsNoCase(c->key, key)) {
                found = std::move(c);
                break;
            }
            child = (c->end + 3) & ~std::size_t{3};
        }
        if (!found) return std::nullopt;
        block = std::move(found);
    }
    return block->value;
}

std::optional<FixedFileInfo> ReadFixedFileInfo(std::span<const std::uint8_t> resource) {
    const auto value = QueryVersionValue(resource, u"\\");
    if (!value || value->text || value->length < sizeof(FixedFileInfo)) return std::nullopt;
    FixedFileInfo info;
    std::memcpy(&info, resource.data() + value->offset, sizeof(info));
    if (info.signature != kFixedFileInfoSignature) return std::nullopt;
    return info;
}

}  // namespace sim::resources

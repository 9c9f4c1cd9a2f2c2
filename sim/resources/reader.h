// A bounds-checked little-endian reader over resource bytes: every read
// fails (nullopt) rather than pass the end, so a malformed resource can never
// be read past its data.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

namespace sim::resources {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t Offset() const { return offset_; }
    std::size_t Size() const { return bytes_.size(); }
    std::size_t Left() const { return bytes_.size() - offset_; }
    void Back(std::size_t n) { offset_ -= n; }
    bool Skip(std::size_t n) {
        if (n > Left()) return false;
        offset_ += n;
        return true;
    }
    // Moves to the next multiple of `alignment` counted from `base` bytes
    // before the reader's start (resource records align relative to their
    // file or block, not to the sub-span being read).
    void AlignTo(std::size_t alignment, std::size_t base = 0) {
        const std::size_t absolute = base + offset_;
        const std::size_t padded = (absolute + alignment - 1) / alignment * alignment;
        offset_ = std::min(bytes_.size(), padded - base);
    }

    std::optional<std::uint16_t> U16() { return Read<std::uint16_t>(); }
    std::optional<std::uint32_t> U32() { return Read<std::uint32_t>(); }
    std::optional<std::int16_t> I16() { return Read<std::int16_t>(); }

    // A NUL-terminated UTF-16 string (the terminator is consumed).
    std::optional<std::u16string> Sz() {
        std::u16string text;
        for (;;) {
            const auto unit = U16();
            if (!unit) return std::nullopt;
            if (*unit == 0) return text;
            text.push_back(static_cast<char16_t>(*unit));
        }
    }
    // `count` UTF-16 units.
    std::optional<std::u16string> Chars(std::size_t count) {
        if (count > Left() / 2) return std::nullopt;
        std::u16string text(count, u'\0');
        for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(*U16());
        return text;
    }
    std::optional<std::span<const std::uint8_t>> Bytes(std::size_t count) {
        if (count > Left()) return std::nullopt;
        auto out = bytes_.subspan(offset_, count);
        offset_ += count;
        return out;
    }

private:
    template <class T>
    std::optional<T> Read() {
        if (sizeof(T) > Left()) return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
        offset_ += sizeof(T);
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

}  // namespace sim::resources

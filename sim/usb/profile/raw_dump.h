// Descriptor sets read from, and written as, hex-dump text.
//
// Accepted text (ParseHexBytes):
//   - bytes as one or two hexadecimal digits, with or without a "0x" prefix,
//     separated by whitespace and/or commas: "12 01 00 02", "0x12, 0x01";
//   - comments from "#", ";" or "//" to the end of the line;
//   - the columns of `hexdump -C` listings: a first token with more than two
//     hex digits or ending in ':' is an offset and skipped, and everything
//     from '|' to the end of the line (the ASCII column) is ignored.
//   Anything else is an error naming the line.
//
// The bytes (DescriptorSetFromBytes) are what a device returns, in order:
// the device descriptor (18 bytes), one configuration descriptor with all its
// wTotalLength bytes (the Linux sysfs "descriptors" file has this shape),
// and optionally string descriptors, which take the indices 0, 1, 2, ... in
// the order given (index 0 being the language list; the others are stored
// under its first language). wTotalLength says where the configuration
// ends; one that announces more bytes than follow keeps the bytes there are,
// so malformed dumps load too and can serve as fuzz seeds (one below the
// 9-byte header cannot be told from what follows it: build such a set in
// code instead).
#pragma once

#include "sim/usb/profile/descriptor_set.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

struct HexBytes {
    std::vector<std::uint8_t> bytes;
    std::string error;  // empty on success
};

HexBytes ParseHexBytes(std::string_view text);

struct RawDescriptorSet {
    std::optional<DescriptorSet> set;
    std::string error;      // set when `set` is empty
    std::string speedRule;  // what decided the set's speed (BusSpeedGuess::rule, or "given")
};

// The bus speed a dump's descriptors tell, and the rule that told it, in this
// order: SuperSpeed when bMaxPacketSize0 is 9 (2^9 bytes); full speed when
// bcdUSB is below 2.00, bMaxPacketSize0 is below 64, or a bulk endpoint's
// wMaxPacketSize is 64 or less (a high-speed bulk endpoint has 512); else
// high speed.
struct BusSpeedGuess {
    BusSpeed speed = BusSpeed::High;
    std::string rule;  // "bMaxPacketSize0 is 9", "bulk endpoint 0x02 has wMaxPacketSize 64", ...
};
BusSpeedGuess GuessBusSpeed(const DescriptorSet& set);

// `speed` defaults to GuessBusSpeed's.
RawDescriptorSet DescriptorSetFromBytes(const std::vector<std::uint8_t>& bytes,
                                        std::optional<BusSpeed> speed = std::nullopt);
RawDescriptorSet DescriptorSetFromHexDump(std::string_view text, std::optional<BusSpeed> speed = std::nullopt);
// Reads the file at `path` (for the fixtures under tests/fixtures/usb).
RawDescriptorSet DescriptorSetFromHexFile(const std::string& path, std::optional<BusSpeed> speed = std::nullopt);

// The set as commented hex text, one descriptor per line, that
// DescriptorSetFromHexDump reads back into the same set. String descriptors
// are written when their indices run 0, 1, 2, ... in one language.
std::string ToHexDump(const DescriptorSet& set);

}  // namespace sim::usb

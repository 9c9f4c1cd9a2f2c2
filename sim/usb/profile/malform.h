// Malformed variants of a configuration descriptor: the shapes a descriptor
// walk must stop on safely, and seeds for the descriptor fuzzers.
#pragma once

#include "sim/usb/profile/descriptor_set.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::usb {

enum class LengthFault : std::uint8_t {
    ZeroLength,              // the descriptor's bLength becomes 0
    OneLength,               // ... becomes 1
    PastEnd,                 // ... runs past the end of the configuration
    TotalLengthBeyondBuffer, // wTotalLength announces more than the bytes held
    TotalLengthBelowHeader,  // wTotalLength is smaller than the 9-byte header
    Truncated,               // the bytes end inside the descriptor
};

const char* LengthFaultName(LengthFault fault);

inline constexpr LengthFault kAllLengthFaults[] = {
    LengthFault::ZeroLength,  LengthFault::OneLength,           LengthFault::PastEnd,
    LengthFault::TotalLengthBeyondBuffer, LengthFault::TotalLengthBelowHeader, LengthFault::Truncated,
};

// Offsets of the descriptors of a well-formed configuration, in order (the
// configuration descriptor itself is at offset 0).
std::vector<std::size_t> DescriptorOffsets(const std::vector<std::uint8_t>& configuration);

// `configuration` with `fault` applied to its descriptor number `index`
// (ignored by the two wTotalLength faults).
std::vector<std::uint8_t> WithLengthFault(const std::vector<std::uint8_t>& configuration, LengthFault fault,
                                          std::size_t index);

struct FuzzSeed {
    std::string name;
    std::vector<std::uint8_t> configuration;
};

// Every fault at the first, a middle and the last descriptor after the
// configuration descriptor.
std::vector<FuzzSeed> MalformedSeeds(const DescriptorSet& set);

}  // namespace sim::usb

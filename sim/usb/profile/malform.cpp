#include "sim/usb/profile/malform.h"

#include <algorithm>

namespace sim::usb {

const char* LengthFaultName(LengthFault fault) {
    switch (fault) {
        case LengthFault::ZeroLength: return "zero-length";
        case LengthFault::OneLength: return "one-length";
        case LengthFault::PastEnd: return "past-end";
        case LengthFault::TotalLengthBeyondBuffer: return "total-beyond-buffer";
        case LengthFault::TotalLengthBelowHeader: return "total-below-header";
        case LengthFault::Truncated: return "truncated";
    }
    return "?";
}

std::vector<std::size_t> DescriptorOffsets(const std::vector<std::uint8_t>& configuration) {
    std::vector<std::size_t> offsets;
    std::size_t at = 0;
    while (at + 2 <= configuration.size()) {
        const std::size_t length = configuration[at];
        if (length < 2 || length > configuration.size() - at) break;
        offsets.push_back(at);
        at += length;
    }
    return offsets;
}

std::vector<std::uint8_t> WithLengthFault(const std::vector<std::uint8_t>& configuration, LengthFault fault,
                                          std::size_t index) {
    std::vector<std::uint8_t> bytes = configuration;
    const auto offsets = DescriptorOffsets(bytes);
    const auto setTotal = [&](std::size_t total) {
        if (bytes.size() >= 4) {
            bytes[2] = static_cast<std::uint8_t>(total);
            bytes[3] = static_cast<std::uint8_t>(total >> 8);
        }
    };
    if (fault == LengthFault::TotalLengthBeyondBuffer) {
        setTotal(std::min<std::size_t>(bytes.size() + 64, 0xFFFF));
        return bytes;
    }
    if (fault == LengthFault::TotalLengthBelowHeader) {
        setTotal(4);
        return bytes;
    }
    if (offsets.empty()) return bytes;
    const std::size_t at = offsets[std::min(index, offsets.size() - 1)];
    switch (fault) {
        case LengthFault::ZeroLength: bytes[at] = 0; break;
        case LengthFault::OneLength: bytes[at] = 1; break;
        case LengthFault::PastEnd:
            // One byte more than is left; a descriptor too far from the end
            // for that gets the end moved closer instead.
            if (bytes.size() - at >= 0xFF) {
                bytes.resize(at + 0xFE);
                setTotal(bytes.size());
            }
            bytes[at] = static_cast<std::uint8_t>(bytes.size() - at + 1);
            break;
        case LengthFault::Truncated:
            bytes.resize(at + std::max<std::size_t>(1, bytes[at] / 2));
            setTotal(bytes.size());
            break;
        default: break;
    }
    return bytes;
}

std::vector<FuzzSeed> MalformedSeeds(const DescriptorSet& set) {
    std::vector<FuzzSeed> seeds;
    const auto offsets = DescriptorOffsets(set.configuration);
    if (offsets.size() < 2) return seeds;
    const std::size_t picks[] = {1, offsets.size() / 2, offsets.size() - 1};
    for (LengthFault fault : kAllLengthFaults) {
        const bool wholeConfiguration =
            fault == LengthFault::TotalLengthBeyondBuffer || fault == LengthFault::TotalLengthBelowHeader;
        for (std::size_t pick : picks) {
            seeds.push_back({std::string(LengthFaultName(fault)) + "@" + std::to_string(pick),
                             WithLengthFault(set.configuration, fault, pick)});
            if (wholeConfiguration) break;
        }
    }
    return seeds;
}

}  // namespace sim::usb

#include "sim/usb/device/sample_format.h"

#include <algorithm>

namespace sim::usb {
namespace {

std::uint32_t ResolutionMask(std::uint32_t bits) {
    return bits >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - bits)) - 1u);
}

std::uint32_t ReadLittleEndian(const std::uint8_t* in, std::uint32_t bytes) {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return value;
}

}  // namespace

void StoreSample(std::uint8_t* out, std::int32_t v32, const SampleLayout& layout) {
    const std::uint32_t value =
        (static_cast<std::uint32_t>(v32) & ResolutionMask(layout.bitResolution)) >> (32 - 8 * layout.subslotBytes);
    for (std::uint32_t i = 0; i < layout.subslotBytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::int32_t LoadSampleV32(const std::uint8_t* in, const SampleLayout& layout) {
    const std::uint32_t value = ReadLittleEndian(in, layout.subslotBytes) << (32 - 8 * layout.subslotBytes);
    return static_cast<std::int32_t>(value & ResolutionMask(layout.bitResolution));
}

std::int32_t LoadSampleValue(const std::uint8_t* in, const SampleLayout& layout) {
    const std::uint32_t shift = 32 - 8 * layout.subslotBytes;
    // Sign-extend from the container width.
    return static_cast<std::int32_t>(ReadLittleEndian(in, layout.subslotBytes) << shift) >> shift;
}

std::uint32_t CounterChannelBits(std::uint32_t bitResolution) { return std::min(6u, bitResolution / 2); }

std::uint32_t CounterFrameBits(std::uint32_t bitResolution) {
    return bitResolution - CounterChannelBits(bitResolution);
}

std::uint64_t CounterFrameModulus(std::uint32_t bitResolution) {
    return std::uint64_t{1} << CounterFrameBits(bitResolution);
}

std::int32_t CounterSampleV32(std::uint64_t frame, std::uint32_t channel, std::uint32_t bitResolution) {
    const std::uint32_t channelBits = CounterChannelBits(bitResolution);
    const std::uint32_t frameBits = CounterFrameBits(bitResolution);
    const std::uint64_t code = (static_cast<std::uint64_t>(channel & ((1u << channelBits) - 1u)) << frameBits) |
                               (frame & (CounterFrameModulus(bitResolution) - 1u));
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(code << (32 - bitResolution)));
}

std::int32_t CounterSampleValue(std::uint64_t frame, std::uint32_t channel, const SampleLayout& layout) {
    std::uint8_t bytes[4] = {};
    StoreSample(bytes, CounterSampleV32(frame, channel, layout.bitResolution), layout);
    return LoadSampleValue(bytes, layout);
}

CounterCode DecodeCounterSample(const std::uint8_t* in, const SampleLayout& layout) {
    const std::uint32_t code = static_cast<std::uint32_t>(LoadSampleV32(in, layout)) >> (32 - layout.bitResolution);
    const std::uint32_t frameBits = CounterFrameBits(layout.bitResolution);
    return CounterCode{code >> frameBits, code & (CounterFrameModulus(layout.bitResolution) - 1u)};
}

CounterCode DecodeCounterValue(std::int32_t containerValue, const SampleLayout& layout) {
    std::uint8_t bytes[4] = {};
    for (std::uint32_t i = 0; i < layout.subslotBytes; ++i)
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(containerValue) >> (8 * i));
    return DecodeCounterSample(bytes, layout);
}

}  // namespace sim::usb

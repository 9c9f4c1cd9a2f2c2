// Sample containers of a streaming alternate setting, and the signals the
// virtual device generates for capture.
//
// Inside the device every sample travels as a left-justified 32-bit value
// ("v32": full scale is the int32 range). A container of S bytes with R
// significant bits carries the top R bits of v32 in its top R bits, the low
// (8*S - R) bits zero, little-endian: a 24-bit sample in a 4-byte subslot
// sits in bytes 1..3. Converting through v32 lets the loopback join an OUT
// and an IN setting of different widths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::usb {

// One alternate setting's frame layout: bNrChannels x bSubslotSize bytes,
// interleaved by channel.
struct SampleLayout {
    std::uint32_t channels = 0;
    std::uint32_t subslotBytes = 0;   // 1 to 4
    std::uint32_t bitResolution = 0;  // 1 to 8 * subslotBytes

    std::uint32_t BytesPerFrame() const { return channels * subslotBytes; }
    bool Valid() const {
        return channels != 0 && subslotBytes >= 1 && subslotBytes <= 4 && bitResolution >= 1 &&
               bitResolution <= 8 * subslotBytes;
    }
    friend bool operator==(const SampleLayout&, const SampleLayout&) = default;
};

// v32 -> container bytes at `out` (layout.subslotBytes of them).
void StoreSample(std::uint8_t* out, std::int32_t v32, const SampleLayout& layout);

// Container bytes -> v32 (bits below the resolution are dropped).
std::int32_t LoadSampleV32(const std::uint8_t* in, const SampleLayout& layout);

// Container bytes -> the container's own signed value (a 2-byte subslot
// gives an int16 value, a 3-byte one a 24-bit value): what the recording of
// played frames holds.
std::int32_t LoadSampleValue(const std::uint8_t* in, const SampleLayout& layout);

// The counter pattern: every captured sample names its absolute frame on the
// device clock and its channel, so a reader can tell exactly which frame
// landed where. With R = the setting's bit resolution, the sample's R-bit
// unsigned code is
//
//     code = (channel mod 2^C) << F | (frame mod 2^F)
//     C = min(6, R / 2) channel bits, F = R - C frame bits
//
// placed in the top R bits of the container (as every sample is). So 16-bit
// samples carry channels 0..63 and the frame modulo 1024, 24-bit samples the
// frame modulo 2^18, 32-bit samples the frame modulo 2^26.
struct CounterCode {
    std::uint32_t channel = 0;      // channel mod 2^C
    std::uint64_t frameModulo = 0;  // frame mod 2^F
    friend bool operator==(const CounterCode&, const CounterCode&) = default;
};

std::uint32_t CounterChannelBits(std::uint32_t bitResolution);
std::uint32_t CounterFrameBits(std::uint32_t bitResolution);
// 2^F: two frames this far apart carry the same code.
std::uint64_t CounterFrameModulus(std::uint32_t bitResolution);

std::int32_t CounterSampleV32(std::uint64_t frame, std::uint32_t channel, std::uint32_t bitResolution);
// The container value (as LoadSampleValue reads it) the pattern puts into a
// sample: what a test expects to find in a capture buffer.
std::int32_t CounterSampleValue(std::uint64_t frame, std::uint32_t channel, const SampleLayout& layout);
// Decodes container bytes written with the pattern.
CounterCode DecodeCounterSample(const std::uint8_t* in, const SampleLayout& layout);
CounterCode DecodeCounterValue(std::int32_t containerValue, const SampleLayout& layout);

}  // namespace sim::usb

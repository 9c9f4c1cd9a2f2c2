// Sample containers and the counter pattern.
#include "sim/usb/device/sample_format.h"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

TEST(SampleFormat, ContainersCarryTheTopBitsLeftJustified) {
    struct Case {
        SampleLayout layout;
        std::int32_t v32;
        std::vector<std::uint8_t> bytes;
        std::int32_t value;  // the container's own signed value
    };
    const Case cases[] = {
        {{1, 2, 16}, 0x12345678, {0x34, 0x12}, 0x1234},
        {{1, 2, 16}, static_cast<std::int32_t>(0x80000000u), {0x00, 0x80}, -32768},
        {{1, 3, 24}, 0x123456FF, {0x56, 0x34, 0x12}, 0x123456},
        {{1, 3, 24}, -256, {0xFF, 0xFF, 0xFF}, -1},
        {{1, 4, 24}, 0x123456FF, {0x00, 0x56, 0x34, 0x12}, 0x12345600},  // 24 bits in a 4-byte subslot
        {{1, 4, 32}, -2, {0xFE, 0xFF, 0xFF, 0xFF}, -2},
        {{1, 2, 12}, 0x1234FFFF, {0x30, 0x12}, 0x1230},  // bits below the resolution are zero
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.layout.subslotBytes << "/" << c.layout.bitResolution << " " << c.v32);
        std::uint8_t bytes[4] = {};
        StoreSample(bytes, c.v32, c.layout);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + c.layout.subslotBytes), c.bytes);
        EXPECT_EQ(LoadSampleValue(bytes, c.layout), c.value);
        // Back to v32: the bits the container holds survive.
        StoreSample(bytes, LoadSampleV32(bytes, c.layout), c.layout);
        EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + c.layout.subslotBytes), c.bytes);
    }
}

TEST(SampleFormat, CounterPatternNamesFrameAndChannel) {
    struct Case {
        SampleLayout layout;
        std::uint64_t modulus;
        std::uint64_t frame;
        std::uint32_t channel;
        std::int32_t value;
    };
    const Case cases[] = {
        // 16 bits: 6 channel bits over 10 frame bits.
        {{32, 2, 16}, 1024, 5, 3, 3 << 10 | 5},
        {{32, 2, 16}, 1024, 1024 + 7, 31, 31 << 10 | 7},
        {{64, 2, 16}, 1024, 1023, 63, static_cast<std::int16_t>(63 << 10 | 1023)},  // negative as int16
        // 24 bits in 3 and in 4 bytes: 18 frame bits.
        {{2, 3, 24}, 1u << 18, 300000, 1, 1 << 18 | (300000 - 262144)},
        {{2, 4, 24}, 1u << 18, 300000, 1, (1 << 18 | (300000 - 262144)) << 8},
        // 32 bits: 26 frame bits.
        {{8, 4, 32}, 1u << 26, 123456789, 7, 7 << 26 | (123456789 % (1 << 26))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.layout.subslotBytes << "/" << c.layout.bitResolution << " f" << c.frame
                                          << " c" << c.channel);
        EXPECT_EQ(CounterFrameModulus(c.layout.bitResolution), c.modulus);
        EXPECT_EQ(CounterSampleValue(c.frame, c.channel, c.layout), c.value);
        EXPECT_EQ(DecodeCounterValue(c.value, c.layout), (CounterCode{c.channel, c.frame % c.modulus}));
    }
}

}  // namespace
}  // namespace sim::usb

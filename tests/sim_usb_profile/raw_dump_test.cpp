// Descriptor sets from hex-dump text: the accepted notations, the errors,
// and a round trip of every kind of profile.
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/malform.h"
#include "sim/usb/profile/profiles.h"
#include "sim/usb/profile/raw_dump.h"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

TEST(HexBytes, AcceptedNotations) {
    const struct { const char* text; std::vector<std::uint8_t> bytes; } cases[] = {
        {"12 01 00 02", {0x12, 0x01, 0x00, 0x02}},
        {"0x12, 0x01,0X0a,\t9", {0x12, 0x01, 0x0A, 0x09}},
        {"12 01 # device\n00 02 // more\n; a whole comment line\nFF", {0x12, 0x01, 0x00, 0x02, 0xFF}},
        {"00000000  12 01 00 02 ef 02  |......|\n00000006  40 3c\n", {0x12, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x40, 0x3C}},
        {"0010: 09 02\r\n0012: 74 00\r\n", {0x09, 0x02, 0x74, 0x00}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const HexBytes hex = ParseHexBytes(c.text);
        EXPECT_EQ(hex.error, "");
        EXPECT_EQ(hex.bytes, c.bytes);
    }
}

TEST(HexBytes, RejectsWhatIsNotAByteAndNamesTheLine) {
    const struct { const char* text; const char* where; } cases[] = {
        {"12 01\n00 0G", "line 2"},
        {"12 123", "line 1"},       // three digits after the first token
        {"12 0x", "line 1"},
        {"12\n\n0x100", "line 3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const HexBytes hex = ParseHexBytes(c.text);
        EXPECT_NE(hex.error.find(c.where), std::string::npos) << hex.error;
        EXPECT_TRUE(hex.bytes.empty());
    }
}

TEST(RawDescriptorSet, ProfilesRoundTripThroughTheirDump) {
    const Description profiles[] = {
        MakerDevice(), MakerDevice({.speed = BusSpeed::Super}), GenericUac1Device(), MidiDevice(),
        AudioWithMidiDevice(BusSpeed::Full),
    };
    for (const Description& d : profiles) {
        const DescriptorSet set = BuildDescriptorSet(d);
        const RawDescriptorSet back = DescriptorSetFromHexDump(ToHexDump(set));
        ASSERT_TRUE(back.set) << back.error;
        EXPECT_EQ(*back.set, set) << ToHexDump(set);
    }
}

TEST(RawDescriptorSet, MalformedConfigurationsLoadAsTheyAre) {
    const DescriptorSet set = BuildDescriptorSet(MakerDevice());
    for (LengthFault fault : kAllLengthFaults) {
        // wTotalLength is where a dump's configuration ends; one below the
        // header cannot say where, so that seed is built, not loaded.
        if (fault == LengthFault::TotalLengthBelowHeader) continue;
        SCOPED_TRACE(LengthFaultName(fault));
        DescriptorSet bad = set;
        bad.configuration = WithLengthFault(set.configuration, fault, 3);
        bad.strings.clear();
        const RawDescriptorSet back = DescriptorSetFromHexDump(ToHexDump(bad), BusSpeed::High);
        ASSERT_TRUE(back.set) << back.error;
        EXPECT_EQ(back.set->configuration, bad.configuration);
    }
}

TEST(RawDescriptorSet, ShapeErrors) {
    EXPECT_NE(DescriptorSetFromHexDump("09 02 09 00 00 01 00 80 32").error, "") << "no device descriptor";
    const std::string device = "12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01\n";
    EXPECT_NE(DescriptorSetFromHexDump(device).error, "") << "no configuration";
    const std::string config = "09 02 09 00 00 01 00 80 32\n";
    EXPECT_NE(DescriptorSetFromHexDump(device + config + "04 03 09").error, "") << "cut string";
    const RawDescriptorSet ok = DescriptorSetFromHexDump(device + config + "04 03 09 04\n06 03 41 00 42 00");
    ASSERT_TRUE(ok.set) << ok.error;
    EXPECT_EQ(ok.set->StringText(1), u"AB");
}

// The speed comes from the dump unless given, and the rule that decided is
// named: each row changes one field of a high-speed device.
TEST(RawDescriptorSet, SpeedFromTheDumpAndTheRuleThatDecided) {
    const auto dump = [](const char* bcdUsb, const char* packet0, const char* bulkPacket) {
        return std::string("12 01 ") + bcdUsb + " 00 00 00 " + packet0 + " 09 12 01 00 00 01 00 00 00 01\n" +
               "09 02 20 00 01 01 00 80 32\n"
               "09 04 00 00 02 FF 00 00 00\n"
               "07 05 81 03 08 00 01\n"  // an interrupt endpoint of 8 bytes does not count
               "07 05 02 02 " + bulkPacket + " 00\n";
    };
    const struct { std::string text; BusSpeed speed; const char* rule; } cases[] = {
        {dump("00 02", "40", "00 02"), BusSpeed::High, "no full-speed sign"},
        {dump("00 03", "09", "00 04"), BusSpeed::Super, "bMaxPacketSize0 is 9"},
        {dump("10 01", "40", "00 02"), BusSpeed::Full, "bcdUSB is below 2.00"},
        {dump("00 02", "08", "00 02"), BusSpeed::Full, "bMaxPacketSize0 is below 64"},
        {dump("00 02", "40", "40 00"), BusSpeed::Full, "bulk endpoint 0x02 has wMaxPacketSize 64"},
        {dump("00 02", "40", "41 00"), BusSpeed::High, "no full-speed sign"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const RawDescriptorSet raw = DescriptorSetFromHexDump(c.text);
        ASSERT_TRUE(raw.set) << raw.error;
        EXPECT_EQ(raw.set->speed, c.speed);
        EXPECT_EQ(raw.speedRule, c.rule);
    }
    const RawDescriptorSet given = DescriptorSetFromHexDump(cases[2].text, BusSpeed::High);
    ASSERT_TRUE(given.set);
    EXPECT_EQ(given.set->speed, BusSpeed::High);
    EXPECT_EQ(given.speedRule, "given");
}

}  // namespace
}  // namespace sim::usb

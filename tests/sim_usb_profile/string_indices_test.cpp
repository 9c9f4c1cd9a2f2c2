// The string indices a device's descriptors name, read back from what the
// profile builder writes (an independent account of where each descriptor
// keeps its index), from hand-written channel-name runs and from the real
// dumps; and the placeholders a dump without strings gets.
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/profiles.h"
#include "sim/usb/profile/raw_dump.h"
#include "sim/usb/profile/string_indices.h"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

using Indices = std::set<std::uint8_t>;

// The indices of the strings the builder writes (the identity's).
Indices StringsOf(const DescriptorSet& set) {
    Indices indices;
    for (const auto& [key, bytes] : set.strings)
        if (key.first != 0) indices.insert(key.first);
    return indices;
}

// Gives every entity its own string index from 10 on; returns them with the
// identity's.
Indices NameEveryEntity(Description& d) {
    Indices expected = StringsOf(BuildDescriptorSet(d));
    std::uint8_t next = 10;
    for (Entity& e : d.entities) {
        e.stringIndex = next;
        expected.insert(next++);
    }
    return expected;
}

TEST(StringIndices, EveryEntityKindOfBothClassVersions) {
    const std::vector<ExtraUnit> allUnits = {ExtraUnit::Mixer,           ExtraUnit::Selector,
                                             ExtraUnit::Effect,          ExtraUnit::Processing,
                                             ExtraUnit::Extension,       ExtraUnit::ClockMultiplier,
                                             ExtraUnit::SampleRateConverter};
    Description uac2 = MakerDevice({.extraUnits = allUnits});
    Description uac1 = GenericUac1Device(
        {.processingUnit = true, .extraUnits = {ExtraUnit::Mixer, ExtraUnit::Selector, ExtraUnit::Extension}});
    for (Description* d : {&uac2, &uac1}) {
        SCOPED_TRACE(d == &uac2 ? "2.0" : "1.0");
        const Indices expected = NameEveryEntity(*d);
        ASSERT_GT(expected.size(), 9u);
        EXPECT_EQ(NamedStringIndices(BuildDescriptorSet(*d)), expected);
    }
    const DescriptorSet midi = BuildDescriptorSet(MidiDevice());
    EXPECT_EQ(NamedStringIndices(midi), StringsOf(midi));
    EXPECT_FALSE(StringsOf(midi).empty());
}

TEST(StringIndices, ChannelNameRunsAndInterfaceNames) {
    // A 2.0 input terminal naming 2 channels from 20, a 2.0 AS_GENERAL
    // naming 3 from 30, a named interface (7), and a MIDI jack (9).
    const RawDescriptorSet raw = DescriptorSetFromHexDump(
        "12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01\n"
        "09 02 8D 00 03 01 00 80 32\n"
        "09 04 00 00 00 01 01 20 07\n"
        "09 24 01 00 02 08 2E 00 00\n"
        "08 24 0A 29 03 07 00 00\n"
        "11 24 02 02 01 01 00 29 02 00 00 00 00 14 00 00 00\n"
        "0C 24 03 03 01 03 00 02 29 00 00 00\n"
        "09 04 01 00 00 01 02 20 00\n"
        "09 04 01 01 01 01 02 20 00\n"
        "10 24 01 02 00 01 01 00 00 00 03 00 00 00 00 1E\n"
        "06 24 02 01 02 10\n"
        "07 05 01 02 00 02 00\n"
        "08 25 01 00 00 00 00 00\n"
        "09 04 02 00 00 01 03 00 00\n"
        "07 24 01 00 01 0D 00\n"
        "06 24 02 01 01 09\n");
    ASSERT_TRUE(raw.set) << raw.error;
    EXPECT_EQ(NamedStringIndices(*raw.set), (Indices{7, 9, 20, 21, 30, 31, 32}));
}

TEST(StringIndices, RealDumpsGetTheLanguageListAndAPlaceholderForEachNamedIndex) {
    const struct { const char* path; Indices named; } dumps[] = {
        {OVU_USB_FIXTURES "/nux_mg300_uac2.hex", {1, 2, 3, 4}},
        {OVU_USB_FIXTURES "/audio10_microphone.hex", {1, 2}},
        {OVU_USB_FIXTURES "/midi10_adapter.hex", {1, 2}},
        {OVU_FILTER_FIXTURES "/fosi_ds2_uac2.hex", {1, 2, 3, 6}},
    };
    for (const auto& dump : dumps) {
        SCOPED_TRACE(dump.path);
        RawDescriptorSet raw = DescriptorSetFromHexFile(dump.path);
        ASSERT_TRUE(raw.set) << raw.error;
        ASSERT_TRUE(raw.set->strings.empty());
        EXPECT_EQ(AddPlaceholderStrings(*raw.set), dump.named);
        EXPECT_EQ(*raw.set->String(0, 0), LanguageListDescriptor({USB_LANGID_ENGLISH_US}));
        EXPECT_EQ(raw.set->strings.size(), dump.named.size() + 1);
        for (std::uint8_t index : dump.named) EXPECT_EQ(raw.set->StringText(index), PlaceholderString(index));
    }
    EXPECT_EQ(PlaceholderString(6), u"String 6");

    // A set with strings of its own keeps them.
    DescriptorSet profile = BuildDescriptorSet(MakerDevice());
    const DescriptorSet before = profile;
    EXPECT_EQ(AddPlaceholderStrings(profile), Indices{});
    EXPECT_EQ(profile, before);
}

}  // namespace
}  // namespace sim::usb

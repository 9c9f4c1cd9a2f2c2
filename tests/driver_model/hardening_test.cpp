// Devices whose descriptors lie: lengths, counts and links that point
// outside what they describe. Each such device fails to start with
// STATUS_NOT_SUPPORTED and the model keeps nothing.
#include "model_fixture.h"

#include "sim/usb/profile/malform.h"

#include <functional>
#include <string>

namespace {

using Bytes = std::vector<UCHAR>;

// The offset of the first descriptor of `type` (and byte 2 `subtype`, and
// byte 3 `third` when given) in a well-formed configuration.
size_t Find(const Bytes& bytes, UCHAR type, int subtype = -1, int third = -1) {
    for (size_t at : usb::DescriptorOffsets(bytes)) {
        if (bytes[at + 1] != type) continue;
        if (subtype >= 0 && bytes[at + 2] != subtype) continue;
        if (third >= 0 && bytes[at + 3] != third) continue;
        return at;
    }
    ADD_FAILURE() << "no descriptor of type " << int(type);
    return 0;
}

void SetTotal(Bytes& bytes) {
    bytes[2] = static_cast<UCHAR>(bytes.size());
    bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
}

// Cuts the descriptor at `at` to `length` bytes, keeping the configuration's
// and the AudioControl block's totals right.
void Shrink(Bytes& bytes, size_t at, UCHAR length, bool uac2) {
    const size_t cut = bytes[at] - length;
    const size_t header = Find(bytes, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_HEADER);
    const size_t totalAt = header + (uac2 ? 6 : 5);
    const size_t blockTotal = bytes[totalAt] | (bytes[totalAt + 1] << 8);
    if (at > header && at < header + blockTotal) {
        bytes[totalAt] = static_cast<UCHAR>(blockTotal - cut);
        bytes[totalAt + 1] = static_cast<UCHAR>((blockTotal - cut) >> 8);
    }
    bytes[at] = length;
    bytes.erase(bytes.begin() + at + length, bytes.begin() + at + length + cut);
    SetTotal(bytes);
}

struct Lie {
    const char* what;
    std::function<usb::Description()> description;
    std::function<void(Bytes&)> edit;
};

class DriverModelLies : public ModelTest, public ::testing::WithParamInterface<Lie> {};

TEST_P(DriverModelLies, DeviceDoesNotStartAndNothingIsKept) {
    usb::DescriptorSet set = usb::BuildDescriptorSet(GetParam().description());
    GetParam().edit(set.configuration);
    EXPECT_EQ(Start(std::move(set)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(model->Entities, nullptr);
    EXPECT_EQ(model->Streaming, nullptr);
    EXPECT_EQ(model->AcInterface, nullptr);
    EXPECT_EQ(model->Configuration(), nullptr);
    EXPECT_EQ(LiveUsbaBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

usb::Description Maker() { return usb::MakerDevice(); }
usb::Description Uac1() { return usb::GenericUac1Device(); }

const Lie kLies[] = {
    {"selector_pins_past_its_end", Maker,
     [](Bytes& b) { b[Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_CLOCK_SELECTOR) + 4] = 40; }},
    {"selector_selects_itself", Maker,
     [](Bytes& b) {
         const size_t at = Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_CLOCK_SELECTOR);
         b[at + 5] = b[at + 3];
     }},
    {"more_endpoints_than_the_setting_holds", Maker,
     [](Bytes& b) {
         for (size_t at : usb::DescriptorOffsets(b))
             if (b[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && b[at + 2] == 1 && b[at + 3] == 2) b[at + 4] = 3;
     }},
    {"endpoint_too_short", Maker,
     [](Bytes& b) { Shrink(b, Find(b, USB_ENDPOINT_DESCRIPTOR_TYPE), 5, true); }},
    {"input_terminal_too_short", Maker,
     [](Bytes& b) { Shrink(b, Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_INPUT_TERMINAL), 12, true); }},
    {"control_block_past_the_configuration", Maker,
     [](Bytes& b) {
         const size_t at = Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_HEADER);
         b[at + 6] = 0xF0;
         b[at + 7] = 0xFF;
     }},
    {"control_block_overlaps_the_next_interface", [] {
         usb::Description d = usb::MakerDevice();
         d.controlTotalLengthAdjust = 9;
         return d;
     },
     [](Bytes&) {}},
    {"no_control_header", [] {
         usb::Description d = usb::MakerDevice();
         d.hasControlHeader = false;
         return d;
     },
     [](Bytes&) {}},
    {"fewer_interfaces_than_selected", Maker, [](Bytes& b) { b[4] = 1; }},
    {"terminal_link_to_nothing", [] {
         usb::Description d = usb::MakerDevice();
         for (auto& alt : d.streaming[1].alts) alt.terminalLink = 0x77;
         return d;
     },
     [](Bytes&) {}},
    {"setting_one_without_as_general", [] {
         usb::Description d = usb::MakerDevice();
         d.streaming[0].alts[0].hasAsGeneral = false;
         return d;
     },
     [](Bytes&) {}},
    {"uac1_feature_unit_control_size_zero", Uac1,
     [](Bytes& b) { b[Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_FEATURE_UNIT) + 5] = 0; }},
    {"uac1_format_type_too_short", Uac1,
     [](Bytes& b) { Shrink(b, Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE), 6, false); }},
    {"entity_length_zero", Maker,
     [](Bytes& b) { b[Find(b, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_FEATURE_UNIT)] = 0; }},
    {"descriptor_past_the_end", Maker, [](Bytes& b) { b[usb::DescriptorOffsets(b).back()] = 0xFF; }},
    {"trailing_byte", Maker,
     [](Bytes& b) {
         b.push_back(0);
         SetTotal(b);
     }},
};

INSTANTIATE_TEST_SUITE_P(DriverModel, DriverModelLies, ::testing::ValuesIn(kLies),
                         [](const auto& info) { return std::string(info.param.what); });

// Every length fault the profile library knows, at the first, a middle and
// the last descriptor.
class DriverModelMalformed : public ModelTest, public ::testing::WithParamInterface<usb::BusSpeed> {};

TEST_P(DriverModelMalformed, BrokenLengthsNeverStart) {
    const usb::DescriptorSet good = usb::BuildDescriptorSet(usb::MakerDevice({.speed = GetParam()}));
    for (const usb::FuzzSeed& seed : usb::MalformedSeeds(good)) {
        SCOPED_TRACE(seed.name);
        usb::DescriptorSet set = good;
        set.configuration = seed.configuration;
        const NTSTATUS status = Start(std::move(set));
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_EQ(model->Configuration(), nullptr);
        EXPECT_EQ(LiveUsbaBlocks(), 0u);
        machine.usb().Unplug(port);
        port = nullptr;
    }
}

INSTANTIATE_TEST_SUITE_P(DriverModel, DriverModelMalformed,
                         ::testing::Values(usb::BusSpeed::High, usb::BusSpeed::Super));

}  // namespace

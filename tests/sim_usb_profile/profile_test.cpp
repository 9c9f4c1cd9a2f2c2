// The profile builder produces complete, valid descriptor sets, and the
// description it serialises answers the same facts the bytes say.
#include "descriptor_checks.h"

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/usbdlib.h"
#include "platform/usb/walk.h"
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <functional>

namespace sim::usb {
namespace {

struct NamedProfile {
    const char* name;
    std::function<Description()> make;
};
void PrintTo(const NamedProfile& profile, std::ostream* os) { *os << profile.name; }

Description MakerWith(void (*edit)(MakerDeviceOptions&)) {
    MakerDeviceOptions o;
    edit(o);
    return MakerDevice(o);
}

// Every kind of device the simulator offers, and the variations tests use.
const NamedProfile kProfiles[] = {
    {"MakerFull", [] { return MakerWith([](auto& o) { o.speed = BusSpeed::Full; }); }},
    {"MakerHigh", [] { return MakerDevice(); }},
    {"MakerSuper", [] { return MakerWith([](auto& o) { o.speed = BusSpeed::Super; }); }},
    {"MakerHigh16", [] { return MakerWith([](auto& o) { o.channels = 16; }); }},
    {"MakerOneClock", [] { return MakerWith([](auto& o) { o.clockSourceIds = {0x25}; }); }},
    {"MakerAltGap", [] { return MakerWith([](auto& o) { o.altNumbers = {1, 2, 4}; }); }},
    {"MakerInterfaceGap", [] { return MakerWith([](auto& o) { o.captureInterface = 3; }); }},
    {"MakerIsoSuper", [] { return MakerWith([](auto& o) { o.speed = BusSpeed::Super, o.isochronous = true; }); }},
    {"MakerHugePackets", [] { return MakerWith([](auto& o) { o.maxPacketSize = 1024; }); }},
    {"MakerAllUnits", [] { return MakerWith([](auto& o) {
         o.extraUnits = {ExtraUnit::Mixer, ExtraUnit::Selector, ExtraUnit::Effect, ExtraUnit::Processing,
                         ExtraUnit::Extension, ExtraUnit::ClockMultiplier, ExtraUnit::SampleRateConverter};
     }); }},
    {"Uac2Iso", [] { return GenericUac2Device(); }},
    {"Uac2IsoFeedbackFull", [] { GenericUac2Options o; o.speed = BusSpeed::Full, o.feedback = true; return GenericUac2Device(o); }},
    {"Uac2BulkSelector", [] {
         GenericUac2Options o;
         o.isochronous = false, o.clockSources = 3, o.selectorInputs = 3;
         return GenericUac2Device(o);
     }},
    {"Uac2PlaybackOnly", [] { GenericUac2Options o; o.capture = false; return GenericUac2Device(o); }},
    {"Uac1Discrete", [] { return GenericUac1Device(); }},
    {"Uac1Continuous", [] {
         GenericUac1Options o;
         o.sampleRates = {8000, 96000}, o.continuousRates = true, o.bitDepths = {16, 24};
         return GenericUac1Device(o);
     }},
    {"Uac1ProcessingFeedback", [] {
         GenericUac1Options o;
         o.processingUnit = true, o.feedback = true, o.featureControlSize = 2;
         o.extraUnits = {ExtraUnit::Mixer, ExtraUnit::Selector, ExtraUnit::Extension};
         return GenericUac1Device(o);
     }},
    {"Uac1Bulk", [] { GenericUac1Options o; o.isochronous = false; return GenericUac1Device(o); }},
    {"Midi", [] { return MidiDevice(); }},
    {"Midi17Jacks", [] { MidiDeviceOptions o; o.embeddedInJacks = 17; return MidiDevice(o); }},
    {"MidiSuper", [] { MidiDeviceOptions o; o.speed = BusSpeed::Super; return MidiDevice(o); }},
    {"AudioWithMidiSuper", [] { return AudioWithMidiDevice(BusSpeed::Super); }},
    {"MakerWithUnusedInterface", [] {
         Description d = MakerDevice();
         d.extraInterfaces.push_back({.interfaceNumber = 3, .endpoints = {{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT,
                                                                           .maxPacketSize = 8, .interval = 4}}});
         return d;
     }},
};

class EveryProfile : public ::testing::TestWithParam<NamedProfile> {};

TEST_P(EveryProfile, WalksEndToEndAndEveryLengthAddsUp) {
    const Description d = GetParam().make();
    const DescriptorSet set = BuildDescriptorSet(d);
    usbtest::ExactBuffer buffer(set.configuration);
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(buffer.data());
    ASSERT_EQ(+config->wTotalLength, buffer.size());

    // The bounded walker consumes every byte: no descriptor runs short or
    // leaves anything over.
    const UsbDescriptorRange range = UsbConfigurationRange(config, buffer.size());
    const USB_COMMON_DESCRIPTOR* last = nullptr;
    for (auto* d2 = UsbDescriptorAt(range, config); d2 != nullptr; d2 = UsbNextDescriptor(range, d2)) last = d2;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(UsbDescriptorOffset(range, last) + last->bLength, static_cast<LONG>(buffer.size()));

    EXPECT_EQ(usbtest::CheckConfiguration(set.configuration), std::vector<std::string>{});

    // Every setting the description has is found where the driver looks.
    for (const StreamingInterface& s : d.streaming) {
        for (std::uint8_t alt : {std::uint8_t{0}}) {
            EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, s.interfaceNumber, alt, d.functionClass,
                                                          USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1),
                      nullptr);
        }
        for (const AltSetting& a : s.alts) {
            auto* found = USBD_ParseConfigurationDescriptorEx(config, config, s.interfaceNumber, a.alternateSetting,
                                                              -1, -1, -1);
            ASSERT_NE(found, nullptr) << "interface " << int(s.interfaceNumber) << " alt " << int(a.alternateSetting);
            EXPECT_EQ(found->bNumEndpoints, a.EndpointCount());
        }
    }

    const USB_DEVICE_DESCRIPTOR& device = set.Device();
    EXPECT_EQ(device.bLength, 18);
    EXPECT_EQ(+device.idVendor, d.identity.vendorId);
    EXPECT_EQ(device.bNumConfigurations, 1);
    ASSERT_NE(set.String(0, 0), nullptr);
    EXPECT_EQ(*set.String(0, 0), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    if (device.iProduct != 0) {
        EXPECT_EQ(set.StringText(device.iProduct), d.identity.product);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(kProfiles),
                         [](const auto& info) { return std::string(info.param.name); });

// The maker's device at each speed: what the driver keys its tables on.
TEST(MakerDevice, SpeedDependentFields) {
    struct Case {
        BusSpeed speed;
        std::uint16_t bcdUsb;
        std::uint8_t maxPacket0;
        std::uint8_t channels;
        std::uint16_t packet;
        std::size_t companions;
    } cases[] = {
        {BusSpeed::Full, 0x0110, 64, 2, 64, 0},
        {BusSpeed::High, 0x0200, 64, 32, 512, 0},
        {BusSpeed::Super, 0x0300, 9, 32, 1024, 6},  // one per data endpoint: 3 settings x 2 directions
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(BusSpeedName(c.speed));
        MakerDeviceOptions o;
        o.speed = c.speed;
        const DescriptorSet set = BuildDescriptorSet(MakerDevice(o));
        EXPECT_EQ(+set.Device().bcdUSB, c.bcdUsb);
        EXPECT_EQ(set.Device().bMaxPacketSize0, c.maxPacket0);
        EXPECT_EQ(+set.Device().idVendor, 0x7A3C);
        EXPECT_EQ(+set.Device().idProduct, 0x0B51);

        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
        const UsbDescriptorRange range = UsbConfigurationRange(config, static_cast<ULONG>(set.configuration.size()));
        std::size_t companions = 0, dataEndpoints = 0;
        for (auto* d = UsbDescriptorAt(range, config); d != nullptr; d = UsbNextDescriptor(range, d)) {
            if (d->bDescriptorType == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE) ++companions;
            if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
            auto* ep = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(d);
            ++dataEndpoints;
            EXPECT_EQ(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_BULK);
            EXPECT_EQ(+ep->wMaxPacketSize, c.packet);
            EXPECT_TRUE(ep->bEndpointAddress == 0x01 || ep->bEndpointAddress == 0x81);
        }
        EXPECT_EQ(dataEndpoints, 6u);
        EXPECT_EQ(companions, c.companions);
        for (auto* d = UsbDescriptorAt(range, config); d != nullptr; d = UsbNextDescriptor(range, d)) {
            auto* general = UsbDescriptorAs<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(d);
            if (d->bDescriptorType == USB_AUDIO_CS_INTERFACE && general != nullptr &&
                general->bDescriptorSubtype == USB_AUDIO_AS_GENERAL && general->bLength == 16) {
                EXPECT_EQ(general->bNrChannels, c.channels);
            }
        }
    }
}

// The AudioControl function as the driver finds it: vendor class at
// interface 0, the header right after it, four clocks behind the selector.
TEST(MakerDevice, ControlFunctionAndClockTopology) {
    const DescriptorSet set = BuildDescriptorSet(MakerDevice());
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
    const UsbDescriptorRange range = UsbConfigurationRange(config);

    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, USB_DEVICE_CLASS_AUDIO,
                                                  USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1),
              nullptr);
    PUSB_INTERFACE_DESCRIPTOR ac = USBD_ParseConfigurationDescriptorEx(
        config, config, -1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    ASSERT_NE(ac, nullptr);
    EXPECT_EQ(ac->bInterfaceNumber, 0);

    auto* header = UsbDescriptorAs<USB_AUDIO20_AC_HEADER_DESCRIPTOR>(
        UsbNextDescriptor(range, ac));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->bDescriptorType, USB_AUDIO_CS_INTERFACE);
    EXPECT_EQ(header->bDescriptorSubtype, USB_AUDIO20_AC_HEADER);
    EXPECT_EQ(+header->bcdADC, 0x0200);
    // The class-specific block ends exactly where the next interface starts.
    const USB_INTERFACE_DESCRIPTOR* next = UsbNextInterfaceDescriptor(range, ac);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(UsbDescriptorOffset(range, header) + header->wTotalLength, UsbDescriptorOffset(range, next));

    auto* selector = UsbDescriptorAs<USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR>(
        UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_CLOCK_SELECTOR));
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->bClockID, kMakerClockSelector);
    ASSERT_EQ(selector->bNrInPins, 4);
    for (ULONG i = 0; i < 4; ++i) EXPECT_EQ(selector->baCSourceID(i), kMakerClockSourceIds[i]);

    int clockSources = 0;
    for (auto* d = UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_CLOCK_SOURCE, true);
         d != nullptr; d = UsbFindDescriptor(range, UsbNextDescriptor(range, d), USB_AUDIO_CS_INTERFACE,
                                             USB_AUDIO20_AC_CLOCK_SOURCE, true)) {
        ++clockSources;
        EXPECT_EQ(UsbDescriptorAs<USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR>(d)->bmControls & 0x0C, 0x04)
            << "validity control readable";
    }
    EXPECT_EQ(clockSources, 4);

    // Both chains' terminals are clocked by the selector; the feature units
    // have master + 32 channels with mute and volume read/write.
    const Description d = MakerDevice();
    for (std::uint8_t id : {kMakerPlaybackInputTerminal, kMakerCaptureInputTerminal}) {
        const USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR* it = nullptr;
        for (auto* c = UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_INPUT_TERMINAL, true);
             c != nullptr; c = UsbFindDescriptor(range, UsbNextDescriptor(range, c), USB_AUDIO_CS_INTERFACE,
                                                 USB_AUDIO20_AC_INPUT_TERMINAL, true)) {
            auto* candidate = UsbDescriptorAs<USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR>(c);
            if (candidate->bTerminalID == id) it = candidate;
        }
        ASSERT_NE(it, nullptr);
        EXPECT_EQ(it->bCSourceID, kMakerClockSelector);
        EXPECT_EQ(it->bNrChannels, 32);
    }
    auto* fu = UsbDescriptorAs<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(
        UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_FEATURE_UNIT));
    ASSERT_NE(fu, nullptr);
    EXPECT_EQ(fu->ChannelCount(), 33u);
    EXPECT_EQ(fu->ChannelCount(), d.FeatureUnitChannelCount(fu->bUnitID));
    EXPECT_EQ(fu->bmaControls(0), 0x0Fu);
    EXPECT_EQ(fu->bmaControls(32), 0x0Fu);
    EXPECT_EQ(fu->bmaControls(33), 0u);
    EXPECT_EQ(d.ClockOf(*d.Capture())->id, kMakerClockSelector);
    EXPECT_EQ(d.ClockSourceIds(), kMakerClockSourceIds);
}

// Streaming settings: 16/24/32 bits in 2/4/4-byte subslots, the terminal
// link on AS_GENERAL, the data endpoint's direction per interface.
TEST(MakerDevice, StreamingSettingsMatchTheDescription) {
    MakerDeviceOptions o;
    o.altNumbers = {1, 2, 4};  // a gap the driver must stop at
    const Description d = MakerDevice(o);
    const DescriptorSet set = BuildDescriptorSet(d);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
    const UsbDescriptorRange range = UsbConfigurationRange(config);

    struct Expected { std::uint8_t alt, subslot, bits; } expected[] = {{1, 2, 16}, {2, 4, 24}, {4, 4, 32}};
    for (const StreamingInterface* s : {d.Playback(), d.Capture()}) {
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, s->interfaceNumber, 3, -1, -1, -1), nullptr);
        for (const Expected& e : expected) {
            SCOPED_TRACE(testing::Message() << "interface " << int(s->interfaceNumber) << " alt " << int(e.alt));
            auto* intf = USBD_ParseConfigurationDescriptorEx(config, config, s->interfaceNumber, e.alt, -1, -1, -1);
            ASSERT_NE(intf, nullptr);
            EXPECT_EQ(intf->bInterfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);
            EXPECT_EQ(intf->bInterfaceSubClass, USB_AUDIO_SUBCLASS_AUDIOSTREAMING);
            auto* start = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(intf);
            auto* general = UsbDescriptorAs<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(
                UsbFindDescriptor(range, UsbNextDescriptor(range, start), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, true));
            auto* format = UsbDescriptorAs<USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR>(
                UsbFindDescriptor(range, UsbNextDescriptor(range, start), USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, true));
            auto* endpoint = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(
                UsbFindDescriptor(range, UsbNextDescriptor(range, start), USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
            ASSERT_TRUE(general && format && endpoint);
            EXPECT_EQ(general->bTerminalLink, s->terminalLink);
            EXPECT_EQ(+general->bmFormats, USB_AUDIO20_FORMAT_PCM);
            EXPECT_EQ(format->bSubslotSize, e.subslot);
            EXPECT_EQ(format->bBitResolution, e.bits);
            EXPECT_EQ(endpoint->bEndpointAddress, s->IsInput() ? 0x81 : 0x01);
            const AltSetting* alt = d.FindAlt(s->interfaceNumber, e.alt);
            ASSERT_NE(alt, nullptr);
            EXPECT_EQ(alt->subslotSize, e.subslot);
            EXPECT_EQ(alt->BytesPerFrame(), 32u * e.subslot);
        }
    }
    EXPECT_EQ(d.Playback()->terminalLink, kMakerPlaybackInputTerminal);
    EXPECT_EQ(d.Capture()->terminalLink, kMakerCaptureOutputTerminal);
}

// Extra unit kinds land in the AudioControl block with the 2.0 subtypes
// the driver refuses (mixer 4, selector 5, effect 7, processing 8,
// extension 9, clock multiplier 12, SRC 13).
TEST(ProfileShapes, ExtraUnitsCarryTheirSubtypes) {
    const struct { ExtraUnit unit; std::uint8_t subtype; } cases[] = {
        {ExtraUnit::Mixer, 4}, {ExtraUnit::Selector, 5}, {ExtraUnit::Effect, 7}, {ExtraUnit::Processing, 8},
        {ExtraUnit::Extension, 9}, {ExtraUnit::ClockMultiplier, 12}, {ExtraUnit::SampleRateConverter, 13},
    };
    for (const auto& c : cases) {
        MakerDeviceOptions o;
        o.extraUnits = {c.unit};
        const DescriptorSet set = BuildDescriptorSet(MakerDevice(o));
        const UsbDescriptorRange range = UsbBufferRange(set.configuration.data(), static_cast<ULONG>(set.configuration.size()));
        const auto* found = UsbFindDescriptor(range, range.begin, USB_AUDIO_CS_INTERFACE, c.subtype, false);
        ASSERT_NE(found, nullptr) << "subtype " << int(c.subtype);
        EXPECT_EQ(usbtest::CheckConfiguration(set.configuration), std::vector<std::string>{});
    }
}

// The shapes that exercise the driver's refusals come out as asked.
TEST(ProfileShapes, StructuralFaultsAreRealised) {
    {   // no AS_GENERAL on setting 1 of the playback interface
        Description d = MakerDevice();
        d.streaming[0].alts[0].hasAsGeneral = false;
        const DescriptorSet set = BuildDescriptorSet(d);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
        const UsbDescriptorRange range = UsbConfigurationRange(config);
        auto* alt1 = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1);
        ASSERT_NE(alt1, nullptr);
        EXPECT_EQ(UsbFindDescriptor(range, UsbNextDescriptor(range, alt1),
                                    USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL, true),
                  nullptr);
        EXPECT_EQ(usbtest::CheckConfiguration(set.configuration), std::vector<std::string>{});
    }
    {   // no class-specific header after the AudioControl interface
        Description d = MakerDevice();
        d.hasControlHeader = false;
        const DescriptorSet set = BuildDescriptorSet(d);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
        const UsbDescriptorRange range = UsbConfigurationRange(config);
        auto* ac = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        auto* after = UsbNextDescriptor(range, ac);
        ASSERT_NE(after, nullptr);
        EXPECT_NE(reinterpret_cast<const UCHAR*>(after)[2], USB_AUDIO20_AC_HEADER);
    }
    {   // the class-specific block runs into the next interface
        Description d = MakerDevice();
        d.controlTotalLengthAdjust = 4;
        const DescriptorSet set = BuildDescriptorSet(d);
        const auto problems = usbtest::CheckConfiguration(set.configuration);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_NE(problems[0].find("class-specific wTotalLength"), std::string::npos);
    }
    {   // a MIDI header of class version 2.0 and 17 embedded jacks
        MidiDeviceOptions o;
        o.bcdMSC = USB_MIDI_BCD_MSC_20;
        o.embeddedInJacks = 17;
        const Description d = MidiDevice(o);
        const DescriptorSet set = BuildDescriptorSet(d);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
        const UsbDescriptorRange range = UsbConfigurationRange(config);
        auto* ms = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, USB_DEVICE_CLASS_AUDIO,
                                                       USB_AUDIO_SUBCLASS_MIDISTREAMING, 0);
        ASSERT_NE(ms, nullptr);
        auto* header = UsbDescriptorAs<USB_MIDI_MS_HEADER_DESCRIPTOR>(UsbNextDescriptor(range, ms));
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(+header->bcdMSC, 0x0200);
        int embeddedIn = 0;
        for (auto* j = UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_MIDI_IN_JACK); j != nullptr;
             j = UsbFindDescriptor(range, UsbNextDescriptor(range, j), USB_AUDIO_CS_INTERFACE, USB_MIDI_IN_JACK))
            embeddedIn += UsbDescriptorAs<USB_MIDI_IN_JACK_DESCRIPTOR>(j)->bJackType == USB_MIDI_JACK_EMBEDDED;
        EXPECT_EQ(embeddedIn, 17);
        auto* general = UsbDescriptorAs<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(
            UsbFindDescriptor(range, header, USB_AUDIO_CS_ENDPOINT, USB_MIDI_MS_GENERAL));
        ASSERT_NE(general, nullptr);
        EXPECT_EQ(general->JackCount(), 17u);
        EXPECT_EQ(general->baAssocJackID(16), d.midi->EmbeddedInJackIds()[16]);
    }
}

TEST(MidiDevice, EndpointsAndJacksMatchTheDescription) {
    const Description d = MidiDevice();
    const DescriptorSet set = BuildDescriptorSet(d);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
    const UsbDescriptorRange range = UsbConfigurationRange(config);
    auto* ac = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, 1, 1, -1);
    ASSERT_NE(ac, nullptr);
    auto* acHeader = UsbDescriptorAs<USB_AUDIO10_AC_HEADER_DESCRIPTOR>(UsbNextDescriptor(range, ac));
    ASSERT_NE(acHeader, nullptr);
    EXPECT_EQ(+acHeader->bcdADC, 0x0100);
    EXPECT_EQ(acHeader->baInterfaceNr(0), d.midi->interfaceNumber);
    EXPECT_EQ(acHeader->baInterfaceNr(1), 0);  // beyond bInCollection

    auto* ms = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, 1, 3, 0);
    ASSERT_NE(ms, nullptr);
    EXPECT_EQ(ms->bNumEndpoints, 2);
    const USB_COMMON_DESCRIPTOR* at = UsbDescriptorAt(range, ms);
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> endpoints;
    while ((at = UsbFindDescriptor(range, UsbNextDescriptor(range, at), USB_ENDPOINT_DESCRIPTOR_TYPE)) != nullptr) {
        auto* ep = UsbDescriptorAs<USB_AUDIO10_ENDPOINT_DESCRIPTOR>(at);
        ASSERT_NE(ep, nullptr) << "MIDI endpoints are 9 bytes";
        auto* general = UsbDescriptorAs<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(UsbNextDescriptor(range, at));
        ASSERT_NE(general, nullptr);
        ASSERT_EQ(general->bDescriptorType, USB_AUDIO_CS_ENDPOINT);
        std::vector<std::uint8_t> jacks;
        for (ULONG i = 0; i < general->JackCount(); ++i) jacks.push_back(general->baAssocJackID(i));
        endpoints.push_back({ep->bEndpointAddress, jacks});
    }
    ASSERT_EQ(endpoints.size(), 2u);
    EXPECT_EQ(endpoints[0].first, d.midi->out.address);
    EXPECT_EQ(endpoints[0].second, d.midi->EmbeddedInJackIds());
    EXPECT_EQ(endpoints[1].first, d.midi->in.address);
    EXPECT_EQ(endpoints[1].second, d.midi->EmbeddedOutJackIds());
}

TEST(GenericUac1Device, OnePointZeroLayouts) {
    GenericUac1Options o;
    o.feedback = true;
    o.featureControlSize = 2;
    o.sampleRates = {32000, 44100, 48000};
    const Description d = GenericUac1Device(o);
    const DescriptorSet set = BuildDescriptorSet(d);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<std::uint8_t*>(set.configuration.data()));
    const UsbDescriptorRange range = UsbConfigurationRange(config);

    auto* fu = UsbDescriptorAs<USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR>(
        UsbFindDescriptor(range, config, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_FEATURE_UNIT));
    ASSERT_NE(fu, nullptr);
    EXPECT_EQ(fu->bLength, USB_AUDIO10_FEATURE_UNIT_LENGTH(3, 2));
    EXPECT_EQ(fu->ChannelCount(), 3u);
    EXPECT_EQ(fu->bmaControls(0), kUac1MuteVolume);
    EXPECT_EQ(fu->bmaControls(2), 0x2u);

    auto* alt1 = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, 1, 2, -1);
    ASSERT_NE(alt1, nullptr);
    auto* format = UsbDescriptorAs<USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR>(
        UsbFindDescriptor(range, alt1, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, true));
    ASSERT_NE(format, nullptr);
    ASSERT_EQ(format->FrequencyCount(), 3u);
    EXPECT_EQ(format->tSamFreq(0), 32000u);
    EXPECT_EQ(format->tSamFreq(2), 48000u);
    EXPECT_EQ(format->tSamFreq(3), 0u);

    auto* data = UsbDescriptorAs<USB_AUDIO10_ENDPOINT_DESCRIPTOR>(
        UsbFindDescriptor(range, alt1, USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    ASSERT_NE(data, nullptr);
    auto* synch = UsbDescriptorAs<USB_AUDIO10_ENDPOINT_DESCRIPTOR>(
        UsbFindDescriptor(range, UsbNextDescriptor(range, data),
                          USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    ASSERT_NE(synch, nullptr);
    EXPECT_EQ(data->bSynchAddress, synch->bEndpointAddress);
    EXPECT_EQ(synch->bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK, 0);
}

}  // namespace
}  // namespace sim::usb

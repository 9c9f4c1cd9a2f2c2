// The device model's start on the virtual hardware: what it finds in the
// maker's device and in class devices, which devices it refuses, and that
// a refused device leaves nothing behind.
#include "model_fixture.h"

#include "sim/usb/profile/malform.h"

#include <cstring>
#include <string>

namespace {

using usb::BusSpeed;

std::string NameOf(const AudioEntity* entity) {
    char name[32] = {};
    entity->FormatName(name, sizeof(name));
    return name;
}

std::vector<LONG> Ids(AudioEntityIterator it) {
    std::vector<LONG> ids;
    while (AudioEntity* e = it.Next()) ids.push_back(e->GetId());
    return ids;
}

// ---- the maker's device ----

struct SpeedCase {
    BusSpeed speed;
    bool superSpeed;
    bool highSpeed;
};

class MakerSpeed : public ModelTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(MakerSpeed, FindsTheWholeFunctionAndTheSpeed) {
    ASSERT_EQ(Start(usb::MakerDevice({.speed = GetParam().speed})), STATUS_SUCCESS);
    EXPECT_EQ(midi, 0u);
    EXPECT_EQ(model->SuperSpeed(), GetParam().superSpeed);
    EXPECT_EQ(model->HighSpeed(), GetParam().highSpeed);
    EXPECT_EQ(model->IsUac2, 1);
    ASSERT_NE(model->AcInterface, nullptr);
    EXPECT_EQ(model->AcInterface->bInterfaceNumber, 0);
    EXPECT_EQ(model->AcInterface->bInterfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);

    // Entities in descriptor order, each with its name.
    std::vector<std::string> names;
    for (AudioEntity* e = model->Entities; e != nullptr; e = e->Next) names.push_back(NameOf(e));
    EXPECT_EQ(names, (std::vector<std::string>{"ClockSource(37)", "ClockSource(38)", "ClockSource(39)",
                                               "ClockSource(40)", "ClockSelector(41)", "IT(1)", "Feature(2)", "OT(3)",
                                               "IT(4)", "Feature(5)", "OT(6)"}));
    EXPECT_EQ(Ids(model->Terminals()), (std::vector<LONG>{1, 3, 4, 6}));
    EXPECT_EQ(Ids(model->Units(true)), (std::vector<LONG>{2, 5}));
    EXPECT_EQ(Ids(model->Units(false)), (std::vector<LONG>{0x25, 0x26, 0x27, 0x28, 0x29, 2, 5}));

    // Links resolve to the records they name.
    auto* speaker = Entity<OutputTerminal>(3);
    EXPECT_EQ(speaker->Source(), model->FindEntity(2));
    EXPECT_EQ(speaker->Clock(), AsClock(model->FindEntity(0x29)));
    EXPECT_EQ(Entity<FeatureUnit>(2)->Source(), model->FindEntity(1));
    EXPECT_EQ(Entity<ClockSelector>(0x29)->GetSourceId(3), 0x28);
    EXPECT_EQ(Entity<ClockSelector>(0x29)->GetSourceId(4), -1);
    EXPECT_EQ(model->FindEntity(0x30), nullptr);

    // One playback and one capture interface with settings 0 to 3.
    ASSERT_EQ(model->StreamingCount, 2u);
    ASSERT_NE(model->PlaybackInterface, nullptr);
    ASSERT_NE(model->CaptureInterface, nullptr);
    EXPECT_EQ(model->PlaybackInterface->InterfaceNumber, 1);
    EXPECT_EQ(model->CaptureInterface->InterfaceNumber, 2);
    EXPECT_EQ(model->CaptureInterface->IsInput, 1);
    EXPECT_EQ(model->PlaybackInterface->Terminal, model->FindEntity(1));
    EXPECT_EQ(model->CaptureInterface->Terminal, model->FindEntity(6));
    for (StreamingInterface* s : {model->PlaybackInterface, model->CaptureInterface}) {
        ASSERT_EQ(s->AltCount, 4u);
        EXPECT_EQ(s->Alts[0].DataEndpoint, nullptr);
        EXPECT_NE(s->Alts[0].Interface, nullptr);
        for (ULONG i = 1; i < 4; ++i) {
            const AltSetting& alt = s->Alts[i];
            ASSERT_NE(alt.DataEndpoint, nullptr);
            EXPECT_EQ(alt.DataEndpoint->bEndpointAddress, s->IsInput ? 0x81 : 0x01);
            EXPECT_EQ(USHORT{alt.DataEndpoint->wMaxPacketSize}, usb::BulkMaxPacketSize(GetParam().speed));
            EXPECT_NE(alt.AsGeneral, nullptr);
            EXPECT_NE(alt.FormatType, nullptr);
            EXPECT_NE(alt.CsEndpoint, nullptr);
            EXPECT_EQ(alt.FeedbackEndpoint, nullptr);
        }
    }
    // The clock the streams run on is the selector over the four sources.
    UCHAR ids[8] = {};
    ASSERT_EQ(model->ClockSourceIds(ids, 8), 4u);
    EXPECT_EQ(std::vector<UCHAR>(ids, ids + 4), usb::kMakerClockSourceIds);
}

INSTANTIATE_TEST_SUITE_P(DriverModel, MakerSpeed,
                         ::testing::Values(SpeedCase{BusSpeed::Super, true, true}, SpeedCase{BusSpeed::High, false, true},
                                           SpeedCase{BusSpeed::Full, false, false}));

using DriverModelStart = ModelTest;

TEST_F(DriverModelStart, AControlPacketOfNineMeansSuperSpeedWhateverTheBusSays) {
    // A bus that reports no high speed: only bMaxPacketSize0 can tell.
    usb::DescriptorSet set = usb::BuildDescriptorSet(usb::MakerDevice({.speed = BusSpeed::Super}));
    ASSERT_EQ(set.device[7], 9);
    set.speed = BusSpeed::Full;
    ASSERT_EQ(Start(std::move(set)), STATUS_SUCCESS);
    EXPECT_TRUE(model->SuperSpeed());
    EXPECT_TRUE(model->HighSpeed());
    EXPECT_EQ(model->BusSpeed(), kBusSpeedSuper);
}

TEST_F(DriverModelStart, ATerminalLinkNamingAUnitStartsButNoFormatIsAppliedThroughIt) {
    usb::Description d = usb::MakerDevice();
    for (auto& alt : d.streaming[0].alts) alt.terminalLink = usb::kMakerPlaybackFeatureUnit;
    ASSERT_EQ(Start(d), STATUS_SUCCESS);
    ASSERT_EQ(model->SelectConfiguration(), STATUS_SUCCESS);
    device->ClearControlLog();
    EXPECT_EQ(model->PlaybackInterface->Terminal, model->FindEntity(usb::kMakerPlaybackFeatureUnit));
    // A unit has no clock: nothing is set or selected through it.
    EXPECT_EQ(UsbAudioDevice::StreamClock(model->PlaybackInterface), nullptr);
    AppliedFormat applied{};
    EXPECT_EQ(model->ApplyFormat(false, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(model->PlaybackInterface->CurrentAlt, 0);
    EXPECT_TRUE(device->ControlLog().empty());
    // The capture side still runs on its terminal's clock.
    EXPECT_EQ(model->MainClock(), AsClock(model->FindEntity(usb::kMakerClockSelector)));
    EXPECT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_SUCCESS);
}

TEST_F(DriverModelStart, MatchesInterfaceClassByVendor) {
    // The maker's vendor id with class-compliant interfaces is not its device.
    usb::Description maker = usb::MakerDevice();
    maker.functionClass = USB_DEVICE_CLASS_AUDIO;
    EXPECT_EQ(Start(maker), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(LiveUsbaBlocks(), 0u);
}

TEST_F(DriverModelStart, OtherVendorsNeedClassInterfaces) {
    usb::Description vendorSpecific = usb::GenericUac2Device();
    vendorSpecific.functionClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    EXPECT_EQ(Start(vendorSpecific), STATUS_NOT_SUPPORTED);
}

TEST_F(DriverModelStart, StreamingInterfacesEndAtTheFirstGap) {
    ASSERT_EQ(Start(usb::MakerDevice({.playbackInterface = 1, .captureInterface = 3})), STATUS_SUCCESS);
    EXPECT_EQ(model->StreamingCount, 1u);
    EXPECT_NE(model->PlaybackInterface, nullptr);
    EXPECT_EQ(model->CaptureInterface, nullptr);
    // The device clock then follows the playback terminal.
    EXPECT_EQ(model->MainClock(), AsClock(model->FindEntity(0x29)));
}

TEST_F(DriverModelStart, AlternateSettingsEndAtTheFirstGap) {
    ASSERT_EQ(Start(usb::MakerDevice({.altNumbers = {1, 2, 4}})), STATUS_SUCCESS);
    EXPECT_EQ(model->PlaybackInterface->AltCount, 3u);
    EXPECT_EQ(model->CaptureInterface->AltCount, 3u);
}

// ---- unsupported units ----

struct UnitCase {
    usb::AudioClassVersion version;
    usb::ExtraUnit unit;
};

class DriverModelUnits : public ModelTest, public ::testing::WithParamInterface<UnitCase> {};

TEST_P(DriverModelUnits, UnsupportedUnitsAreNotImplemented) {
    usb::Description d = GetParam().version == usb::AudioClassVersion::Uac2
                             ? usb::GenericUac2Device({.extraUnits = {GetParam().unit}})
                             : usb::GenericUac1Device({.extraUnits = {GetParam().unit}});
    EXPECT_EQ(Start(d), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(model->Entities, nullptr);
    EXPECT_EQ(LiveUsbaBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    DriverModel, DriverModelUnits,
    ::testing::Values(UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::Mixer},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::Selector},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::Effect},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::Processing},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::Extension},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::ClockMultiplier},
                      UnitCase{usb::AudioClassVersion::Uac2, usb::ExtraUnit::SampleRateConverter},
                      UnitCase{usb::AudioClassVersion::Uac1, usb::ExtraUnit::Mixer},
                      UnitCase{usb::AudioClassVersion::Uac1, usb::ExtraUnit::Selector},
                      UnitCase{usb::AudioClassVersion::Uac1, usb::ExtraUnit::Extension}));

TEST_F(DriverModelStart, Uac1ProcessingUnitIsKeptButNeverLinks) {
    ASSERT_EQ(Start(usb::GenericUac1Device({.processingUnit = true})), STATUS_SUCCESS);
    EXPECT_EQ(model->IsUac2, 0);
    AudioEntity* unit = nullptr;
    for (AudioEntity* e = model->Entities; e != nullptr; e = e->Next)
        if (e->Subtype() == USB_AUDIO10_AC_PROCESSING_UNIT) unit = e;
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(NameOf(unit).rfind("Processing(", 0), 0u);
    EXPECT_EQ(unit->Link(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(unit->GetSourceId(0), -1);
    // 1.0 terminals have no clock and no controls.
    auto* terminal = static_cast<TerminalEntity*>(model->PlaybackInterface->Terminal);
    EXPECT_EQ(terminal->GetClockId(), -1);
    EXPECT_EQ(terminal->GetControls(), 0);
    EXPECT_EQ(terminal->IsConnected(), -1);
    EXPECT_EQ(model->MainClock(), nullptr);
}

// ---- endpoints ----

TEST_F(DriverModelStart, Uac1FeedbackEndpointIsNamedByTheDataEndpoint) {
    ASSERT_EQ(Start(usb::GenericUac1Device({.feedback = true})), STATUS_SUCCESS);
    const AltSetting& alt = model->PlaybackInterface->Alts[1];
    ASSERT_NE(alt.DataEndpoint, nullptr);
    ASSERT_NE(alt.FeedbackEndpoint, nullptr);
    EXPECT_EQ(reinterpret_cast<const USB_AUDIO10_ENDPOINT_DESCRIPTOR*>(alt.DataEndpoint)->bSynchAddress,
              alt.FeedbackEndpoint->bEndpointAddress);
}

// Cuts the two 1.0 bytes off the first endpoint of the setting's data
// endpoint, fixing wTotalLength.
std::vector<UCHAR> WithSevenByteDataEndpoint(std::vector<UCHAR> bytes) {
    for (size_t at = 0; at + 9 <= bytes.size(); at += bytes[at]) {
        if (bytes[at] == 0) break;
        if (bytes[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && bytes[at] == 9 && ((bytes[at + 3] >> 4) & 3) == 0) {
            bytes[at] = 7;
            bytes.erase(bytes.begin() + at + 7, bytes.begin() + at + 9);
            const size_t total = bytes.size();
            bytes[2] = static_cast<UCHAR>(total);
            bytes[3] = static_cast<UCHAR>(total >> 8);
            break;
        }
    }
    return bytes;
}

TEST_F(DriverModelStart, Uac1SevenByteDataEndpointHasNoFeedback) {
    const usb::Description d = usb::GenericUac1Device({.capture = false, .feedback = true});
    usb::DescriptorSet set = usb::BuildDescriptorSet(d);
    set.configuration = WithSevenByteDataEndpoint(set.configuration);
    // Where a 9-byte endpoint keeps bSynchAddress, a 7-byte one is followed
    // by the class-specific endpoint's type. The synch endpoint is given
    // that number as its address, so that reading past the 7 bytes would
    // find it.
    std::vector<UCHAR>& bytes = set.configuration;
    const auto endpoints = [&] {
        std::vector<size_t> found;
        for (size_t at : usb::DescriptorOffsets(bytes))
            if (bytes[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) found.push_back(at);
        return found;
    }();
    ASSERT_EQ(endpoints.size(), 2u);
    ASSERT_EQ(bytes[endpoints[0]], 7);
    ASSERT_EQ(bytes[endpoints[0] + 8], USB_AUDIO_CS_ENDPOINT);
    bytes[endpoints[1] + 2] = bytes[endpoints[0] + 8];
    ASSERT_EQ(Start(std::move(set)), STATUS_SUCCESS);
    const AltSetting& alt = model->PlaybackInterface->Alts[1];
    ASSERT_NE(alt.DataEndpoint, nullptr);
    EXPECT_EQ(alt.DataEndpoint->bLength, 7);
    EXPECT_EQ(alt.FeedbackEndpoint, nullptr);
}

TEST_F(DriverModelStart, Uac2ExplicitFeedbackEndpoint) {
    ASSERT_EQ(Start(usb::GenericUac2Device({.feedback = true})), STATUS_SUCCESS);
    const AltSetting& alt = model->PlaybackInterface->Alts[1];
    ASSERT_NE(alt.DataEndpoint, nullptr);
    ASSERT_NE(alt.FeedbackEndpoint, nullptr);
    EXPECT_EQ((alt.FeedbackEndpoint->bmAttributes >> 4) & 3, 1);
    EXPECT_TRUE(USB_ENDPOINT_DIRECTION_IN(alt.FeedbackEndpoint->bEndpointAddress));
}

// ---- USB-MIDI ----

struct MidiCase {
    const char* what;
    usb::MidiDeviceOptions options;
    ULONG midiMode;
};

class DriverModelMidi : public ModelTest, public ::testing::WithParamInterface<MidiCase> {};

TEST_P(DriverModelMidi, ProbeDecidesTheMode) {
    ASSERT_EQ(Start(usb::MidiDevice(GetParam().options)), STATUS_SUCCESS);
    EXPECT_EQ(midi, GetParam().midiMode);
    if (GetParam().midiMode == 1) {
        ASSERT_NE(model->ExtraInterface, nullptr);
        EXPECT_EQ(model->ExtraInterface->bInterfaceSubClass, USB_AUDIO_SUBCLASS_MIDISTREAMING);
        EXPECT_EQ(model->MidiRenderJacks, GetParam().options.embeddedInJacks);
        EXPECT_EQ(model->MidiCaptureJacks, GetParam().options.embeddedOutJacks);
        ASSERT_NE(model->MidiInEndpoint, nullptr);
        ASSERT_NE(model->MidiOutEndpoint, nullptr);
        EXPECT_EQ(model->MidiInEndpoint->bEndpointAddress, 0x82);
        EXPECT_EQ(model->MidiOutEndpoint->bEndpointAddress, 0x02);
    } else {
        // Served as an audio device without streams; the MIDI facts are gone.
        EXPECT_EQ(model->ExtraInterface, nullptr);
        EXPECT_EQ(model->MidiInEndpoint, nullptr);
        EXPECT_EQ(model->MidiRenderJacks, 0u);
        EXPECT_EQ(model->StreamingCount, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DriverModel, DriverModelMidi,
    ::testing::Values(MidiCase{"plain", {}, 1},
                      MidiCase{"sixteen jacks each way", {.embeddedInJacks = 16, .embeddedOutJacks = 16}, 1},
                      MidiCase{"super speed companions", {.speed = BusSpeed::Super, .embeddedInJacks = 3}, 1},
                      MidiCase{"seventeen in jacks", {.embeddedInJacks = 17}, 0},
                      MidiCase{"seventeen out jacks", {.embeddedOutJacks = 17}, 0},
                      MidiCase{"class version 2.0", {.bcdMSC = USB_MIDI_BCD_MSC_20}, 0}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (c == ' ' || c == '.') c = '_';
        return name;
    });

TEST_F(DriverModelStart, AudioDeviceWithMidiIsServedAsMidi) {
    ASSERT_EQ(Start(usb::AudioWithMidiDevice()), STATUS_SUCCESS);
    EXPECT_EQ(midi, 1u);
    EXPECT_NE(model->ExtraInterface, nullptr);
    // The audio function is still parsed; the configuration request carries
    // the MIDI interface too.
    EXPECT_EQ(model->StreamingCount, 2u);
    ASSERT_EQ(model->SelectConfiguration(), STATUS_SUCCESS);
    EXPECT_NE(model->FindPipe(model->MidiInEndpoint->bEndpointAddress), nullptr);
    EXPECT_NE(model->FindPipe(model->MidiOutEndpoint->bEndpointAddress), nullptr);
}

}  // namespace

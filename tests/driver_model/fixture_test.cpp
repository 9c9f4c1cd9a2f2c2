// The model built from descriptor dumps of real devices, checked against
// facts read from the dumps by hand (see the comments in each file).
#include "model_fixture.h"

#include "sim/usb/profile/raw_dump.h"

#include <string>

namespace {

usb::DescriptorSet Load(const char* file) {
    usb::RawDescriptorSet raw = usb::DescriptorSetFromHexFile(std::string(OVU_USB_FIXTURES) + "/" + file);
    EXPECT_TRUE(raw.set.has_value()) << raw.error;
    return raw.set.value_or(usb::DescriptorSet{});
}

// The dumps carry no strings; the model reads the language list at start.
usb::DescriptorSet WithLanguages(usb::DescriptorSet set) {
    set.strings[{0, 0}] = usb::LanguageListDescriptor({USB_LANGID_ENGLISH_US});
    return set;
}

using DriverModelFixtures = ModelTest;

TEST_F(DriverModelFixtures, NuxMg300IsServedAsMidiWithItsAudioFunctionParsed) {
    ASSERT_EQ(Start(WithLanguages(Load("nux_mg300_uac2.hex"))), STATUS_SUCCESS);
    EXPECT_EQ(midi, 1u);
    EXPECT_EQ(model->IsUac2, 1);
    EXPECT_TRUE(model->HighSpeed());
    EXPECT_FALSE(model->SuperSpeed());

    // Seven entities, in descriptor order.
    std::vector<LONG> ids;
    for (AudioEntity* e = model->Entities; e != nullptr; e = e->Next) ids.push_back(e->GetId());
    EXPECT_EQ(ids, (std::vector<LONG>{41, 40, 2, 10, 20, 1, 22}));
    auto* selector = Entity<ClockSelector>(40);
    EXPECT_EQ(selector->InputCount(), 1);
    EXPECT_EQ(selector->InputId(0), 41);
    EXPECT_EQ(Entity<FeatureUnit>(10)->ChannelCount(), 3u);
    EXPECT_TRUE(Entity<FeatureUnit>(10)->IsControlAccessible(kFeatureVolume, 2, kControlAccessWrite));
    // The capture terminal is fed by the playback input terminal.
    EXPECT_EQ(Entity<OutputTerminal>(22)->Source(), model->FindEntity(2));

    ASSERT_EQ(model->StreamingCount, 2u);
    StreamingInterface* playback = model->PlaybackInterface;
    StreamingInterface* capture = model->CaptureInterface;
    ASSERT_NE(playback, nullptr);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(playback->InterfaceNumber, 1);
    EXPECT_EQ(capture->InterfaceNumber, 2);
    EXPECT_EQ(playback->AltCount, 2u);
    EXPECT_EQ(playback->Terminal, model->FindEntity(2));
    EXPECT_EQ(capture->Terminal, model->FindEntity(22));
    EXPECT_EQ(playback->Alts[1].DataEndpoint->bEndpointAddress, 0x01);
    ASSERT_NE(playback->Alts[1].FeedbackEndpoint, nullptr);
    EXPECT_EQ(playback->Alts[1].FeedbackEndpoint->bEndpointAddress, 0x81);
    EXPECT_EQ(capture->Alts[1].DataEndpoint->bEndpointAddress, 0x82);
    EXPECT_EQ(capture->Alts[1].FeedbackEndpoint, nullptr);
    ULONG channels = 0;
    ULONG container = 0;
    ASSERT_EQ(model->ChooseFormat(false, kFormatTagPcm, 2, 24, 48000, &channels, &container), STATUS_SUCCESS);
    EXPECT_EQ(container, 32u);

    ASSERT_NE(model->ExtraInterface, nullptr);
    EXPECT_EQ(model->ExtraInterface->bInterfaceNumber, 3);
    EXPECT_EQ(model->MidiInEndpoint->bEndpointAddress, 0x83);
    EXPECT_EQ(model->MidiOutEndpoint->bEndpointAddress, 0x04);
    EXPECT_EQ(model->MidiRenderJacks, 1u);
    EXPECT_EQ(model->MidiCaptureJacks, 1u);
}

TEST_F(DriverModelFixtures, Audio10MicrophoneOfTheClassDocument) {
    usb::DescriptorSet set = Load("audio10_microphone.hex");
    // A device that refuses the language list does not start.
    {
        usb::DescriptorSet bare = set;
        EXPECT_FALSE(NT_SUCCESS(Start(std::move(bare))));
        EXPECT_EQ(LiveUsbaBlocks(), 0u);
        machine.usb().Unplug(port);
        port = nullptr;
    }
    ASSERT_EQ(Start(WithLanguages(std::move(set))), STATUS_SUCCESS);
    EXPECT_EQ(midi, 0u);
    EXPECT_EQ(model->IsUac2, 0);
    EXPECT_FALSE(model->HighSpeed());
    std::vector<LONG> ids;
    for (AudioEntity* e = model->Entities; e != nullptr; e = e->Next) ids.push_back(e->GetId());
    EXPECT_EQ(ids, (std::vector<LONG>{1, 2}));
    EXPECT_EQ(model->PlaybackInterface, nullptr);
    StreamingInterface* capture = model->CaptureInterface;
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->InterfaceNumber, 1);
    EXPECT_EQ(capture->AltCount, 2u);
    EXPECT_EQ(capture->Terminal, model->FindEntity(2));
    const AltSetting& alt = capture->Alts[1];
    ASSERT_NE(alt.DataEndpoint, nullptr);
    EXPECT_EQ(alt.DataEndpoint->bEndpointAddress, 0x81);
    EXPECT_EQ(alt.DataEndpoint->bLength, 9);
    EXPECT_EQ(alt.FeedbackEndpoint, nullptr);
    // One exact rate: 8000 Hz, mono, 16 bits.
    ULONG channels = 0;
    ULONG container = 0;
    ASSERT_EQ(model->ChooseFormat(true, kFormatTagPcm, 1, 16, 8000, &channels, &container), STATUS_SUCCESS);
    EXPECT_EQ(channels, 1u);
    EXPECT_EQ(container, 16u);
    EXPECT_EQ(model->ChooseFormat(true, kFormatTagPcm, 1, 16, 16000, &channels, &container), STATUS_NOT_SUPPORTED);
}

}  // namespace

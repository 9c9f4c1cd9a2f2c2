// Descriptor dumps of public class-compliant devices load as raw descriptor
// sets, pass the same length rules as the profiles, and say what their
// listings say (facts checked by hand against the sources named in the
// fixture files).
#include "descriptor_checks.h"

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/usbdlib.h"
#include "platform/usb/walk.h"
#include "sim/usb/profile/raw_dump.h"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

DescriptorSet Load(const char* name) {
    const RawDescriptorSet raw = DescriptorSetFromHexFile(std::string(OVU_USB_FIXTURES) + "/" + name);
    if (!raw.set) ADD_FAILURE() << raw.error;
    return raw.set.value_or(DescriptorSet{});
}

TEST(UsbFixtures, EveryDumpIsWellFormed) {
    for (const char* name : {"nux_mg300_uac2.hex", "audio10_microphone.hex", "midi10_adapter.hex"}) {
        SCOPED_TRACE(name);
        const DescriptorSet set = Load(name);
        EXPECT_EQ(usbtest::CheckConfiguration(set.configuration), std::vector<std::string>{});
    }
}

TEST(UsbFixtures, NuxMg300) {
    const DescriptorSet set = Load("nux_mg300_uac2.hex");
    ASSERT_EQ(set.configuration.size(), 318u);
    EXPECT_EQ(set.speed, BusSpeed::High);
    EXPECT_EQ(+set.Device().idVendor, 0x1FC9);
    EXPECT_EQ(+set.Device().idProduct, 0x8260);
    usbtest::ExactBuffer b(set.configuration);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
    const UsbDescriptorRange range = UsbConfigurationRange(config, b.size());
    EXPECT_EQ(config->bNumInterfaces, 4);

    auto* ac = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, 1, 1, -1);
    ASSERT_NE(ac, nullptr);
    auto* header = UsbDescriptorAs<USB_AUDIO20_AC_HEADER_DESCRIPTOR>(UsbNextDescriptor(range, ac));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(+header->bcdADC, 0x0200);
    EXPECT_EQ(+header->wTotalLength, 101);

    auto* selector = UsbDescriptorAs<USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR>(
        UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_CLOCK_SELECTOR, true));
    ASSERT_NE(selector, nullptr);
    EXPECT_EQ(selector->bClockID, 40);
    EXPECT_EQ(selector->bNrInPins, 1);
    EXPECT_EQ(selector->baCSourceID(0), 41);
    EXPECT_EQ(selector->bmControls(), 0x03);

    auto* fu = UsbDescriptorAs<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(
        UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_FEATURE_UNIT, true));
    ASSERT_NE(fu, nullptr);
    EXPECT_EQ(fu->bUnitID, 10);
    EXPECT_EQ(fu->ChannelCount(), 3u);
    EXPECT_EQ(fu->bmaControls(2), 0x0Fu);

    // Playback: 24 bits in 4-byte subslots, 600-byte isochronous packets,
    // with an explicit feedback endpoint.
    auto* playback = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, 1, 2, -1);
    ASSERT_NE(playback, nullptr);
    EXPECT_EQ(playback->bNumEndpoints, 2);
    auto* format = UsbDescriptorAs<USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR>(
        UsbFindDescriptor(range, playback, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, true));
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->bSubslotSize, 4);
    EXPECT_EQ(format->bBitResolution, 24);
    auto* data = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(UsbFindDescriptor(range, playback, USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->bEndpointAddress, 0x01);
    EXPECT_EQ(+data->wMaxPacketSize, 600);
    EXPECT_EQ(data->bmAttributes, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS);
    auto* feedback = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(
        UsbFindDescriptor(range, UsbNextDescriptor(range, data), USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    ASSERT_NE(feedback, nullptr);
    EXPECT_EQ(feedback->bEndpointAddress, 0x81);
    EXPECT_EQ(feedback->bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK,
              USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT);

    // The MIDI interface after the audio function.
    auto* midi = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, 1, 3, 0);
    ASSERT_NE(midi, nullptr);
    EXPECT_EQ(midi->bInterfaceNumber, 3);
    auto* ms = UsbDescriptorAs<USB_MIDI_MS_HEADER_DESCRIPTOR>(UsbNextDescriptor(range, midi));
    ASSERT_NE(ms, nullptr);
    EXPECT_EQ(+ms->bcdMSC, 0x0100);
    EXPECT_EQ(+ms->wTotalLength, 65);
    auto* out = UsbDescriptorAs<USB_AUDIO10_ENDPOINT_DESCRIPTOR>(UsbFindDescriptor(range, midi, USB_ENDPOINT_DESCRIPTOR_TYPE));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->bEndpointAddress, 0x04);
    EXPECT_EQ(+out->wMaxPacketSize, 256);
}

TEST(UsbFixtures, Audio10Microphone) {
    const DescriptorSet set = Load("audio10_microphone.hex");
    ASSERT_EQ(set.configuration.size(), 100u);
    EXPECT_EQ(set.speed, BusSpeed::Full);
    usbtest::ExactBuffer b(set.configuration);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
    const UsbDescriptorRange range = UsbConfigurationRange(config, b.size());
    auto* header = UsbDescriptorAs<USB_AUDIO10_AC_HEADER_DESCRIPTOR>(
        UsbFindDescriptor(range, config, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_HEADER));
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(+header->bcdADC, 0x0100);
    EXPECT_EQ(+header->wTotalLength, 30);
    EXPECT_EQ(header->baInterfaceNr(0), 1);
    auto* it = UsbDescriptorAs<USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR>(
        UsbFindDescriptor(range, header, USB_AUDIO_CS_INTERFACE, USB_AUDIO10_AC_INPUT_TERMINAL));
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(+it->wTerminalType, USB_AUDIO_TERMINAL_MICROPHONE);
    EXPECT_EQ(it->bNrChannels, 1);

    auto* alt1 = USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, 1, 2, -1);
    ASSERT_NE(alt1, nullptr);
    auto* format = UsbDescriptorAs<USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR>(
        UsbFindDescriptor(range, alt1, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE, true));
    ASSERT_NE(format, nullptr);
    EXPECT_EQ(format->bBitResolution, 16);
    ASSERT_EQ(format->FrequencyCount(), 1u);
    EXPECT_EQ(format->tSamFreq(0), 8000u);
    auto* ep = UsbDescriptorAs<USB_AUDIO10_ENDPOINT_DESCRIPTOR>(
        UsbFindDescriptor(range, alt1, USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(ep->bEndpointAddress, 0x81);
    EXPECT_EQ(+ep->wMaxPacketSize, 16) << "8 frames of 2 bytes per 1 ms frame";
}

TEST(UsbFixtures, Midi10Adapter) {
    const DescriptorSet set = Load("midi10_adapter.hex");
    ASSERT_EQ(set.configuration.size(), 101u);
    usbtest::ExactBuffer b(set.configuration);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
    const UsbDescriptorRange range = UsbConfigurationRange(config, b.size());
    auto* ms = USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, 1, 3, 0);
    ASSERT_NE(ms, nullptr);
    int embedded = 0;
    for (auto* d = UsbFindDescriptor(range, ms, USB_AUDIO_CS_INTERFACE, USB_ANY_SUBTYPE, true); d != nullptr;
         d = UsbFindDescriptor(range, UsbNextDescriptor(range, d), USB_AUDIO_CS_INTERFACE, USB_ANY_SUBTYPE, true)) {
        auto* jack = UsbDescriptorAs<USB_MIDI_IN_JACK_DESCRIPTOR>(d);
        if (jack != nullptr && jack->bDescriptorSubtype != USB_MIDI_MS_HEADER) embedded += jack->bJackType == USB_MIDI_JACK_EMBEDDED;
    }
    EXPECT_EQ(embedded, 2) << "one embedded IN and one embedded OUT jack";
    auto* in = UsbDescriptorAs<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(
        UsbFindDescriptor(range, ms, USB_AUDIO_CS_ENDPOINT, USB_MIDI_MS_GENERAL));
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->baAssocJackID(0), 1);
}

}  // namespace
}  // namespace sim::usb

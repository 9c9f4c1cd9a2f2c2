// The descriptor records read real bytes as the class documents lay them
// out, and their accessors for variable parts stay inside bLength however
// the counts inside the descriptor lie.
#include "descriptor_checks.h"

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/descriptors.h"

#include <gtest/gtest.h>

namespace {

using usbtest::ExactBuffer;

template <class T>
const T* As(const ExactBuffer& b) {
    return reinterpret_cast<const T*>(b.data());
}

// Multi-byte fields are little-endian and unaligned: the records are packed.
TEST(UsbRecords, StandardDescriptorsReadWireBytes) {
    ExactBuffer device({0x12, 0x01, 0x10, 0x02, 0xEF, 0x02, 0x01, 0x40, 0x3C, 0x7A, 0x51, 0x0B, 0x34, 0x12, 1, 2, 3, 1});
    const auto* d = As<USB_DEVICE_DESCRIPTOR>(device);
    EXPECT_EQ(+d->bcdUSB, 0x0210);
    EXPECT_EQ(+d->idVendor, 0x7A3C);
    EXPECT_EQ(+d->idProduct, 0x0B51);
    EXPECT_EQ(+d->bcdDevice, 0x1234);
    EXPECT_EQ(d->iSerialNumber, 3);

    ExactBuffer endpoint({0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00, /* AC 1.0 */ 0x09, 0x05, 0x02, 0x05, 0xC4, 0x00,
                          0x01, 0x00, 0x81});
    EXPECT_EQ(+As<USB_ENDPOINT_DESCRIPTOR>(endpoint)->wMaxPacketSize, 512);
    const auto* ep10 = reinterpret_cast<const USB_AUDIO10_ENDPOINT_DESCRIPTOR*>(endpoint.data() + 7);
    EXPECT_EQ(+ep10->wMaxPacketSize, 196);
    EXPECT_EQ(ep10->bSynchAddress, 0x81);

    ExactBuffer companion({0x06, 0x30, 0x03, 0x00, 0x00, 0x04});
    EXPECT_EQ(As<USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR>(companion)->bMaxBurst, 3);
    EXPECT_EQ(+As<USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR>(companion)->wBytesPerInterval, 0x0400);
}

TEST(UsbRecords, Audio20FixedLayouts) {
    ExactBuffer header({0x09, 0x24, 0x01, 0x00, 0x02, 0x08, 0x40, 0x01, 0x00});
    EXPECT_EQ(+As<USB_AUDIO20_AC_HEADER_DESCRIPTOR>(header)->bcdADC, 0x0200);
    EXPECT_EQ(+As<USB_AUDIO20_AC_HEADER_DESCRIPTOR>(header)->wTotalLength, 0x0140);

    ExactBuffer it({0x11, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x29, 0x20, 0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x07});
    const auto* input = As<USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR>(it);
    EXPECT_EQ(+input->wTerminalType, USB_AUDIO_TERMINAL_USB_STREAMING);
    EXPECT_EQ(input->bCSourceID, 0x29);
    EXPECT_EQ(input->bNrChannels, 32);
    EXPECT_EQ(+input->bmChannelConfig, 3u);
    EXPECT_EQ(+input->bmControls, 0x0004);
    EXPECT_EQ(input->iTerminal, 7);

    ExactBuffer ot({0x0C, 0x24, 0x03, 0x03, 0x01, 0x03, 0x00, 0x02, 0x29, 0x04, 0x00, 0x00});
    EXPECT_EQ(As<USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR>(ot)->bSourceID, 2);
    EXPECT_EQ(+As<USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR>(ot)->bmControls, 0x0004);

    ExactBuffer general({0x10, 0x24, 0x01, 0x06, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(As<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(general)->bTerminalLink, 6);
    EXPECT_EQ(+As<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(general)->bmFormats, USB_AUDIO20_FORMAT_PCM);
    EXPECT_EQ(As<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(general)->bNrChannels, 32);
}

// Variable parts: counts that claim more than bLength holds read as 0.
TEST(UsbRecords, VariableAccessorsStayInsideBLength) {
    // Clock selector claiming 5 pins with 2 present (bLength 7 + 2 would be 9).
    ExactBuffer selector({0x07, 0x24, 0x0B, 0x29, 0x05, 0x25, 0x26});
    const auto* cs = As<USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR>(selector);
    EXPECT_EQ(cs->baCSourceID(0), 0x25);
    EXPECT_EQ(cs->baCSourceID(1), 0x26);
    EXPECT_EQ(cs->baCSourceID(2), 0) << "past bLength";
    EXPECT_EQ(cs->baCSourceID(5), 0) << "past bNrInPins";
    EXPECT_EQ(cs->bmControls(), 0) << "bmControls would sit at 5 + 5";

    // UAC2 feature unit: two whole channels and a partial one.
    ExactBuffer fu2({0x0E, 0x24, 0x06, 0x02, 0x01, 0x0F, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x03});
    const auto* f2 = As<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(fu2);
    EXPECT_EQ(f2->ChannelCount(), 2u);
    EXPECT_EQ(f2->bmaControls(0), 0x0Fu);
    EXPECT_EQ(f2->bmaControls(1), 0x0Cu);
    EXPECT_EQ(f2->bmaControls(2), 0u);
    ExactBuffer tiny({0x05, 0x24, 0x06, 0x02, 0x01});
    EXPECT_EQ(As<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(tiny)->ChannelCount(), 0u);
    EXPECT_EQ(As<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(tiny)->iFeature(), 0);

    // UAC1 feature unit: a 2-byte control size; a zero control size counts
    // no channels rather than dividing by zero; a 5-byte size reads 4.
    ExactBuffer fu1({0x0D, 0x24, 0x06, 0x02, 0x01, 0x02, 0x03, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00});
    const auto* f1 = As<USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR>(fu1);
    EXPECT_EQ(f1->ChannelCount(), 3u);
    EXPECT_EQ(f1->bmaControls(1), 0x0102u);
    EXPECT_EQ(f1->bmaControls(3), 0u);
    ExactBuffer zero({0x08, 0x24, 0x06, 0x02, 0x01, 0x00, 0x03, 0x00});
    EXPECT_EQ(As<USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR>(zero)->ChannelCount(), 0u);
    ExactBuffer wide({0x0C, 0x24, 0x06, 0x02, 0x01, 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00});
    EXPECT_EQ(As<USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR>(wide)->bmaControls(0), 0x44332211u);

    // UAC1 format type: 3 frequencies claimed, 2 present.
    ExactBuffer format({0x0E, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x03, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00});
    const auto* ft = As<USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR>(format);
    EXPECT_EQ(ft->FrequencyCount(), 2u);
    EXPECT_EQ(ft->tSamFreq(1), 48000u);
    EXPECT_EQ(ft->tSamFreq(2), 0u);

    // MIDI OUT jack with one source pair, and MS_GENERAL claiming 3 jacks.
    ExactBuffer jack({0x09, 0x24, 0x03, 0x01, 0x03, 0x01, 0x02, 0x01, 0x05});
    const auto* out = As<USB_MIDI_OUT_JACK_DESCRIPTOR>(jack);
    EXPECT_EQ(out->baSourceID(0), 2);
    EXPECT_EQ(out->baSourcePin(0), 1);
    EXPECT_EQ(out->baSourceID(1), 0);
    EXPECT_EQ(out->iJack(), 5);
    ExactBuffer general({0x05, 0x25, 0x01, 0x03, 0x07});
    EXPECT_EQ(As<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(general)->JackCount(), 1u);
    EXPECT_EQ(As<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(general)->baAssocJackID(0), 7);
    EXPECT_EQ(As<USB_MIDI_MS_ENDPOINT_DESCRIPTOR>(general)->baAssocJackID(1), 0);

    // 1.0 processing unit whose bControlSize sits past the end.
    ExactBuffer processing({0x09, 0x24, 0x07, 0x0A, 0x01, 0x00, 0x04, 0x01, 0x02});
    const auto* pu = As<USB_AUDIO10_PROCESSING_UNIT_DESCRIPTOR>(processing);
    EXPECT_EQ(pu->baSourceID(1), 2);
    EXPECT_EQ(pu->baSourceID(2), 0);
    EXPECT_EQ(pu->ControlSize(), 0);
    EXPECT_EQ(pu->bmControls(), 0u);
}

}  // namespace

// The volume conversions between the device's 1/256 dB and kernel
// streaming's 1/65536 dB, and the rounding to a channel's resolution.
#include "driver/core/volume_units.h"

#include <gtest/gtest.h>

namespace {

TEST(VolumeUnits, ConversionsAndMinusInfinity) {
    struct Up {
        SHORT usb;
        LONG ks;
    };
    for (const Up c : {Up{0, 0}, Up{1, 256}, Up{-1, -256}, Up{-2637, -675072}, Up{32767, 8388352},
                       Up{-32767, -8388352}, Up{kUsbVolumeMinusInfinity, kKsVolumeMinusInfinity}}) {
        EXPECT_EQ(UsbVolumeToKs(c.usb), c.ks) << c.usb;
        // Every value read converts back to itself.
        EXPECT_EQ(KsVolumeToUsb(c.ks), c.usb) << c.ks;
    }
    struct Down {
        LONG ks;
        SHORT usb;
    };
    for (const Down c : {Down{127, 0}, Down{128, 1}, Down{-127, 0}, Down{-128, -1},  // halves away from zero
                         Down{-675020, -2637},                                      // -10.3 dB
                         Down{0x7FFFFFFF, 32767},                                   // saturates
                         Down{kKsVolumeMinusInfinity + 1, -32767}}) {               // only -inf is 0x8000
        EXPECT_EQ(KsVolumeToUsb(c.ks), c.usb) << c.ks;
    }
}

TEST(VolumeUnits, RoundsToTheStepHalvesAwayFromZero) {
    struct Case {
        LONG value;
        ULONG step;
        LONG rounded;
    };
    for (const Case c : {Case{-675020, 256, -675072}, Case{-675020, 65536, -655360}, Case{128, 256, 256},
                         Case{127, 256, 0}, Case{-128, 256, -256}, Case{-127, 256, 0}, Case{512, 256, 512},
                         Case{12345, 0, 12345}, Case{kKsVolumeMinusInfinity, 256, kKsVolumeMinusInfinity},
                         Case{0x7FFFFFFF, 65536 * 3, 0x7FFFFFFF}}) {  // beyond LONG: saturated
        EXPECT_EQ(RoundVolumeToStep(c.value, c.step), c.rounded) << c.value << " step " << c.step;
    }
}

}  // namespace

// The bounded walker and the USBD parse routines: their search semantics,
// and that no malformed length makes them read a byte they do not hold.
// Every buffer here is an exact-size heap copy, so a read past its end is an
// AddressSanitizer failure, not a silent pass.
#include "descriptor_checks.h"

#include "platform/usb/audio.h"
#include "platform/usb/usbdlib.h"
#include "platform/usb/walk.h"
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/malform.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

namespace sim::usb {
namespace {

using usbtest::ExactBuffer;

// configuration (9) | interface 0/0 class 1/1 | CS header (9) |
// interface 1/0 class 1/2 | interface 1/1 | endpoint (7) | interface 2/0 class 0xFF
const std::vector<std::uint8_t> kSmall = {
    0x09, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x80, 0x32,  // wTotalLength patched below
    0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x20, 0x00,  //
    0x09, 0x24, 0x01, 0x00, 0x02, 0x08, 0x09, 0x00, 0x00,  //
    0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x20, 0x00,  //
    0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x20, 0x00,  //
    0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              //
    0x09, 0x04, 0x02, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
};

std::vector<std::uint8_t> Small() {
    std::vector<std::uint8_t> b = kSmall;
    b[2] = static_cast<std::uint8_t>(b.size());
    return b;
}

PUSB_CONFIGURATION_DESCRIPTOR Config(const ExactBuffer& b) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}

LONG OffsetOf(const ExactBuffer& b, const void* p) {
    return p == nullptr ? -1 : static_cast<LONG>(static_cast<const UCHAR*>(p) - b.data());
}

TEST(UsbdParse, ConfigurationDescriptorExMatchesEveryCriterionAndAnyForMinusOne) {
    ExactBuffer b(Small());
    auto* config = Config(b);
    const struct {
        LONG number, alt, cls, subclass, protocol;
        LONG expectedOffset;
    } cases[] = {
        {-1, -1, -1, -1, -1, 9},     // the first interface
        {1, -1, -1, -1, -1, 27},     // interface 1, any setting: its setting 0
        {1, 1, -1, -1, -1, 36},      // exact setting
        {1, 2, -1, -1, -1, -1},      // no such setting
        {-1, 0, 0xFF, -1, -1, 52},   // by class
        {-1, 0, 1, 2, -1, 27},       // class and subclass
        {-1, -1, 1, 1, 0x20, 9},     // protocol
        {-1, -1, 1, 1, 0x00, -1},    // protocol mismatch
        {0, 0, 2, -1, -1, -1},       // class mismatch
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.number << "/" << c.alt << " class " << c.cls << "/" << c.subclass << "/" << c.protocol);
        EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alt, c.cls, c.subclass,
                                                                   c.protocol)),
                  c.expectedOffset);
    }
    // The start position is inclusive and moves the search on.
    EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(config, b.data() + 27, -1, -1, -1, -1, -1)), 27);
    EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(config, b.data() + 28, -1, -1, -1, -1, -1)), -1)
        << "a start inside a descriptor is walked as the bytes there say; here they end the walk";
    EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(config, b.data() + 36, 1, -1, -1, -1, -1)), 36);
    EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptor(config, 2, 0)), 52);
}

TEST(UsbdParse, DescriptorsByTypeFromAStartPosition) {
    ExactBuffer b(Small());
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), b.size(), b.data(), USB_INTERFACE_DESCRIPTOR_TYPE)), 9);
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), b.size(), b.data() + 9, USB_INTERFACE_DESCRIPTOR_TYPE)), 9);
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), b.size(), b.data() + 18, USB_INTERFACE_DESCRIPTOR_TYPE)), 27);
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), b.size(), b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE)), 45);
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), b.size(), b.data(), USB_AUDIO_CS_INTERFACE)), 18);
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), b.size(), b.data(), USB_STRING_DESCRIPTOR_TYPE), nullptr);
    // A total length that stops short of a descriptor hides it.
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), 51, b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(OffsetOf(b, USBD_ParseDescriptors(b.data(), 52, b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE)), 45);
    // Starts outside the buffer, and types outside a byte, find nothing.
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), b.size(), b.data() + b.size(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(b.data() + 9, b.size() - 9, b.data(), USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), b.size(), b.data(), 0x104), nullptr);
}

TEST(UsbdWalk, InterfaceScopedSearchAndNextInterface) {
    ExactBuffer b(Small());
    const UsbDescriptorRange range = UsbConfigurationRange(Config(b), b.size());
    const UCHAR* setting1 = b.data() + 36;
    // Within interface 1 setting 1: its endpoint; from setting 0: nothing.
    EXPECT_EQ(OffsetOf(b, UsbFindDescriptor(range, setting1, USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true)), 45);
    EXPECT_EQ(UsbFindDescriptor(range, b.data() + 27, USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true), nullptr);
    // Subtype filter: the header is subtype 1, not 2.
    EXPECT_EQ(OffsetOf(b, UsbFindDescriptor(range, b.data(), USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_HEADER)), 18);
    EXPECT_EQ(UsbFindDescriptor(range, b.data(), USB_AUDIO_CS_INTERFACE, USB_AUDIO20_AC_INPUT_TERMINAL), nullptr);
    EXPECT_EQ(OffsetOf(b, UsbNextInterfaceDescriptor(range, b.data() + 9)), 27);
    EXPECT_EQ(OffsetOf(b, UsbNextInterfaceDescriptor(range, b.data() + 45)), 52);
    EXPECT_EQ(UsbNextInterfaceDescriptor(range, b.data() + 52), nullptr);
    EXPECT_TRUE(UsbRangeHolds(range, b.data() + 18, 9));
    EXPECT_TRUE(UsbRangeHolds(range, b.data() + 52, 9));
    EXPECT_FALSE(UsbRangeHolds(range, b.data() + 52, 10));
    EXPECT_FALSE(UsbRangeHolds(range, b.data() + b.size(), 0));
}

TEST(UsbdWalk, ConfigurationRangeIsTotalLengthClampedToTheBuffer) {
    std::vector<std::uint8_t> bytes = Small();
    bytes[2] = 200;  // announces more than is held
    ExactBuffer b(bytes);
    EXPECT_EQ(UsbConfigurationRange(Config(b), b.size()).end, b.data() + b.size());
    EXPECT_EQ(UsbConfigurationRange(Config(b), 20).end, b.data() + 20);
    EXPECT_EQ(UsbConfigurationRange(Config(b), 8).begin, nullptr) << "a buffer too short for the header holds nothing";
    bytes[2] = 27;
    ExactBuffer shorter(bytes);
    const UsbDescriptorRange range = UsbConfigurationRange(Config(shorter), shorter.size());
    EXPECT_EQ(range.end, shorter.data() + 27);
    EXPECT_EQ(OffsetOf(shorter, USBD_ParseConfigurationDescriptorEx(Config(shorter), shorter.data(), 1, -1, -1, -1, -1)), -1)
        << "interface 1 lies beyond wTotalLength";
}

// Hand-made shapes at the descriptor that follows the AudioControl
// interface: the walk ends there, and nothing after it is found.
TEST(UsbdWalk, StopsAtLengthsBelowTwoOrRunningPastTheEnd) {
    const struct { const char* name; std::uint8_t length; } cases[] = {
        {"zero", 0}, {"one", 1}, {"past the end", 0xFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> bytes = Small();
        bytes[18] = c.length;
        ExactBuffer b(bytes);
        auto* config = Config(b);
        const UsbDescriptorRange range = UsbConfigurationRange(config, b.size());
        EXPECT_EQ(UsbDescriptorAt(range, b.data() + 18), nullptr);
        EXPECT_EQ(UsbNextDescriptor(range, b.data() + 9), nullptr);
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), nullptr);
        EXPECT_EQ(USBD_ParseDescriptors(b.data(), b.size(), b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
        EXPECT_EQ(UsbNextInterfaceDescriptor(range, b.data() + 9), nullptr);
        // What precedes the fault is still found.
        EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1)), 9);
    }
    // An interface descriptor too short to hold its fields is never returned
    // as one, though the walk steps over it.
    std::vector<std::uint8_t> bytes = Small();
    bytes[27] = 4;  // "interface" of 4 bytes; the next descriptor starts at 31, inside its old body
    bytes.erase(bytes.begin() + 31, bytes.begin() + 36);
    bytes[2] = static_cast<std::uint8_t>(bytes.size());
    ExactBuffer b(bytes);
    EXPECT_EQ(OffsetOf(b, USBD_ParseConfigurationDescriptorEx(Config(b), Config(b), 1, -1, -1, -1, -1)), 31);
}

// Every profile with every length fault: the walk stays inside the bytes
// and the driver's searches return either nothing or a whole descriptor.
TEST(UsbdWalk, MalformedProfilesNeverReadPastTheirBytes) {
    const Description profiles[] = {MakerDevice(), GenericUac1Device(), MidiDevice(), AudioWithMidiDevice(BusSpeed::Super)};
    int seeds = 0;
    for (const Description& d : profiles) {
        for (const FuzzSeed& seed : MalformedSeeds(BuildDescriptorSet(d))) {
            SCOPED_TRACE(seed.name);
            ++seeds;
            ExactBuffer b(seed.configuration);
            if (b.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) continue;
            auto* config = Config(b);
            const UsbDescriptorRange range = UsbConfigurationRange(config, b.size());
            std::size_t walked = 0;
            for (auto* x = UsbDescriptorAt(range, config); x != nullptr; x = UsbNextDescriptor(range, x)) {
                ASSERT_TRUE(UsbRangeHolds(range, x, x->bLength));
                ++walked;
            }
            if (config->wTotalLength >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                EXPECT_GE(walked, 1u);
            } else {
                EXPECT_EQ(walked, 0u) << "a wTotalLength below the header leaves nothing to walk";
            }
            EXPECT_FALSE(usbtest::CheckConfiguration(seed.configuration).empty()) << "the fault is visible";
            // The Windows-signature routines trust wTotalLength, so they only
            // run on seeds whose wTotalLength is within the bytes held.
            if (config->wTotalLength > b.size()) continue;
            for (LONG n = 0; n < 4; ++n) {
                auto* found = USBD_ParseConfigurationDescriptorEx(config, config, n, -1, -1, -1, -1);
                if (found != nullptr) {
                    EXPECT_TRUE(UsbRangeHolds(range, found, sizeof(USB_INTERFACE_DESCRIPTOR)));
                }
            }
            for (LONG type : {USB_ENDPOINT_DESCRIPTOR_TYPE, USB_AUDIO_CS_INTERFACE, USB_AUDIO_CS_ENDPOINT}) {
                for (auto* x = USBD_ParseDescriptors(b.data(), config->wTotalLength, b.data(), type); x != nullptr;
                     x = USBD_ParseDescriptors(b.data(), config->wTotalLength, reinterpret_cast<UCHAR*>(x) + x->bLength, type))
                    ASSERT_TRUE(UsbRangeHolds(range, x, x->bLength));
            }
        }
    }
    EXPECT_GT(seeds, 40);
}

}  // namespace
}  // namespace sim::usb

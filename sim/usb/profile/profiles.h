// Ready-made device descriptions: the maker's interface at each bus speed,
// generic class-compliant UAC2 and UAC1 devices, USB-MIDI devices.
//
// Each factory returns a Description that the caller may still edit (every
// field is plain data) before building it; the options cover the variations
// tests ask for most.
#pragma once

#include "sim/usb/profile/description.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::usb {

// The maker's identity.
inline constexpr std::uint16_t kMakerVendorId = 0x7A3C;
inline constexpr std::uint16_t kMakerProductId = 0x0B51;

// Entity ids of the maker's device.
inline constexpr std::uint8_t kMakerPlaybackInputTerminal = 0x01;   // USB streaming
inline constexpr std::uint8_t kMakerPlaybackFeatureUnit = 0x02;
inline constexpr std::uint8_t kMakerPlaybackOutputTerminal = 0x03;  // speaker
inline constexpr std::uint8_t kMakerCaptureInputTerminal = 0x04;    // microphone
inline constexpr std::uint8_t kMakerCaptureFeatureUnit = 0x05;
inline constexpr std::uint8_t kMakerCaptureOutputTerminal = 0x06;   // USB streaming
inline constexpr std::uint8_t kMakerClockSelector = 0x29;
inline const std::vector<std::uint8_t> kMakerClockSourceIds = {0x25, 0x26, 0x27, 0x28};

// The rates every profile clock offers by default: 44.1 to 192 kHz, each a
// discrete subrange.
std::vector<FrequencyRange> StandardRates();
std::vector<FrequencyRange> DiscreteRates(const std::vector<std::uint32_t>& rates);

// Units a profile can insert into its playback chain (between the input
// terminal and the feature unit) to exercise the driver's unit handling.
enum class ExtraUnit : std::uint8_t {
    Mixer,
    Selector,
    Effect,      // 2.0 only
    Processing,
    Extension,
    ClockMultiplier,      // 2.0 only: clock entity next to the sources
    SampleRateConverter,  // 2.0 only
};

struct MakerDeviceOptions {
    BusSpeed speed = BusSpeed::High;
    // Channels of every streaming setting; by default 32 at SuperSpeed and
    // high speed, 2 at full speed.
    std::optional<std::uint8_t> channels{};
    // The clock selector's inputs, in pin order (one entry: a one-pin
    // selector). The first is the internal clock; the others external.
    std::vector<std::uint8_t> clockSourceIds = kMakerClockSourceIds;
    std::vector<FrequencyRange> rates = StandardRates();
    // Alternate setting numbers of the 16, 24 and 32-bit settings.
    std::vector<std::uint8_t> altNumbers = {1, 2, 3};
    std::uint8_t playbackInterface = 1;
    std::uint8_t captureInterface = 2;
    bool playback = true;
    bool capture = true;
    // Data endpoints' wMaxPacketSize; by default the speed's bulk packet size.
    std::optional<std::uint16_t> maxPacketSize{};
    bool isochronous = false;  // isochronous data endpoints instead of bulk
    std::vector<ExtraUnit> extraUnits{};
    std::u16string serialNumber = u"OVU-0000001";
};

// The maker's interface: vendor-specific (class 0xFF) UAC2 function at
// interface 0, a playback and a capture streaming interface, four clock
// sources behind one clock selector, bulk data endpoints 0x01 / 0x81. On a
// high-speed bus at 176.4 and 192 kHz its frames carry 16 channels.
Description MakerDevice(const MakerDeviceOptions& options = {});

struct GenericUac2Options {
    BusSpeed speed = BusSpeed::High;
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0002;
    std::uint8_t channels = 2;
    std::vector<std::uint8_t> bitDepths = {16, 24};  // subslot 2 and 4 bytes
    std::vector<FrequencyRange> rates = StandardRates();
    // Clock sources; with more than zero selector inputs the terminals are
    // clocked by a selector over the first `selectorInputs` sources.
    std::uint8_t clockSources = 1;
    std::uint8_t selectorInputs = 0;
    bool playback = true;
    bool capture = true;
    bool isochronous = true;
    bool feedback = false;  // an explicit feedback endpoint on playback settings
    std::vector<ExtraUnit> extraUnits{};
    bool withMidi = false;  // a MIDI streaming interface after the audio function
};

// A class-compliant UAC2 device (interface class 1).
Description GenericUac2Device(const GenericUac2Options& options = {});

struct GenericUac1Options {
    BusSpeed speed = BusSpeed::Full;
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0001;
    std::uint8_t channels = 2;
    std::vector<std::uint8_t> bitDepths = {16};  // subframe 2 (16), 3 (24) bytes
    std::vector<std::uint32_t> sampleRates = {44100, 48000};
    bool continuousRates = false;  // sampleRates holds the lower and upper bound
    bool playback = true;
    bool capture = true;
    bool isochronous = true;
    bool feedback = false;          // a 1.0 synch endpoint named by bSynchAddress
    bool samplingFrequencyControl = true;  // class-specific endpoint bit 0
    std::uint8_t featureControlSize = 1;
    bool processingUnit = false;    // a processing unit in the playback chain
    std::vector<ExtraUnit> extraUnits{};
};

// A class-compliant USB Audio 1.0 device.
Description GenericUac1Device(const GenericUac1Options& options = {});

struct MidiDeviceOptions {
    BusSpeed speed = BusSpeed::Full;
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0003;
    std::uint8_t embeddedInJacks = 1;
    std::uint8_t externalInJacks = 1;
    std::uint8_t embeddedOutJacks = 1;
    std::uint8_t externalOutJacks = 1;
    std::uint16_t bcdMSC = USB_MIDI_BCD_MSC_10;
};

// A USB-MIDI device: an AudioControl interface (1.0 header listing the MIDI
// interface, no entities) and a MIDIStreaming interface with bulk OUT 0x02
// and IN 0x82.
Description MidiDevice(const MidiDeviceOptions& options = {});

// A generic UAC2 device that also carries a MIDI streaming interface.
Description AudioWithMidiDevice(BusSpeed speed = BusSpeed::High);

}  // namespace sim::usb

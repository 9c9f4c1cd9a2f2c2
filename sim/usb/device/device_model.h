// What the virtual device knows about itself, read from its own descriptors.
//
// The device answers requests and streams according to its configuration
// descriptor, so it parses that descriptor once, with the same bounded walk
// the driver uses: a raw dump of a real device may be malformed, and the
// device then simply lacks what it cannot read (requests to it stall).
#pragma once

#include "platform/base/types.h"
#include "sim/usb/device/sample_format.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace sim::usb {

enum class AudioClass : std::uint8_t { None, Uac1, Uac2 };

// What an endpoint carries, decided by the interface it belongs to.
enum class EndpointRole : std::uint8_t {
    Audio,  // an AudioStreaming setting with a type I format: frames on the sample clock
    Midi,   // a MIDIStreaming interface: 4-byte event packets
    Other,  // anything else: never produces data, swallows what it is sent
};

struct EndpointModel {
    UCHAR address = 0;
    UCHAR attributes = 0;          // bmAttributes; bits 0-1 the transfer type
    USHORT maxPacketSize = 0;      // bits 0-10 of wMaxPacketSize
    UCHAR interval = 0;
    EndpointRole role = EndpointRole::Other;
    bool uac1SamplingFrequencyControl = false;  // 1.0 CS endpoint bmAttributes bit 0

    bool In() const { return (address & 0x80) != 0; }
    UCHAR TransferType() const { return attributes & 0x03; }
};

struct AltSettingModel {
    UCHAR alternate = 0;
    UCHAR interfaceClass = 0;
    UCHAR interfaceSubClass = 0;
    UCHAR interfaceProtocol = 0;
    std::vector<EndpointModel> endpoints;
    // AudioStreaming settings with a type I format only.
    std::optional<SampleLayout> layout;
    UCHAR terminalLink = 0;
    // 1.0 settings: the sampling frequencies of the format descriptor
    // (continuous: [lower, upper]).
    bool uac1Continuous = false;
    std::vector<ULONG> uac1Frequencies;

    bool Uac1AcceptsRate(ULONG rate) const;
};

struct InterfaceModel {
    UCHAR number = 0;
    std::vector<AltSettingModel> alternates;  // in descriptor order

    const AltSettingModel* Alternate(UCHAR alternate) const;
};

struct ClockSourceModel {
    UCHAR id = 0;
    UCHAR attributes = 0;
    UCHAR controls = 0;  // bits 0-1 frequency, bits 2-3 validity
};

struct ClockSelectorModel {
    UCHAR id = 0;
    std::vector<UCHAR> inputs;  // baCSourceID; pin n is inputs[n - 1]
    UCHAR controls = 0;         // bits 0-1 the selector control
};

struct ClockMultiplierModel {
    UCHAR id = 0;
    UCHAR source = 0;
    UCHAR controls = 0;  // bits 0-1 numerator, bits 2-3 denominator
};

struct TerminalModel {
    UCHAR id = 0;
    bool input = false;
    USHORT type = 0;
    UCHAR clockSource = 0;  // 2.0 only
    UCHAR channels = 0;     // input terminals only
    ULONG channelConfig = 0;
    UCHAR channelNames = 0;
    USHORT controls = 0;  // 2.0 bmControls; bits 2-3 the connector control
};

// Access to a control as the device grants it: 2.0 pairs (0 absent, 1
// read-only, 3 read-write); 1.0 controls are read-write when present.
using ControlAccess = std::uint8_t;
inline constexpr ControlAccess kControlAbsent = 0;
inline constexpr ControlAccess kControlRead = 1;
inline constexpr ControlAccess kControlReadWrite = 3;

struct FeatureUnitModel {
    UCHAR id = 0;
    UCHAR source = 0;
    // Per channel, index 0 the master channel.
    std::vector<ControlAccess> mute;
    std::vector<ControlAccess> volume;
};

struct ConfigurationModel {
    UCHAR configurationValue = 0;
    UCHAR attributes = 0;
    AudioClass audioClass = AudioClass::None;
    std::optional<UCHAR> controlInterface;  // the AudioControl interface number
    std::vector<InterfaceModel> interfaces;
    std::vector<ClockSourceModel> clockSources;
    std::vector<ClockSelectorModel> clockSelectors;
    std::vector<ClockMultiplierModel> clockMultipliers;
    std::vector<TerminalModel> terminals;
    std::vector<FeatureUnitModel> featureUnits;
    std::vector<UCHAR> otherUnits;  // units whose controls the device does not model

    const InterfaceModel* Interface(UCHAR number) const;
    const ClockSourceModel* ClockSource(UCHAR id) const;
    const ClockSelectorModel* ClockSelector(UCHAR id) const;
    const ClockMultiplierModel* ClockMultiplier(UCHAR id) const;
    const TerminalModel* Terminal(UCHAR id) const;
    const FeatureUnitModel* FeatureUnit(UCHAR id) const;
};

// Parses `size` bytes holding a configuration descriptor. Never reads
// outside them; whatever a malformed descriptor hides is left out.
ConfigurationModel ParseConfiguration(const UCHAR* data, std::size_t size);

}  // namespace sim::usb

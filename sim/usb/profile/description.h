// The model of a virtual USB audio device's descriptors.
//
// A Description says what the device is (speed, identity, AudioControl
// entities, streaming interfaces with their alternate settings, an optional
// MIDI interface) in plain fields; BuildDescriptorSet (builder.h) serialises
// it into the exact bytes a device returns. The device behaviour and the
// tests ask the same Description their questions (channels and subslot of a
// setting, endpoint addresses, clock ids, feature-unit channels) instead of
// re-parsing bytes.
//
// The "shape" fields (omitted descriptors, overlapping class-specific
// blocks, ...) exist to produce the malformed and unusual devices a driver
// must survive; they default to a well-formed device.
#pragma once

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/descriptors.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::usb {

// The bus speed, with the values the driver's speed query reports.
enum class BusSpeed : std::uint8_t { Full = 0, High = 2, Super = 3 };

const char* BusSpeedName(BusSpeed speed);

// The bulk packet size of the speed: 64, 512 or 1024 bytes.
std::uint16_t BulkMaxPacketSize(BusSpeed speed);

enum class AudioClassVersion : std::uint8_t { Uac1, Uac2 };

// One subrange of a clock source's sampling frequencies, as its RANGE
// request reports it (min == max for a discrete rate).
struct FrequencyRange {
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    std::uint32_t res = 0;
    friend bool operator==(const FrequencyRange&, const FrequencyRange&) = default;
};

enum class EntityKind : std::uint8_t {
    InputTerminal,
    OutputTerminal,
    MixerUnit,
    SelectorUnit,
    FeatureUnit,
    EffectUnit,        // 2.0 only
    ProcessingUnit,
    ExtensionUnit,
    ClockSource,       // 2.0 only
    ClockSelector,     // 2.0 only
    ClockMultiplier,   // 2.0 only
    SampleRateConverter,  // 2.0 only
};

const char* EntityKindName(EntityKind kind);

// The AudioControl descriptor subtype of the kind in the given class
// version; 0 for a kind the version does not have.
std::uint8_t EntitySubtype(EntityKind kind, AudioClassVersion version);

// One AudioControl entity. Which fields matter depends on the kind; the
// factory functions below fill the ones that do.
struct Entity {
    EntityKind kind = EntityKind::InputTerminal;
    std::uint8_t id = 0;
    // Upstream entity ids: the one source of an output terminal, feature
    // unit, effect unit or SRC; the input pins of a mixer, selector,
    // processing or extension unit; the clock inputs of a clock selector;
    // the source clock of a clock multiplier.
    std::vector<std::uint8_t> sources{};
    std::uint8_t clock = 0;     // 2.0 terminals: bCSourceID; SRC: bCSourceInID
    std::uint8_t clockOut = 0;  // SRC: bCSourceOutID
    std::uint16_t terminalType = 0;
    std::uint8_t assocTerminal = 0;
    std::uint8_t channels = 0;  // logical output channels of terminals and mixing units
    std::uint32_t channelConfig = 0;
    std::uint32_t controls = 0;  // bmControls, in the width the descriptor has
    // Feature and effect units: bmaControls per channel, [0] the master.
    std::vector<std::uint32_t> channelControls{};
    std::uint8_t controlSize = 1;  // 1.0 feature, processing, extension units: bControlSize
    std::uint16_t processType = 0;  // processing: wProcessType; extension: wExtensionCode; effect: wEffectType
    std::vector<std::uint8_t> extra{};  // mixer: bmMixerControls; processing: process-specific bytes
    std::uint8_t clockAttributes = 0;  // clock source bmAttributes
    std::vector<FrequencyRange> frequencies{};  // clock source: what RANGE reports
    std::uint8_t stringIndex = 0;

    // Channels of a feature or effect unit, including the master channel.
    std::size_t ChannelCountWithMaster() const { return channelControls.size(); }
};

// Factories for the entities profiles use. Clock sources default to an
// internal programmable clock with read/write frequency and read-only
// validity controls.
Entity ClockSource(std::uint8_t id, std::vector<FrequencyRange> frequencies,
                   std::uint8_t attributes = USB_AUDIO20_CLOCK_TYPE_INTERNAL_PROGRAMMABLE,
                   std::uint8_t controls = USB_AUDIO20_CONTROL_BITS(0, USB_AUDIO20_CONTROL_READ_WRITE) |
                                           USB_AUDIO20_CONTROL_BITS(1, USB_AUDIO20_CONTROL_READ));
Entity ClockSelector(std::uint8_t id, std::vector<std::uint8_t> inputs,
                     std::uint8_t controls = USB_AUDIO20_CONTROL_BITS(0, USB_AUDIO20_CONTROL_READ_WRITE));
Entity ClockMultiplier(std::uint8_t id, std::uint8_t source);
Entity InputTerminal(std::uint8_t id, std::uint16_t terminalType, std::uint8_t channels, std::uint8_t clock = 0,
                     std::uint16_t controls = 0);
Entity OutputTerminal(std::uint8_t id, std::uint16_t terminalType, std::uint8_t source, std::uint8_t clock = 0,
                      std::uint16_t controls = 0);
// A feature unit with the same controls on every channel; `logicalChannels`
// excludes the master channel.
Entity FeatureUnit(std::uint8_t id, std::uint8_t source, std::uint8_t logicalChannels, std::uint32_t masterControls,
                   std::uint32_t channelControls, std::uint8_t controlSize = 1);
Entity MixerUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels);
Entity SelectorUnit(std::uint8_t id, std::vector<std::uint8_t> sources);
Entity EffectUnit(std::uint8_t id, std::uint8_t source, std::uint8_t logicalChannels);
Entity ProcessingUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels,
                      std::uint16_t processType = 0x0001);
Entity ExtensionUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels);
Entity SampleRateConverter(std::uint8_t id, std::uint8_t source, std::uint8_t clockIn, std::uint8_t clockOut);

// The UAC2 feature-unit bmaControls for mute and volume with the given
// access (USB_AUDIO20_CONTROL_READ or _READ_WRITE).
constexpr std::uint32_t Uac2MuteVolume(std::uint32_t access) {
    return USB_AUDIO20_CONTROL_BITS(0, access) | USB_AUDIO20_CONTROL_BITS(1, access);
}
// The UAC1 feature-unit bitmap for mute and volume (bits 0 and 1).
inline constexpr std::uint32_t kUac1MuteVolume = 0x3;

struct Endpoint {
    std::uint8_t address = 0;
    std::uint8_t attributes = USB_ENDPOINT_TYPE_BULK;
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
    // 1.0 endpoints (9 bytes): bRefresh and bSynchAddress.
    std::uint8_t refresh = 0;
    std::uint8_t synchAddress = 0;
    // SuperSpeed companion fields (the builder adds the companion at
    // SuperSpeed). bytesPerInterval 0 means "the packet size" for
    // isochronous and interrupt endpoints.
    std::uint8_t maxBurst = 0;
    std::uint8_t companionAttributes = 0;
    std::uint16_t bytesPerInterval = 0;

    bool IsIn() const { return USB_ENDPOINT_DIRECTION_IN(address); }
    std::uint8_t TransferType() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
    bool IsIsochronous() const { return TransferType() == USB_ENDPOINT_TYPE_ISOCHRONOUS; }
    bool IsBulk() const { return TransferType() == USB_ENDPOINT_TYPE_BULK; }
};

// One operational alternate setting of a streaming interface (setting 0,
// without endpoints, is always there and not listed).
struct AltSetting {
    std::uint8_t alternateSetting = 1;
    std::uint8_t channels = 2;
    std::uint8_t subslotSize = 2;  // 2.0 bSubslotSize / 1.0 bSubframeSize
    std::uint8_t bitResolution = 16;
    std::uint8_t formatType = USB_AUDIO_FORMAT_TYPE_I;
    std::uint32_t formats = USB_AUDIO20_FORMAT_PCM;  // 2.0 bmFormats
    std::uint16_t formatTag = USB_AUDIO10_FORMAT_PCM;  // 1.0 wFormatTag
    std::uint32_t channelConfig = 0;
    // 1.0 FORMAT_TYPE I frequencies: a list, or with continuousRates the
    // lower and upper bound.
    std::vector<std::uint32_t> sampleRates{};
    bool continuousRates = false;
    Endpoint data{};
    std::optional<Endpoint> feedback{};
    // Class-specific endpoint: 1.0 bmAttributes (sampling-frequency control
    // bit), 2.0 bmAttributes and bmControls.
    std::uint8_t csEndpointAttributes = 0;
    std::uint8_t csEndpointControls = 0;
    std::optional<std::uint8_t> terminalLink{};  // overrides the interface's
    // Shape.
    bool hasAsGeneral = true;
    bool hasFormatType = true;
    bool hasCsEndpoint = true;

    std::uint32_t BytesPerFrame() const { return std::uint32_t{channels} * subslotSize; }
    std::uint8_t EndpointCount() const { return static_cast<std::uint8_t>(feedback ? 2 : 1); }
};

struct StreamingInterface {
    std::uint8_t interfaceNumber = 1;
    std::uint8_t terminalLink = 0;  // the USB-streaming terminal of this direction
    std::vector<AltSetting> alts{};   // in descriptor order

    // The direction of the first setting's data endpoint (capture = IN).
    bool IsInput() const;
    const AltSetting* FindAlt(std::uint8_t alternateSetting) const;
};

// A USB-MIDI streaming interface. Jack ids are assigned in order: embedded
// IN jacks, external IN jacks, embedded OUT jacks, external OUT jacks, from
// firstJackId. Embedded IN jacks take the host's data (bulk OUT endpoint);
// embedded OUT jacks send to the host (bulk IN endpoint).
struct MidiInterface {
    std::uint8_t interfaceNumber = 1;
    std::uint16_t bcdMSC = USB_MIDI_BCD_MSC_10;
    std::uint8_t embeddedInJacks = 1;
    std::uint8_t externalInJacks = 1;
    std::uint8_t embeddedOutJacks = 1;
    std::uint8_t externalOutJacks = 1;
    std::uint8_t firstJackId = 1;
    Endpoint out{.address = 0x02, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64};
    Endpoint in{.address = 0x82, .attributes = USB_ENDPOINT_TYPE_BULK, .maxPacketSize = 64};
    // Shape.
    bool hasHeader = true;

    std::vector<std::uint8_t> EmbeddedInJackIds() const;
    std::vector<std::uint8_t> ExternalInJackIds() const;
    std::vector<std::uint8_t> EmbeddedOutJackIds() const;
    std::vector<std::uint8_t> ExternalOutJackIds() const;
};

// An interface that no function claims (a "second unused interface").
struct ExtraInterface {
    std::uint8_t interfaceNumber = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    std::uint8_t interfaceSubClass = 0;
    std::uint8_t interfaceProtocol = 0;
    std::vector<Endpoint> endpoints{};
};

struct DeviceIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::u16string manufacturer{};
    std::u16string product{};
    std::u16string serialNumber{};
};

struct Description {
    BusSpeed speed = BusSpeed::High;
    AudioClassVersion audioClass = AudioClassVersion::Uac2;
    DeviceIdentity identity{};
    // Interface class of the AudioControl and AudioStreaming interfaces:
    // 1 (audio) or 0xFF for a vendor-specific function.
    std::uint8_t functionClass = USB_DEVICE_CLASS_AUDIO;
    std::uint8_t controlInterfaceNumber = 0;
    bool interfaceAssociation = true;  // an IAD before the audio function
    std::uint8_t category = 0x08;      // 2.0 bCategory (I/O box)
    std::uint8_t configurationAttributes = USB_CONFIG_BUS_POWERED;
    std::uint8_t maxPower = 50;  // in the speed's unit (2 mA, 8 mA at SuperSpeed)
    std::vector<Entity> entities{};  // in descriptor order
    std::vector<StreamingInterface> streaming{};
    std::optional<MidiInterface> midi{};
    std::vector<ExtraInterface> extraInterfaces{};
    // Shape.
    bool hasControlHeader = true;
    // Added to the AudioControl header's wTotalLength: a positive value makes
    // the class-specific block overlap the next interface.
    int controlTotalLengthAdjust = 0;

    std::optional<std::uint16_t> bcdUsbOverride{};  // bcdUSB follows the speed unless set

    // Behaviour, not descriptors: from 176400 Hz on a high-speed bus the
    // device's frames carry at most this many channels in the selected
    // setting, its descriptors unchanged (0: as described). The maker's
    // device does so where its high-speed packet budget runs out.
    std::uint8_t highSpeedHighRateChannels = 0;

    // Device-descriptor fields that follow from the speed: bcdUSB 0x0110 /
    // 0x0200 / 0x0300, bMaxPacketSize0 64 / 64 / 9 (2^9 = 512).
    std::uint16_t BcdUsb() const;
    std::uint8_t MaxPacketSize0() const;

    const Entity* FindEntity(std::uint8_t id) const;
    std::vector<const Entity*> EntitiesOfKind(EntityKind kind) const;
    // Ids of every clock source, in descriptor order.
    std::vector<std::uint8_t> ClockSourceIds() const;
    // The first clock selector, or nullptr.
    const Entity* FirstClockSelector() const;
    // The clock entity that clocks the interface's terminal (2.0), or nullptr.
    const Entity* ClockOf(const StreamingInterface& interface) const;
    // Channels of a feature unit including the master channel; 0 when `id`
    // is not a feature unit.
    std::size_t FeatureUnitChannelCount(std::uint8_t id) const;

    const StreamingInterface* FindStreaming(std::uint8_t interfaceNumber) const;
    const AltSetting* FindAlt(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) const;
    // The first playback (OUT) and capture (IN) streaming interfaces.
    const StreamingInterface* Playback() const;
    const StreamingInterface* Capture() const;
    // Every interface number the configuration has, ascending, once each.
    std::vector<std::uint8_t> InterfaceNumbers() const;
};

}  // namespace sim::usb

#include "sim/usb/profile/description.h"

#include <algorithm>

namespace sim::usb {

const char* BusSpeedName(BusSpeed speed) {
    switch (speed) {
        case BusSpeed::Full: return "full speed";
        case BusSpeed::High: return "high speed";
        case BusSpeed::Super: return "SuperSpeed";
    }
    return "?";
}

std::uint16_t BulkMaxPacketSize(BusSpeed speed) {
    switch (speed) {
        case BusSpeed::Full: return 64;
        case BusSpeed::High: return 512;
        case BusSpeed::Super: return USB_ENDPOINT_SUPERSPEED_BULK_MAX_PACKET_SIZE;
    }
    return 64;
}

const char* EntityKindName(EntityKind kind) {
    switch (kind) {
        case EntityKind::InputTerminal: return "input terminal";
        case EntityKind::OutputTerminal: return "output terminal";
        case EntityKind::MixerUnit: return "mixer unit";
        case EntityKind::SelectorUnit: return "selector unit";
        case EntityKind::FeatureUnit: return "feature unit";
        case EntityKind::EffectUnit: return "effect unit";
        case EntityKind::ProcessingUnit: return "processing unit";
        case EntityKind::ExtensionUnit: return "extension unit";
        case EntityKind::ClockSource: return "clock source";
        case EntityKind::ClockSelector: return "clock selector";
        case EntityKind::ClockMultiplier: return "clock multiplier";
        case EntityKind::SampleRateConverter: return "sample-rate converter";
    }
    return "?";
}

std::uint8_t EntitySubtype(EntityKind kind, AudioClassVersion version) {
    const bool v2 = version == AudioClassVersion::Uac2;
    switch (kind) {
        case EntityKind::InputTerminal: return USB_AUDIO20_AC_INPUT_TERMINAL;
        case EntityKind::OutputTerminal: return USB_AUDIO20_AC_OUTPUT_TERMINAL;
        case EntityKind::MixerUnit: return USB_AUDIO20_AC_MIXER_UNIT;
        case EntityKind::SelectorUnit: return USB_AUDIO20_AC_SELECTOR_UNIT;
        case EntityKind::FeatureUnit: return USB_AUDIO20_AC_FEATURE_UNIT;
        case EntityKind::EffectUnit: return v2 ? USB_AUDIO20_AC_EFFECT_UNIT : 0;
        case EntityKind::ProcessingUnit: return v2 ? USB_AUDIO20_AC_PROCESSING_UNIT : USB_AUDIO10_AC_PROCESSING_UNIT;
        case EntityKind::ExtensionUnit: return v2 ? USB_AUDIO20_AC_EXTENSION_UNIT : USB_AUDIO10_AC_EXTENSION_UNIT;
        case EntityKind::ClockSource: return v2 ? USB_AUDIO20_AC_CLOCK_SOURCE : 0;
        case EntityKind::ClockSelector: return v2 ? USB_AUDIO20_AC_CLOCK_SELECTOR : 0;
        case EntityKind::ClockMultiplier: return v2 ? USB_AUDIO20_AC_CLOCK_MULTIPLIER : 0;
        case EntityKind::SampleRateConverter: return v2 ? USB_AUDIO20_AC_SAMPLE_RATE_CONVERTER : 0;
    }
    return 0;
}

Entity ClockSource(std::uint8_t id, std::vector<FrequencyRange> frequencies, std::uint8_t attributes,
                   std::uint8_t controls) {
    Entity e;
    e.kind = EntityKind::ClockSource;
    e.id = id;
    e.clockAttributes = attributes;
    e.controls = controls;
    e.frequencies = std::move(frequencies);
    return e;
}

Entity ClockSelector(std::uint8_t id, std::vector<std::uint8_t> inputs, std::uint8_t controls) {
    Entity e;
    e.kind = EntityKind::ClockSelector;
    e.id = id;
    e.sources = std::move(inputs);
    e.controls = controls;
    return e;
}

Entity ClockMultiplier(std::uint8_t id, std::uint8_t source) {
    Entity e;
    e.kind = EntityKind::ClockMultiplier;
    e.id = id;
    e.sources = {source};
    e.controls = USB_AUDIO20_CONTROL_BITS(0, USB_AUDIO20_CONTROL_READ) | USB_AUDIO20_CONTROL_BITS(1, USB_AUDIO20_CONTROL_READ);
    return e;
}

Entity InputTerminal(std::uint8_t id, std::uint16_t terminalType, std::uint8_t channels, std::uint8_t clock,
                     std::uint16_t controls) {
    Entity e;
    e.kind = EntityKind::InputTerminal;
    e.id = id;
    e.terminalType = terminalType;
    e.channels = channels;
    e.channelConfig = channels == 2 ? 0x3u : channels == 1 ? 0x1u : 0u;
    e.clock = clock;
    e.controls = controls;
    return e;
}

Entity OutputTerminal(std::uint8_t id, std::uint16_t terminalType, std::uint8_t source, std::uint8_t clock,
                      std::uint16_t controls) {
    Entity e;
    e.kind = EntityKind::OutputTerminal;
    e.id = id;
    e.terminalType = terminalType;
    e.sources = {source};
    e.clock = clock;
    e.controls = controls;
    return e;
}

Entity FeatureUnit(std::uint8_t id, std::uint8_t source, std::uint8_t logicalChannels, std::uint32_t masterControls,
                   std::uint32_t channelControls, std::uint8_t controlSize) {
    Entity e;
    e.kind = EntityKind::FeatureUnit;
    e.id = id;
    e.sources = {source};
    e.controlSize = controlSize;
    e.channelControls.assign(std::size_t{logicalChannels} + 1, channelControls);
    e.channelControls[0] = masterControls;
    return e;
}

Entity MixerUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels) {
    Entity e;
    e.kind = EntityKind::MixerUnit;
    e.id = id;
    e.sources = std::move(sources);
    e.channels = channels;
    // One programmable bit per input-channel / output-channel pair; one byte
    // is enough for the small mixers profiles use.
    e.extra = {0xFF};
    return e;
}

Entity SelectorUnit(std::uint8_t id, std::vector<std::uint8_t> sources) {
    Entity e;
    e.kind = EntityKind::SelectorUnit;
    e.id = id;
    e.sources = std::move(sources);
    return e;
}

Entity EffectUnit(std::uint8_t id, std::uint8_t source, std::uint8_t logicalChannels) {
    Entity e;
    e.kind = EntityKind::EffectUnit;
    e.id = id;
    e.sources = {source};
    e.processType = 0x0001;  // parametric equaliser section
    e.channelControls.assign(std::size_t{logicalChannels} + 1, 0);
    return e;
}

Entity ProcessingUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels,
                      std::uint16_t processType) {
    Entity e;
    e.kind = EntityKind::ProcessingUnit;
    e.id = id;
    e.sources = std::move(sources);
    e.channels = channels;
    e.processType = processType;
    return e;
}

Entity ExtensionUnit(std::uint8_t id, std::vector<std::uint8_t> sources, std::uint8_t channels) {
    Entity e;
    e.kind = EntityKind::ExtensionUnit;
    e.id = id;
    e.sources = std::move(sources);
    e.channels = channels;
    e.processType = 0x7A3C;
    return e;
}

Entity SampleRateConverter(std::uint8_t id, std::uint8_t source, std::uint8_t clockIn, std::uint8_t clockOut) {
    Entity e;
    e.kind = EntityKind::SampleRateConverter;
    e.id = id;
    e.sources = {source};
    e.clock = clockIn;
    e.clockOut = clockOut;
    return e;
}

bool StreamingInterface::IsInput() const { return !alts.empty() && alts.front().data.IsIn(); }

const AltSetting* StreamingInterface::FindAlt(std::uint8_t alternateSetting) const {
    for (const AltSetting& alt : alts)
        if (alt.alternateSetting == alternateSetting) return &alt;
    return nullptr;
}

namespace {
std::vector<std::uint8_t> JackIds(std::uint8_t first, std::uint8_t count) {
    std::vector<std::uint8_t> ids;
    for (std::uint8_t i = 0; i < count; ++i) ids.push_back(static_cast<std::uint8_t>(first + i));
    return ids;
}
}  // namespace

std::vector<std::uint8_t> MidiInterface::EmbeddedInJackIds() const { return JackIds(firstJackId, embeddedInJacks); }
std::vector<std::uint8_t> MidiInterface::ExternalInJackIds() const {
    return JackIds(static_cast<std::uint8_t>(firstJackId + embeddedInJacks), externalInJacks);
}
std::vector<std::uint8_t> MidiInterface::EmbeddedOutJackIds() const {
    return JackIds(static_cast<std::uint8_t>(firstJackId + embeddedInJacks + externalInJacks), embeddedOutJacks);
}
std::vector<std::uint8_t> MidiInterface::ExternalOutJackIds() const {
    return JackIds(static_cast<std::uint8_t>(firstJackId + embeddedInJacks + externalInJacks + embeddedOutJacks),
                   externalOutJacks);
}

std::uint16_t Description::BcdUsb() const {
    if (bcdUsbOverride) return *bcdUsbOverride;
    switch (speed) {
        case BusSpeed::Full: return 0x0110;
        case BusSpeed::High: return 0x0200;
        case BusSpeed::Super: return 0x0300;
    }
    return 0x0200;
}

std::uint8_t Description::MaxPacketSize0() const { return speed == BusSpeed::Super ? 9 : 64; }

const Entity* Description::FindEntity(std::uint8_t id) const {
    for (const Entity& e : entities)
        if (e.id == id) return &e;
    return nullptr;
}

std::vector<const Entity*> Description::EntitiesOfKind(EntityKind kind) const {
    std::vector<const Entity*> found;
    for (const Entity& e : entities)
        if (e.kind == kind) found.push_back(&e);
    return found;
}

std::vector<std::uint8_t> Description::ClockSourceIds() const {
    std::vector<std::uint8_t> ids;
    for (const Entity* e : EntitiesOfKind(EntityKind::ClockSource)) ids.push_back(e->id);
    return ids;
}

const Entity* Description::FirstClockSelector() const {
    const auto selectors = EntitiesOfKind(EntityKind::ClockSelector);
    return selectors.empty() ? nullptr : selectors.front();
}

const Entity* Description::ClockOf(const StreamingInterface& interface) const {
    const Entity* terminal = FindEntity(interface.terminalLink);
    if (terminal == nullptr || terminal->clock == 0) return nullptr;
    return FindEntity(terminal->clock);
}

std::size_t Description::FeatureUnitChannelCount(std::uint8_t id) const {
    const Entity* e = FindEntity(id);
    return e != nullptr && e->kind == EntityKind::FeatureUnit ? e->ChannelCountWithMaster() : 0;
}

const StreamingInterface* Description::FindStreaming(std::uint8_t interfaceNumber) const {
    for (const StreamingInterface& s : streaming)
        if (s.interfaceNumber == interfaceNumber) return &s;
    return nullptr;
}

const AltSetting* Description::FindAlt(std::uint8_t interfaceNumber, std::uint8_t alternateSetting) const {
    const StreamingInterface* s = FindStreaming(interfaceNumber);
    return s != nullptr ? s->FindAlt(alternateSetting) : nullptr;
}

const StreamingInterface* Description::Playback() const {
    for (const StreamingInterface& s : streaming)
        if (!s.alts.empty() && !s.IsInput()) return &s;
    return nullptr;
}

const StreamingInterface* Description::Capture() const {
    for (const StreamingInterface& s : streaming)
        if (s.IsInput()) return &s;
    return nullptr;
}

std::vector<std::uint8_t> Description::InterfaceNumbers() const {
    std::vector<std::uint8_t> numbers;
    numbers.push_back(controlInterfaceNumber);
    for (const StreamingInterface& s : streaming) numbers.push_back(s.interfaceNumber);
    if (midi) numbers.push_back(midi->interfaceNumber);
    for (const ExtraInterface& x : extraInterfaces) numbers.push_back(x.interfaceNumber);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

}  // namespace sim::usb

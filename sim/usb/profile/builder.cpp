#include "sim/usb/profile/builder.h"

#include "sim/verifier.h"

#include <algorithm>

namespace sim::usb {
namespace {

// Appends little-endian fields and patches lengths once the parts are known.
class Writer {
public:
    std::size_t Position() const { return bytes_.size(); }
    void U8(std::uint32_t v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
    void U16(std::uint32_t v) { U8(v), U8(v >> 8); }
    void U24(std::uint32_t v) { U16(v), U8(v >> 16); }
    void U32(std::uint32_t v) { U16(v), U16(v >> 16); }
    void Bytes(const std::vector<std::uint8_t>& v) { bytes_.insert(bytes_.end(), v.begin(), v.end()); }
    void PatchU8(std::size_t at, std::uint32_t v) { bytes_.at(at) = static_cast<std::uint8_t>(v); }
    void PatchU16(std::size_t at, std::uint32_t v) { PatchU8(at, v), PatchU8(at + 1, v >> 8); }

    // Starts a descriptor whose bLength is patched by End().
    std::size_t Begin(std::uint8_t type) {
        const std::size_t at = Position();
        U8(0), U8(type);
        return at;
    }
    void End(std::size_t at) {
        const std::size_t length = Position() - at;
        if (length > 0xFF) VerifierStop("profile descriptor of %zu bytes does not fit bLength", length);
        PatchU8(at, static_cast<std::uint32_t>(length));
    }

    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

class ConfigurationBuilder {
public:
    explicit ConfigurationBuilder(const Description& d) : d_(d), v2_(d.audioClass == AudioClassVersion::Uac2) {}

    std::vector<std::uint8_t> Build() {
        const std::size_t config = w_.Begin(USB_CONFIGURATION_DESCRIPTOR_TYPE);
        w_.U16(0);  // wTotalLength, patched below
        w_.U8(d_.InterfaceNumbers().size());
        w_.U8(1);   // bConfigurationValue
        w_.U8(0);   // iConfiguration
        w_.U8(d_.configurationAttributes);
        w_.U8(d_.maxPower);
        w_.End(config);

        if (d_.interfaceAssociation) InterfaceAssociation();
        AudioControl();
        for (const StreamingInterface& s : d_.streaming) Streaming(s);
        if (d_.midi) Midi(*d_.midi);
        for (const ExtraInterface& x : d_.extraInterfaces) Extra(x);

        if (w_.Position() > 0xFFFF) VerifierStop("profile configuration of %zu bytes", w_.Position());
        w_.PatchU16(config + 2, static_cast<std::uint32_t>(w_.Position()));
        return w_.Take();
    }

private:
    void Interface(std::uint8_t number, std::uint8_t alt, std::uint8_t endpoints, std::uint8_t cls,
                   std::uint8_t subclass, std::uint8_t protocol) {
        const std::size_t at = w_.Begin(USB_INTERFACE_DESCRIPTOR_TYPE);
        w_.U8(number), w_.U8(alt), w_.U8(endpoints), w_.U8(cls), w_.U8(subclass), w_.U8(protocol), w_.U8(0);
        w_.End(at);
    }

    std::uint8_t AudioProtocol() const { return v2_ ? USB_AUDIO20_IP_VERSION_02_00 : USB_AUDIO_PROTOCOL_UNDEFINED; }

    void InterfaceAssociation() {
        // The function spans the AudioControl interface and every streaming
        // (and MIDI) interface numbered after it without a gap.
        const auto numbers = d_.InterfaceNumbers();
        std::uint8_t count = 0;
        for (std::uint8_t n = d_.controlInterfaceNumber;
             std::find(numbers.begin(), numbers.end(), n) != numbers.end() && IsAudioFunction(n); ++n)
            ++count;
        const std::size_t at = w_.Begin(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
        w_.U8(d_.controlInterfaceNumber), w_.U8(count);
        w_.U8(d_.functionClass);
        w_.U8(USB_AUDIO20_FUNCTION_SUBCLASS_UNDEFINED);
        w_.U8(v2_ ? USB_AUDIO20_AF_VERSION_02_00 : 0);
        w_.U8(0);
        w_.End(at);
    }

    bool IsAudioFunction(std::uint8_t number) const {
        if (number == d_.controlInterfaceNumber) return true;
        if (d_.FindStreaming(number) != nullptr) return true;
        return d_.midi && d_.midi->interfaceNumber == number;
    }

    void AudioControl() {
        Interface(d_.controlInterfaceNumber, 0, 0, d_.functionClass, USB_AUDIO_SUBCLASS_AUDIOCONTROL, AudioProtocol());
        if (!d_.hasControlHeader) {
            for (const Entity& e : d_.entities) EntityDescriptor(e);
            return;
        }
        const std::size_t header = w_.Begin(USB_AUDIO_CS_INTERFACE);
        w_.U8(USB_AUDIO20_AC_HEADER);
        std::size_t totalAt = 0;
        if (v2_) {
            w_.U16(USB_AUDIO_BCD_ADC_20);
            w_.U8(d_.category);
            totalAt = w_.Position();
            w_.U16(0);
            w_.U8(0);  // bmControls: no latency control
        } else {
            w_.U16(USB_AUDIO_BCD_ADC_10);
            totalAt = w_.Position();
            w_.U16(0);
            std::vector<std::uint8_t> collection;
            for (const StreamingInterface& s : d_.streaming) collection.push_back(s.interfaceNumber);
            if (d_.midi) collection.push_back(d_.midi->interfaceNumber);
            w_.U8(collection.size());
            w_.Bytes(collection);
        }
        w_.End(header);
        for (const Entity& e : d_.entities) EntityDescriptor(e);
        const int total = static_cast<int>(w_.Position() - header) + d_.controlTotalLengthAdjust;
        w_.PatchU16(totalAt, static_cast<std::uint32_t>(std::clamp(total, 0, 0xFFFF)));
    }

    void Sources(const Entity& e) {
        w_.U8(e.sources.size());
        w_.Bytes(e.sources);
    }
    std::uint8_t FirstSource(const Entity& e) const { return e.sources.empty() ? 0 : e.sources.front(); }

    void EntityDescriptor(const Entity& e) {
        const std::uint8_t subtype = EntitySubtype(e.kind, d_.audioClass);
        if (subtype == 0)
            VerifierStop("profile has a %s, which audio class 1.0 does not define", EntityKindName(e.kind));
        const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
        w_.U8(subtype);
        w_.U8(e.id);
        switch (e.kind) {
            case EntityKind::InputTerminal:
                w_.U16(e.terminalType), w_.U8(e.assocTerminal);
                if (v2_) {
                    w_.U8(e.clock), w_.U8(e.channels), w_.U32(e.channelConfig), w_.U8(0), w_.U16(e.controls);
                } else {
                    w_.U8(e.channels), w_.U16(e.channelConfig), w_.U8(0);
                }
                w_.U8(e.stringIndex);
                break;
            case EntityKind::OutputTerminal:
                w_.U16(e.terminalType), w_.U8(e.assocTerminal), w_.U8(FirstSource(e));
                if (v2_) w_.U8(e.clock), w_.U16(e.controls);
                w_.U8(e.stringIndex);
                break;
            case EntityKind::MixerUnit:
                Sources(e);
                w_.U8(e.channels);
                if (v2_) w_.U32(e.channelConfig); else w_.U16(e.channelConfig);
                w_.U8(0);  // iChannelNames
                w_.Bytes(e.extra);
                if (v2_) w_.U8(e.controls);
                w_.U8(e.stringIndex);
                break;
            case EntityKind::SelectorUnit:
                Sources(e);
                if (v2_) w_.U8(e.controls);
                w_.U8(e.stringIndex);
                break;
            case EntityKind::FeatureUnit:
                w_.U8(FirstSource(e));
                if (v2_) {
                    for (std::uint32_t c : e.channelControls) w_.U32(c);
                } else {
                    w_.U8(e.controlSize);
                    for (std::uint32_t c : e.channelControls)
                        for (std::uint8_t b = 0; b < e.controlSize; ++b) w_.U8(b < 4 ? c >> (8 * b) : 0);
                }
                w_.U8(e.stringIndex);
                break;
            case EntityKind::EffectUnit:
                w_.U16(e.processType), w_.U8(FirstSource(e));
                for (std::uint32_t c : e.channelControls) w_.U32(c);
                w_.U8(e.stringIndex);
                break;
            case EntityKind::ProcessingUnit:
            case EntityKind::ExtensionUnit:
                w_.U16(e.processType);
                Sources(e);
                w_.U8(e.channels);
                if (v2_) {
                    w_.U32(e.channelConfig), w_.U8(0);
                    if (e.kind == EntityKind::ProcessingUnit) w_.U16(e.controls); else w_.U8(e.controls);
                    w_.U8(e.stringIndex);
                    if (e.kind == EntityKind::ProcessingUnit) w_.Bytes(e.extra);
                } else {
                    w_.U16(e.channelConfig), w_.U8(0), w_.U8(e.controlSize);
                    for (std::uint8_t b = 0; b < e.controlSize; ++b) w_.U8(b < 4 ? e.controls >> (8 * b) : 0);
                    w_.U8(e.stringIndex);
                    if (e.kind == EntityKind::ProcessingUnit) w_.Bytes(e.extra);
                }
                break;
            case EntityKind::ClockSource:
                w_.U8(e.clockAttributes), w_.U8(e.controls), w_.U8(e.assocTerminal), w_.U8(e.stringIndex);
                break;
            case EntityKind::ClockSelector:
                Sources(e);
                w_.U8(e.controls), w_.U8(e.stringIndex);
                break;
            case EntityKind::ClockMultiplier:
                w_.U8(FirstSource(e)), w_.U8(e.controls), w_.U8(e.stringIndex);
                break;
            case EntityKind::SampleRateConverter:
                w_.U8(FirstSource(e)), w_.U8(e.clock), w_.U8(e.clockOut), w_.U8(e.stringIndex);
                break;
        }
        w_.End(at);
    }

    void StandardEndpoint(const Endpoint& ep, bool audio10Layout) {
        const std::size_t at = w_.Begin(USB_ENDPOINT_DESCRIPTOR_TYPE);
        w_.U8(ep.address), w_.U8(ep.attributes), w_.U16(ep.maxPacketSize), w_.U8(ep.interval);
        if (audio10Layout) w_.U8(ep.refresh), w_.U8(ep.synchAddress);
        w_.End(at);
        if (d_.speed == BusSpeed::Super) Companion(ep);
    }

    void Companion(const Endpoint& ep) {
        const std::size_t at = w_.Begin(USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE);
        w_.U8(ep.maxBurst), w_.U8(ep.companionAttributes);
        std::uint16_t perInterval = ep.bytesPerInterval;
        if (perInterval == 0 && !ep.IsBulk()) perInterval = ep.maxPacketSize;
        w_.U16(ep.IsBulk() ? 0 : perInterval);
        w_.End(at);
    }

    void Streaming(const StreamingInterface& s) {
        Interface(s.interfaceNumber, 0, 0, d_.functionClass, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, AudioProtocol());
        for (const AltSetting& alt : s.alts) {
            Interface(s.interfaceNumber, alt.alternateSetting, alt.EndpointCount(), d_.functionClass,
                      USB_AUDIO_SUBCLASS_AUDIOSTREAMING, AudioProtocol());
            const std::uint8_t link = alt.terminalLink.value_or(s.terminalLink);
            if (alt.hasAsGeneral) {
                const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
                w_.U8(USB_AUDIO_AS_GENERAL), w_.U8(link);
                if (v2_) {
                    w_.U8(0), w_.U8(alt.formatType), w_.U32(alt.formats), w_.U8(alt.channels);
                    w_.U32(alt.channelConfig), w_.U8(0);
                } else {
                    w_.U8(1), w_.U16(alt.formatTag);  // bDelay 1 frame
                }
                w_.End(at);
            }
            if (alt.hasFormatType) {
                const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
                w_.U8(USB_AUDIO_AS_FORMAT_TYPE), w_.U8(alt.formatType);
                if (v2_) {
                    w_.U8(alt.subslotSize), w_.U8(alt.bitResolution);
                } else {
                    w_.U8(alt.channels), w_.U8(alt.subslotSize), w_.U8(alt.bitResolution);
                    w_.U8(alt.continuousRates ? 0 : alt.sampleRates.size());
                    for (std::uint32_t rate : alt.sampleRates) w_.U24(rate);
                }
                w_.End(at);
            }
            StandardEndpoint(alt.data, !v2_);
            if (alt.hasCsEndpoint) {
                const std::size_t at = w_.Begin(USB_AUDIO_CS_ENDPOINT);
                w_.U8(USB_AUDIO_EP_GENERAL), w_.U8(alt.csEndpointAttributes);
                if (v2_) w_.U8(alt.csEndpointControls);
                w_.U8(0), w_.U16(0);  // no lock delay
                w_.End(at);
            }
            if (alt.feedback) StandardEndpoint(*alt.feedback, !v2_);
        }
    }

    void Midi(const MidiInterface& m) {
        Interface(m.interfaceNumber, 0, 2, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_MIDISTREAMING, 0);
        const std::size_t header = w_.Position();
        std::size_t totalAt = 0;
        if (m.hasHeader) {
            const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
            w_.U8(USB_MIDI_MS_HEADER), w_.U16(m.bcdMSC);
            totalAt = w_.Position();
            w_.U16(0);
            w_.End(at);
        }
        const auto embeddedIn = m.EmbeddedInJackIds();
        const auto externalIn = m.ExternalInJackIds();
        const auto embeddedOut = m.EmbeddedOutJackIds();
        const auto externalOut = m.ExternalOutJackIds();
        for (std::uint8_t id : embeddedIn) InJack(USB_MIDI_JACK_EMBEDDED, id);
        for (std::uint8_t id : externalIn) InJack(USB_MIDI_JACK_EXTERNAL, id);
        // Each OUT jack takes its data from the IN jack of the same position
        // on the other side, when there is one.
        for (std::size_t i = 0; i < embeddedOut.size(); ++i)
            OutJack(USB_MIDI_JACK_EMBEDDED, embeddedOut[i], i < externalIn.size() ? externalIn[i] : 0);
        for (std::size_t i = 0; i < externalOut.size(); ++i)
            OutJack(USB_MIDI_JACK_EXTERNAL, externalOut[i], i < embeddedIn.size() ? embeddedIn[i] : 0);
        MidiEndpoint(m.out, embeddedIn);
        MidiEndpoint(m.in, embeddedOut);
        if (m.hasHeader) w_.PatchU16(totalAt, static_cast<std::uint32_t>(w_.Position() - header));
    }

    void InJack(std::uint8_t type, std::uint8_t id) {
        const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
        w_.U8(USB_MIDI_IN_JACK), w_.U8(type), w_.U8(id), w_.U8(0);
        w_.End(at);
    }

    void OutJack(std::uint8_t type, std::uint8_t id, std::uint8_t source) {
        const std::size_t at = w_.Begin(USB_AUDIO_CS_INTERFACE);
        w_.U8(USB_MIDI_OUT_JACK), w_.U8(type), w_.U8(id);
        if (source != 0) {
            w_.U8(1), w_.U8(source), w_.U8(1);
        } else {
            w_.U8(0);
        }
        w_.U8(0);
        w_.End(at);
    }

    void MidiEndpoint(const Endpoint& ep, const std::vector<std::uint8_t>& jacks) {
        StandardEndpoint(ep, /*audio10Layout=*/true);
        const std::size_t at = w_.Begin(USB_AUDIO_CS_ENDPOINT);
        w_.U8(USB_MIDI_MS_GENERAL), w_.U8(jacks.size());
        w_.Bytes(jacks);
        w_.End(at);
    }

    void Extra(const ExtraInterface& x) {
        Interface(x.interfaceNumber, x.alternateSetting, static_cast<std::uint8_t>(x.endpoints.size()),
                  x.interfaceClass, x.interfaceSubClass, x.interfaceProtocol);
        for (const Endpoint& ep : x.endpoints) StandardEndpoint(ep, false);
    }

    const Description& d_;
    const bool v2_;
    Writer w_;
};

std::vector<std::uint8_t> DeviceDescriptor(const Description& d) {
    const DeviceIdentity& id = d.identity;
    // A device with an interface association announces it in its class
    // triple, so that the host enumerates the function as a whole.
    const bool iad = d.interfaceAssociation;
    Writer w;
    const std::size_t at = w.Begin(USB_DEVICE_DESCRIPTOR_TYPE);
    w.U16(d.BcdUsb());
    w.U8(iad ? USB_DEVICE_CLASS_MISCELLANEOUS : 0), w.U8(iad ? 2 : 0), w.U8(iad ? 1 : 0);
    w.U8(d.MaxPacketSize0());
    w.U16(id.vendorId), w.U16(id.productId), w.U16(id.bcdDevice);
    w.U8(id.manufacturer.empty() ? 0 : 1), w.U8(id.product.empty() ? 0 : 2), w.U8(id.serialNumber.empty() ? 0 : 3);
    w.U8(1);
    w.End(at);
    return w.Take();
}

}  // namespace

DescriptorSet BuildDescriptorSet(const Description& description) {
    DescriptorSet set;
    set.speed = description.speed;
    set.device = DeviceDescriptor(description);
    set.configuration = ConfigurationBuilder(description).Build();
    set.strings[{0, 0}] = LanguageListDescriptor({USB_LANGID_ENGLISH_US});
    const DeviceIdentity& id = description.identity;
    if (!id.manufacturer.empty()) set.strings[{1, USB_LANGID_ENGLISH_US}] = StringDescriptor(id.manufacturer);
    if (!id.product.empty()) set.strings[{2, USB_LANGID_ENGLISH_US}] = StringDescriptor(id.product);
    if (!id.serialNumber.empty()) set.strings[{3, USB_LANGID_ENGLISH_US}] = StringDescriptor(id.serialNumber);
    return set;
}

}  // namespace sim::usb

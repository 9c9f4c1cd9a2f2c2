#include "sim/usb/profile/profiles.h"

#include "sim/verifier.h"

#include <algorithm>

namespace sim::usb {
namespace {

std::uint8_t SubslotFor(std::uint8_t bits) { return bits <= 8 ? 1 : bits <= 16 ? 2 : 4; }

std::uint32_t MaxRate(const std::vector<FrequencyRange>& rates) {
    std::uint32_t max = 0;
    for (const FrequencyRange& r : rates) max = std::max(max, r.max);
    return max;
}

// An isochronous packet that carries the most frames one (micro)frame can
// need at the highest rate, plus one for rate drift.
std::uint16_t IsochronousPacketSize(BusSpeed speed, std::uint32_t maxRate, std::uint32_t bytesPerFrame) {
    const std::uint32_t intervalsPerSecond = speed == BusSpeed::Full ? 1000 : 8000;
    const std::uint32_t frames = (maxRate + intervalsPerSecond - 1) / intervalsPerSecond + 1;
    const std::uint32_t limit = speed == BusSpeed::Full ? 1023 : 1024;
    return static_cast<std::uint16_t>(std::min(frames * bytesPerFrame, limit));
}

// Inserts the requested extra units after `source`, each fed by the one
// before; returns the id the chain continues from.
std::uint8_t AddExtraUnits(Description& d, const std::vector<ExtraUnit>& units, std::uint8_t source,
                           std::uint8_t channels, std::uint8_t firstId, std::uint8_t clockIn, std::uint8_t clockOut) {
    std::uint8_t id = firstId;
    for (ExtraUnit unit : units) {
        switch (unit) {
            case ExtraUnit::Mixer: d.entities.push_back(MixerUnit(id, {source}, channels)); break;
            case ExtraUnit::Selector: d.entities.push_back(SelectorUnit(id, {source})); break;
            case ExtraUnit::Effect: d.entities.push_back(EffectUnit(id, source, channels)); break;
            case ExtraUnit::Processing: d.entities.push_back(ProcessingUnit(id, {source}, channels)); break;
            case ExtraUnit::Extension: d.entities.push_back(ExtensionUnit(id, {source}, channels)); break;
            case ExtraUnit::SampleRateConverter:
                d.entities.push_back(SampleRateConverter(id, source, clockIn, clockOut));
                break;
            case ExtraUnit::ClockMultiplier: continue;  // a clock entity: added with the clocks
        }
        source = id++;
    }
    return source;
}

bool Wants(const std::vector<ExtraUnit>& units, ExtraUnit unit) {
    return std::find(units.begin(), units.end(), unit) != units.end();
}

}  // namespace

std::vector<FrequencyRange> DiscreteRates(const std::vector<std::uint32_t>& rates) {
    std::vector<FrequencyRange> ranges;
    for (std::uint32_t rate : rates) ranges.push_back({rate, rate, 0});
    return ranges;
}

std::vector<FrequencyRange> StandardRates() { return DiscreteRates({44100, 48000, 88200, 96000, 176400, 192000}); }

Description MakerDevice(const MakerDeviceOptions& o) {
    if (o.clockSourceIds.empty()) VerifierStop("maker profile needs at least one clock source");
    Description d;
    d.speed = o.speed;
    d.audioClass = AudioClassVersion::Uac2;
    d.identity = {kMakerVendorId, kMakerProductId, 0x0100, u"OVU Audio", u"OVU USB Audio 2.0", o.serialNumber};
    d.functionClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
    // 32 channels of 4 bytes, 8 frames a chunk, fill 1024 bytes: twice a
    // high-speed bulk packet. At 176.4 and 192 kHz the device halves its
    // frames instead, as the driver's limits and the ASIO driver's frames
    // there assume.
    d.highSpeedHighRateChannels = 16;
    const std::uint8_t channels = o.channels.value_or(o.speed == BusSpeed::Full ? 2 : 32);

    for (std::size_t i = 0; i < o.clockSourceIds.size(); ++i) {
        // The first clock is the device's own crystal; the others lock to
        // external inputs, so their frequency can only be read.
        if (i == 0) {
            d.entities.push_back(ClockSource(o.clockSourceIds[i], o.rates));
        } else {
            d.entities.push_back(ClockSource(o.clockSourceIds[i], o.rates, USB_AUDIO20_CLOCK_TYPE_EXTERNAL,
                                             USB_AUDIO20_CONTROL_BITS(0, USB_AUDIO20_CONTROL_READ) |
                                                 USB_AUDIO20_CONTROL_BITS(1, USB_AUDIO20_CONTROL_READ)));
        }
    }
    if (Wants(o.extraUnits, ExtraUnit::ClockMultiplier)) d.entities.push_back(ClockMultiplier(0x2A, o.clockSourceIds[0]));
    d.entities.push_back(ClockSelector(kMakerClockSelector, o.clockSourceIds));
    const std::uint8_t clock = kMakerClockSelector;
    const std::uint16_t connectorReadable = USB_AUDIO20_CONTROL_BITS(1, USB_AUDIO20_CONTROL_READ);
    const std::uint32_t muteVolume = Uac2MuteVolume(USB_AUDIO20_CONTROL_READ_WRITE);

    if (o.playback) {
        d.entities.push_back(InputTerminal(kMakerPlaybackInputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, channels, clock));
        const std::uint8_t source = AddExtraUnits(d, o.extraUnits, kMakerPlaybackInputTerminal, channels, 0x10, clock,
                                                  o.clockSourceIds[0]);
        d.entities.push_back(FeatureUnit(kMakerPlaybackFeatureUnit, source, channels, muteVolume, muteVolume));
        d.entities.push_back(OutputTerminal(kMakerPlaybackOutputTerminal, USB_AUDIO_TERMINAL_SPEAKER,
                                            kMakerPlaybackFeatureUnit, clock, connectorReadable));
    }
    if (o.capture) {
        d.entities.push_back(
            InputTerminal(kMakerCaptureInputTerminal, USB_AUDIO_TERMINAL_MICROPHONE, channels, clock, connectorReadable));
        d.entities.push_back(FeatureUnit(kMakerCaptureFeatureUnit, kMakerCaptureInputTerminal, channels, muteVolume, muteVolume));
        d.entities.push_back(OutputTerminal(kMakerCaptureOutputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING,
                                            kMakerCaptureFeatureUnit, clock));
    }

    const std::uint8_t bitDepths[] = {16, 24, 32};
    const auto streaming = [&](std::uint8_t number, std::uint8_t link, std::uint8_t address) {
        StreamingInterface s;
        s.interfaceNumber = number;
        s.terminalLink = link;
        for (std::size_t i = 0; i < std::size(bitDepths) && i < o.altNumbers.size(); ++i) {
            AltSetting alt;
            alt.alternateSetting = o.altNumbers[i];
            alt.channels = channels;
            alt.bitResolution = bitDepths[i];
            alt.subslotSize = SubslotFor(bitDepths[i]);
            alt.channelConfig = channels == 2 ? 0x3 : 0;
            alt.data.address = address;
            if (o.isochronous) {
                alt.data.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS;
                alt.data.interval = 1;
                alt.data.maxPacketSize = o.maxPacketSize.value_or(
                    IsochronousPacketSize(o.speed, MaxRate(o.rates), alt.BytesPerFrame()));
            } else {
                alt.data.attributes = USB_ENDPOINT_TYPE_BULK;
                alt.data.maxPacketSize = o.maxPacketSize.value_or(BulkMaxPacketSize(o.speed));
            }
            s.alts.push_back(alt);
        }
        d.streaming.push_back(s);
    };
    if (o.playback) streaming(o.playbackInterface, kMakerPlaybackInputTerminal, 0x01);
    if (o.capture) streaming(o.captureInterface, kMakerCaptureOutputTerminal, 0x81);
    return d;
}

Description GenericUac2Device(const GenericUac2Options& o) {
    Description d;
    d.speed = o.speed;
    d.audioClass = AudioClassVersion::Uac2;
    d.identity = {o.vendorId, o.productId, 0x0100, u"Generic", u"USB Audio 2.0 Device", u"UAC2-0001"};
    const std::uint8_t sources = std::max<std::uint8_t>(o.clockSources, 1);
    std::vector<std::uint8_t> clockIds;
    for (std::uint8_t i = 0; i < sources; ++i) {
        clockIds.push_back(static_cast<std::uint8_t>(0x20 + i));
        d.entities.push_back(ClockSource(clockIds.back(), o.rates));
    }
    if (Wants(o.extraUnits, ExtraUnit::ClockMultiplier)) d.entities.push_back(ClockMultiplier(0x2F, clockIds[0]));
    std::uint8_t clock = clockIds[0];
    if (o.selectorInputs > 0) {
        const std::size_t inputs = std::min<std::size_t>(o.selectorInputs, clockIds.size());
        d.entities.push_back(ClockSelector(0x30, std::vector<std::uint8_t>(clockIds.begin(), clockIds.begin() + inputs)));
        clock = 0x30;
    }
    const std::uint32_t muteVolume = Uac2MuteVolume(USB_AUDIO20_CONTROL_READ_WRITE);
    if (o.playback) {
        d.entities.push_back(InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, o.channels, clock));
        const std::uint8_t source = AddExtraUnits(d, o.extraUnits, 1, o.channels, 0x10, clock, clockIds[0]);
        d.entities.push_back(FeatureUnit(2, source, o.channels, muteVolume, muteVolume));
        d.entities.push_back(OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 2, clock));
    }
    if (o.capture) {
        d.entities.push_back(InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, o.channels, clock));
        d.entities.push_back(FeatureUnit(5, 4, o.channels, muteVolume, muteVolume));
        d.entities.push_back(OutputTerminal(6, USB_AUDIO_TERMINAL_USB_STREAMING, 5, clock));
    }
    std::uint8_t nextInterface = 1;
    const auto streaming = [&](std::uint8_t link, std::uint8_t address, bool withFeedback) {
        StreamingInterface s;
        s.interfaceNumber = nextInterface++;
        s.terminalLink = link;
        for (std::size_t i = 0; i < o.bitDepths.size(); ++i) {
            AltSetting alt;
            alt.alternateSetting = static_cast<std::uint8_t>(i + 1);
            alt.channels = o.channels;
            alt.bitResolution = o.bitDepths[i];
            alt.subslotSize = SubslotFor(o.bitDepths[i]);
            alt.channelConfig = o.channels == 2 ? 0x3 : 0;
            alt.data.address = address;
            if (o.isochronous) {
                alt.data.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS;
                alt.data.interval = 1;
                alt.data.maxPacketSize = IsochronousPacketSize(o.speed, MaxRate(o.rates), alt.BytesPerFrame());
                if (withFeedback) {
                    Endpoint fb;
                    fb.address = 0x81;
                    fb.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT;
                    fb.maxPacketSize = o.speed == BusSpeed::Full ? 3 : 4;
                    fb.interval = o.speed == BusSpeed::Full ? 1 : 4;
                    alt.feedback = fb;
                }
            } else {
                alt.data.attributes = USB_ENDPOINT_TYPE_BULK;
                alt.data.maxPacketSize = BulkMaxPacketSize(o.speed);
            }
            s.alts.push_back(alt);
        }
        d.streaming.push_back(s);
    };
    if (o.playback) streaming(1, 0x01, o.feedback);
    if (o.capture) streaming(6, 0x82, false);
    if (o.withMidi) {
        MidiInterface m;
        m.interfaceNumber = nextInterface;
        m.out.address = 0x03;
        m.in.address = 0x83;
        m.out.maxPacketSize = m.in.maxPacketSize = BulkMaxPacketSize(o.speed);
        d.midi = m;
    }
    return d;
}

Description GenericUac1Device(const GenericUac1Options& o) {
    if (o.continuousRates && o.sampleRates.size() != 2)
        VerifierStop("a continuous 1.0 rate range needs exactly a lower and an upper bound");
    Description d;
    d.speed = o.speed;
    d.audioClass = AudioClassVersion::Uac1;
    d.identity = {o.vendorId, o.productId, 0x0100, u"Generic", u"USB Audio 1.0 Device", u""};
    d.interfaceAssociation = false;
    const std::uint32_t maxRate = o.sampleRates.empty() ? 48000 : *std::max_element(o.sampleRates.begin(), o.sampleRates.end());
    if (o.playback) {
        d.entities.push_back(InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, o.channels));
        std::uint8_t source = 1;
        if (o.processingUnit) {
            d.entities.push_back(ProcessingUnit(0x0A, {source}, o.channels));
            d.entities.back().controlSize = 1;
            d.entities.back().controls = 0x1;  // enable control
            source = 0x0A;
        }
        source = AddExtraUnits(d, o.extraUnits, source, o.channels, 0x10, 0, 0);
        d.entities.push_back(FeatureUnit(2, source, o.channels, kUac1MuteVolume, 0x2, o.featureControlSize));
        d.entities.push_back(OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 2));
    }
    if (o.capture) {
        d.entities.push_back(InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, o.channels));
        d.entities.push_back(FeatureUnit(5, 4, o.channels, kUac1MuteVolume, 0x2, o.featureControlSize));
        d.entities.push_back(OutputTerminal(6, USB_AUDIO_TERMINAL_USB_STREAMING, 5));
    }
    std::uint8_t nextInterface = 1;
    const auto streaming = [&](std::uint8_t link, std::uint8_t address, bool withFeedback) {
        StreamingInterface s;
        s.interfaceNumber = nextInterface++;
        s.terminalLink = link;
        for (std::size_t i = 0; i < o.bitDepths.size(); ++i) {
            AltSetting alt;
            alt.alternateSetting = static_cast<std::uint8_t>(i + 1);
            alt.channels = o.channels;
            alt.bitResolution = o.bitDepths[i];
            alt.subslotSize = static_cast<std::uint8_t>((o.bitDepths[i] + 7) / 8);
            alt.formatTag = o.bitDepths[i] == 8 ? USB_AUDIO10_FORMAT_PCM8 : USB_AUDIO10_FORMAT_PCM;
            alt.sampleRates = o.sampleRates;
            alt.continuousRates = o.continuousRates;
            alt.csEndpointAttributes = o.samplingFrequencyControl ? USB_AUDIO10_EP_ATTRIBUTE_SAMPLING_FREQUENCY : 0;
            alt.data.address = address;
            if (o.isochronous) {
                const bool in = USB_ENDPOINT_DIRECTION_IN(address);
                alt.data.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS |
                                      (in || withFeedback ? USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS
                                                          : USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ADAPTIVE);
                alt.data.interval = 1;
                alt.data.maxPacketSize = IsochronousPacketSize(BusSpeed::Full, maxRate, alt.BytesPerFrame());
                if (withFeedback) {
                    // A 1.0 synch endpoint: no synchronisation type of its own,
                    // named by the data endpoint's bSynchAddress.
                    Endpoint fb;
                    fb.address = 0x81;
                    fb.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS;
                    fb.maxPacketSize = 3;
                    fb.interval = 1;
                    fb.refresh = 5;
                    alt.data.synchAddress = fb.address;
                    alt.feedback = fb;
                }
            } else {
                alt.data.attributes = USB_ENDPOINT_TYPE_BULK;
                alt.data.maxPacketSize = BulkMaxPacketSize(o.speed);
            }
            s.alts.push_back(alt);
        }
        d.streaming.push_back(s);
    };
    if (o.playback) streaming(1, 0x01, o.feedback);
    if (o.capture) streaming(6, 0x82, false);
    return d;
}

Description MidiDevice(const MidiDeviceOptions& o) {
    Description d;
    d.speed = o.speed;
    d.audioClass = AudioClassVersion::Uac1;
    d.identity = {o.vendorId, o.productId, 0x0100, u"Generic", u"USB MIDI Device", u""};
    d.interfaceAssociation = false;
    MidiInterface m;
    m.interfaceNumber = 1;
    m.bcdMSC = o.bcdMSC;
    m.embeddedInJacks = o.embeddedInJacks;
    m.externalInJacks = o.externalInJacks;
    m.embeddedOutJacks = o.embeddedOutJacks;
    m.externalOutJacks = o.externalOutJacks;
    m.out.maxPacketSize = m.in.maxPacketSize = BulkMaxPacketSize(o.speed);
    d.midi = m;
    return d;
}

Description AudioWithMidiDevice(BusSpeed speed) {
    GenericUac2Options o;
    o.speed = speed;
    o.withMidi = true;
    return GenericUac2Device(o);
}

}  // namespace sim::usb

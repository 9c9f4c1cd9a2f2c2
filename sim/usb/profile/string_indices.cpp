#include "sim/usb/profile/string_indices.h"

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/walk.h"

namespace sim::usb {
namespace {

class Collector {
public:
    explicit Collector(std::set<std::uint8_t>& out) : out_(out) {}

    // The byte at `offset` of the descriptor at `d`; 0 at or beyond bLength.
    static std::uint8_t At(const UCHAR* d, std::size_t offset) { return offset < d[0] ? d[offset] : 0; }

    void Name(std::uint8_t index) {
        if (index != 0) out_.insert(index);
    }
    // A run of `count` consecutive indices from `first` (channel names).
    void Names(std::uint8_t first, std::uint8_t count) {
        for (unsigned i = 0; first != 0 && i < count && first + i <= 0xFF; ++i)
            out_.insert(static_cast<std::uint8_t>(first + i));
    }
    void Last(const UCHAR* d) { Name(d[d[0] - 1]); }

    // Offsets from the class documents' tables; units with input pins have
    // their later fields shifted by the pin count.
    void AudioControl20(const UCHAR* d) {
        const std::size_t pins4 = At(d, 4), pins6 = At(d, 6);
        switch (d[2]) {
        case USB_AUDIO20_AC_INPUT_TERMINAL:
            Names(At(d, 13), At(d, 8));
            Name(At(d, 16));
            break;
        case USB_AUDIO20_AC_OUTPUT_TERMINAL: Name(At(d, 11)); break;
        case USB_AUDIO20_AC_MIXER_UNIT:
            Names(At(d, 10 + pins4), At(d, 5 + pins4));
            Last(d);
            break;
        case USB_AUDIO20_AC_PROCESSING_UNIT:
            Names(At(d, 12 + pins6), At(d, 7 + pins6));
            Name(At(d, 15 + pins6));
            break;
        case USB_AUDIO20_AC_EXTENSION_UNIT:
            Names(At(d, 12 + pins6), At(d, 7 + pins6));
            Name(At(d, 14 + pins6));
            break;
        case USB_AUDIO20_AC_CLOCK_SOURCE:
        case USB_AUDIO20_AC_SAMPLE_RATE_CONVERTER: Name(At(d, 7)); break;
        case USB_AUDIO20_AC_CLOCK_MULTIPLIER: Name(At(d, 6)); break;
        case USB_AUDIO20_AC_SELECTOR_UNIT:
        case USB_AUDIO20_AC_FEATURE_UNIT:
        case USB_AUDIO20_AC_EFFECT_UNIT:
        case USB_AUDIO20_AC_CLOCK_SELECTOR: Last(d); break;
        default: break;
        }
    }

    void AudioControl10(const UCHAR* d) {
        const std::size_t pins4 = At(d, 4), pins6 = At(d, 6);
        switch (d[2]) {
        case USB_AUDIO10_AC_INPUT_TERMINAL:
            Names(At(d, 10), At(d, 7));
            Name(At(d, 11));
            break;
        case USB_AUDIO10_AC_OUTPUT_TERMINAL: Name(At(d, 8)); break;
        case USB_AUDIO10_AC_MIXER_UNIT:
            Names(At(d, 8 + pins4), At(d, 5 + pins4));
            Last(d);
            break;
        case USB_AUDIO10_AC_PROCESSING_UNIT:
        case USB_AUDIO10_AC_EXTENSION_UNIT:
            Names(At(d, 10 + pins6), At(d, 7 + pins6));
            Name(At(d, 12 + pins6 + At(d, 11 + pins6)));  // after bControlSize bytes of controls
            break;
        case USB_AUDIO10_AC_SELECTOR_UNIT:
        case USB_AUDIO10_AC_FEATURE_UNIT: Last(d); break;
        default: break;
        }
    }

private:
    std::set<std::uint8_t>& out_;
};

}  // namespace

std::set<std::uint8_t> NamedStringIndices(const DescriptorSet& set) {
    std::set<std::uint8_t> indices;
    Collector c(indices);
    if (set.device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        c.Name(set.device[14]);
        c.Name(set.device[15]);
        c.Name(set.device[16]);
    }
    if (set.configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return indices;
    const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set.configuration.data());
    const UsbDescriptorRange range =
        UsbConfigurationRange(configuration, static_cast<ULONG>(set.configuration.size()));
    UCHAR subclass = 0;
    bool uac2 = false;
    for (const USB_COMMON_DESCRIPTOR* common = UsbDescriptorAt(range, range.begin); common != nullptr;
         common = UsbNextDescriptor(range, common)) {
        const auto* d = reinterpret_cast<const UCHAR*>(common);
        switch (d[1]) {
        case USB_CONFIGURATION_DESCRIPTOR_TYPE: c.Name(Collector::At(d, 6)); break;
        case USB_INTERFACE_DESCRIPTOR_TYPE: {
            // The maker's function is vendor-specific with the audio subclasses.
            const UCHAR interfaceClass = Collector::At(d, 5);
            subclass = interfaceClass == USB_DEVICE_CLASS_AUDIO || interfaceClass == 0xFF ? Collector::At(d, 6) : 0;
            c.Name(Collector::At(d, 8));
            break;
        }
        case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE: c.Name(Collector::At(d, 7)); break;
        case USB_AUDIO_CS_INTERFACE:
            if (d[0] < 4) break;
            if (subclass == USB_AUDIO_SUBCLASS_AUDIOCONTROL) {
                if (d[2] == USB_AUDIO20_AC_HEADER)
                    uac2 = (Collector::At(d, 3) | (Collector::At(d, 4) << 8)) >= USB_AUDIO_BCD_ADC_20;
                else if (uac2)
                    c.AudioControl20(d);
                else
                    c.AudioControl10(d);
            } else if (subclass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING) {
                if (uac2 && d[2] == USB_AUDIO_AS_GENERAL) c.Names(Collector::At(d, 15), Collector::At(d, 10));
            } else if (subclass == USB_AUDIO_SUBCLASS_MIDISTREAMING) {
                if (d[2] == USB_MIDI_IN_JACK || d[2] == USB_MIDI_OUT_JACK || d[2] == USB_MIDI_ELEMENT) c.Last(d);
            }
            break;
        default: break;
        }
    }
    return indices;
}

std::u16string PlaceholderString(std::uint8_t index) {
    std::u16string text = u"String ";
    for (char digit : std::to_string(index)) text += static_cast<char16_t>(digit);
    return text;
}

std::set<std::uint8_t> AddPlaceholderStrings(DescriptorSet& set) {
    if (!set.strings.empty()) return {};
    const std::set<std::uint8_t> indices = NamedStringIndices(set);
    set.strings[{0, 0}] = LanguageListDescriptor({USB_LANGID_ENGLISH_US});
    for (std::uint8_t index : indices)
        set.strings[{index, USB_LANGID_ENGLISH_US}] = StringDescriptor(PlaceholderString(index));
    return indices;
}

}  // namespace sim::usb

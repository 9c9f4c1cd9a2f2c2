#include "sim/usb/device/device_model.h"

#include "platform/usb/audio.h"
#include "platform/usb/midi.h"
#include "platform/usb/walk.h"

#include <algorithm>

namespace sim::usb {

bool AltSettingModel::Uac1AcceptsRate(ULONG rate) const {
    if (uac1Continuous)
        return uac1Frequencies.size() == 2 && rate >= uac1Frequencies[0] && rate <= uac1Frequencies[1];
    return std::find(uac1Frequencies.begin(), uac1Frequencies.end(), rate) != uac1Frequencies.end();
}

const AltSettingModel* InterfaceModel::Alternate(UCHAR alternate) const {
    for (const auto& alt : alternates)
        if (alt.alternate == alternate) return &alt;
    return nullptr;
}

namespace {

template <class T>
const T* FindById(const std::vector<T>& items, UCHAR id) {
    for (const auto& item : items)
        if (item.id == id) return &item;
    return nullptr;
}

enum class InterfaceKind { Control, Streaming, Midi, Other };

InterfaceKind KindOf(const USB_INTERFACE_DESCRIPTOR& d) {
    // The maker's devices carry the vendor class on their audio interfaces
    // but keep the audio subclasses and class-specific descriptors.
    if (d.bInterfaceClass != USB_DEVICE_CLASS_AUDIO && d.bInterfaceClass != USB_DEVICE_CLASS_VENDOR_SPECIFIC)
        return InterfaceKind::Other;
    switch (d.bInterfaceSubClass) {
    case USB_AUDIO_SUBCLASS_AUDIOCONTROL: return InterfaceKind::Control;
    case USB_AUDIO_SUBCLASS_AUDIOSTREAMING: return InterfaceKind::Streaming;
    case USB_AUDIO_SUBCLASS_MIDISTREAMING: return InterfaceKind::Midi;
    default: return InterfaceKind::Other;
    }
}

class Parser {
public:
    explicit Parser(ConfigurationModel& model) : model_(model) {}

    void Interface(const USB_INTERFACE_DESCRIPTOR& d) {
        kind_ = KindOf(d);
        auto it = std::find_if(model_.interfaces.begin(), model_.interfaces.end(),
                               [&](const InterfaceModel& i) { return i.number == d.bInterfaceNumber; });
        if (it == model_.interfaces.end()) {
            model_.interfaces.push_back(InterfaceModel{d.bInterfaceNumber, {}});
            it = model_.interfaces.end() - 1;
        }
        AltSettingModel alt;
        alt.alternate = d.bAlternateSetting;
        alt.interfaceClass = d.bInterfaceClass;
        alt.interfaceSubClass = d.bInterfaceSubClass;
        alt.interfaceProtocol = d.bInterfaceProtocol;
        it->alternates.push_back(std::move(alt));
        alt_ = &it->alternates.back();
        endpoint_ = nullptr;
        uac2Streaming_ = model_.audioClass == AudioClass::None ? d.bInterfaceProtocol == USB_AUDIO20_IP_VERSION_02_00
                                                                : model_.audioClass == AudioClass::Uac2;
        formatType_ = 0;
        channels_ = 0;
        if (kind_ == InterfaceKind::Control && !model_.controlInterface) model_.controlInterface = d.bInterfaceNumber;
    }

    void Endpoint(const USB_ENDPOINT_DESCRIPTOR& d) {
        if (alt_ == nullptr) return;
        EndpointModel ep;
        ep.address = d.bEndpointAddress;
        ep.attributes = d.bmAttributes;
        ep.maxPacketSize = static_cast<USHORT>(d.wMaxPacketSize & 0x7FF);
        ep.interval = d.bInterval;
        alt_->endpoints.push_back(ep);
        endpoint_ = &alt_->endpoints.back();
    }

    void ClassSpecific(const USB_COMMON_DESCRIPTOR* d) {
        if (alt_ == nullptr || d->bLength < 3) return;
        if (d->bDescriptorType == USB_AUDIO_CS_ENDPOINT) {
            const auto* cs = UsbDescriptorAs<USB_AUDIO10_CS_AS_ENDPOINT_DESCRIPTOR>(d);
            if (cs != nullptr && endpoint_ != nullptr && kind_ == InterfaceKind::Streaming && !uac2Streaming_ &&
                cs->bDescriptorSubtype == USB_AUDIO_EP_GENERAL)
                endpoint_->uac1SamplingFrequencyControl = (cs->bmAttributes & USB_AUDIO10_EP_ATTRIBUTE_SAMPLING_FREQUENCY) != 0;
            return;
        }
        if (d->bDescriptorType != USB_AUDIO_CS_INTERFACE) return;
        if (kind_ == InterfaceKind::Control) Control(d);
        if (kind_ == InterfaceKind::Streaming) Streaming(d);
    }

    void FinishAlternate() {
        if (alt_ == nullptr) return;
        for (auto& ep : alt_->endpoints) {
            if (kind_ == InterfaceKind::Midi) ep.role = EndpointRole::Midi;
            else if (kind_ == InterfaceKind::Streaming && alt_->layout) ep.role = EndpointRole::Audio;
            else ep.role = EndpointRole::Other;
        }
    }

private:
    void Control(const USB_COMMON_DESCRIPTOR* d) {
        const UCHAR subtype = reinterpret_cast<const UCHAR*>(d)[2];
        if (subtype == USB_AUDIO20_AC_HEADER) {
            if (const auto* h = UsbDescriptorAs<USB_AUDIO10_AC_HEADER_DESCRIPTOR>(d); h != nullptr && model_.audioClass == AudioClass::None)
                model_.audioClass = h->bcdADC >= USB_AUDIO_BCD_ADC_20 ? AudioClass::Uac2 : AudioClass::Uac1;
            return;
        }
        if (model_.audioClass == AudioClass::Uac2) Uac2Entity(d, subtype);
        else if (model_.audioClass == AudioClass::Uac1) Uac1Entity(d, subtype);
    }

    void Uac2Entity(const USB_COMMON_DESCRIPTOR* d, UCHAR subtype) {
        switch (subtype) {
        case USB_AUDIO20_AC_INPUT_TERMINAL:
            if (const auto* t = UsbDescriptorAs<USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR>(d))
                model_.terminals.push_back(TerminalModel{t->bTerminalID, true, t->wTerminalType, t->bCSourceID,
                                                         t->bNrChannels, t->bmChannelConfig, t->iChannelNames,
                                                         t->bmControls});
            break;
        case USB_AUDIO20_AC_OUTPUT_TERMINAL:
            if (const auto* t = UsbDescriptorAs<USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR>(d))
                model_.terminals.push_back(
                    TerminalModel{t->bTerminalID, false, t->wTerminalType, t->bCSourceID, 0, 0, 0, t->bmControls});
            break;
        case USB_AUDIO20_AC_FEATURE_UNIT:
            if (const auto* f = UsbDescriptorAs<USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR>(d)) {
                FeatureUnitModel unit{f->bUnitID, f->bSourceID, {}, {}};
                for (ULONG ch = 0; ch < f->ChannelCount(); ++ch) {
                    const ULONG controls = f->bmaControls(ch);
                    unit.mute.push_back(Access2(controls, 0));
                    unit.volume.push_back(Access2(controls, 1));
                }
                model_.featureUnits.push_back(std::move(unit));
            }
            break;
        case USB_AUDIO20_AC_CLOCK_SOURCE:
            if (const auto* c = UsbDescriptorAs<USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR>(d))
                model_.clockSources.push_back(ClockSourceModel{c->bClockID, c->bmAttributes, c->bmControls});
            break;
        case USB_AUDIO20_AC_CLOCK_SELECTOR:
            if (const auto* c = UsbDescriptorAs<USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR>(d)) {
                ClockSelectorModel selector{c->bClockID, {}, c->bmControls()};
                // Only the pins that lie inside the descriptor exist.
                for (ULONG i = 0; i < c->bNrInPins && 5u + i < c->bLength; ++i)
                    selector.inputs.push_back(c->baCSourceID(i));
                model_.clockSelectors.push_back(std::move(selector));
            }
            break;
        case USB_AUDIO20_AC_CLOCK_MULTIPLIER:
            if (const auto* c = UsbDescriptorAs<USB_AUDIO20_CLOCK_MULTIPLIER_DESCRIPTOR>(d))
                model_.clockMultipliers.push_back(ClockMultiplierModel{c->bClockID, c->bCSourceID, c->bmControls});
            break;
        default:
            if (d->bLength >= 4) model_.otherUnits.push_back(reinterpret_cast<const UCHAR*>(d)[3]);
            break;
        }
    }

    void Uac1Entity(const USB_COMMON_DESCRIPTOR* d, UCHAR subtype) {
        switch (subtype) {
        case USB_AUDIO10_AC_INPUT_TERMINAL:
            if (const auto* t = UsbDescriptorAs<USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR>(d))
                model_.terminals.push_back(TerminalModel{t->bTerminalID, true, t->wTerminalType, 0, t->bNrChannels,
                                                         t->wChannelConfig, t->iChannelNames, 0});
            break;
        case USB_AUDIO10_AC_OUTPUT_TERMINAL:
            if (const auto* t = UsbDescriptorAs<USB_AUDIO10_OUTPUT_TERMINAL_DESCRIPTOR>(d))
                model_.terminals.push_back(TerminalModel{t->bTerminalID, false, t->wTerminalType, 0, 0, 0, 0, 0});
            break;
        case USB_AUDIO10_AC_FEATURE_UNIT:
            if (const auto* f = UsbDescriptorAs<USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR>(d)) {
                FeatureUnitModel unit{f->bUnitID, f->bSourceID, {}, {}};
                for (ULONG ch = 0; ch < f->ChannelCount(); ++ch) {
                    const ULONG controls = f->bmaControls(ch);
                    unit.mute.push_back((controls & 0x1) ? kControlReadWrite : kControlAbsent);
                    unit.volume.push_back((controls & 0x2) ? kControlReadWrite : kControlAbsent);
                }
                model_.featureUnits.push_back(std::move(unit));
            }
            break;
        default:
            if (d->bLength >= 4) model_.otherUnits.push_back(reinterpret_cast<const UCHAR*>(d)[3]);
            break;
        }
    }

    void Streaming(const USB_COMMON_DESCRIPTOR* d) {
        const UCHAR subtype = reinterpret_cast<const UCHAR*>(d)[2];
        if (uac2Streaming_) {
            if (subtype == USB_AUDIO_AS_GENERAL) {
                if (const auto* g = UsbDescriptorAs<USB_AUDIO20_AS_GENERAL_DESCRIPTOR>(d)) {
                    alt_->terminalLink = g->bTerminalLink;
                    formatType_ = g->bFormatType;
                    channels_ = g->bNrChannels;
                }
            } else if (subtype == USB_AUDIO_AS_FORMAT_TYPE) {
                const auto* f = UsbDescriptorAs<USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR>(d);
                if (f != nullptr && f->bFormatType == USB_AUDIO_FORMAT_TYPE_I && formatType_ == USB_AUDIO_FORMAT_TYPE_I)
                    SetLayout(SampleLayout{channels_, f->bSubslotSize, f->bBitResolution});
            }
            return;
        }
        if (subtype == USB_AUDIO_AS_GENERAL) {
            if (const auto* g = UsbDescriptorAs<USB_AUDIO10_AS_GENERAL_DESCRIPTOR>(d)) alt_->terminalLink = g->bTerminalLink;
        } else if (subtype == USB_AUDIO_AS_FORMAT_TYPE) {
            const auto* f = UsbDescriptorAs<USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR>(d);
            if (f == nullptr || f->bFormatType != USB_AUDIO_FORMAT_TYPE_I) return;
            SetLayout(SampleLayout{f->bNrChannels, f->bSubframeSize, f->bBitResolution});
            alt_->uac1Continuous = f->IsContinuous();
            alt_->uac1Frequencies.clear();
            for (ULONG i = 0; i < f->FrequencyCount(); ++i) alt_->uac1Frequencies.push_back(f->tSamFreq(i));
        }
    }

    void SetLayout(const SampleLayout& layout) {
        if (layout.Valid()) alt_->layout = layout;
    }

    static ControlAccess Access2(ULONG controls, ULONG index) {
        const ULONG pair = (controls >> (2 * index)) & 3u;
        // 0b10 is not a valid pair: treat the control as absent.
        return pair == 2 ? kControlAbsent : static_cast<ControlAccess>(pair);
    }

    ConfigurationModel& model_;
    InterfaceKind kind_ = InterfaceKind::Other;
    AltSettingModel* alt_ = nullptr;
    EndpointModel* endpoint_ = nullptr;
    bool uac2Streaming_ = false;
    UCHAR formatType_ = 0;
    std::uint32_t channels_ = 0;
};

}  // namespace

const InterfaceModel* ConfigurationModel::Interface(UCHAR number) const {
    for (const auto& i : interfaces)
        if (i.number == number) return &i;
    return nullptr;
}
const ClockSourceModel* ConfigurationModel::ClockSource(UCHAR id) const { return FindById(clockSources, id); }
const ClockSelectorModel* ConfigurationModel::ClockSelector(UCHAR id) const { return FindById(clockSelectors, id); }
const ClockMultiplierModel* ConfigurationModel::ClockMultiplier(UCHAR id) const {
    return FindById(clockMultipliers, id);
}
const TerminalModel* ConfigurationModel::Terminal(UCHAR id) const { return FindById(terminals, id); }
const FeatureUnitModel* ConfigurationModel::FeatureUnit(UCHAR id) const { return FindById(featureUnits, id); }

ConfigurationModel ParseConfiguration(const UCHAR* data, std::size_t size) {
    ConfigurationModel model;
    if (data == nullptr || size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return model;
    const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(data);
    if (configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return model;
    model.configurationValue = configuration->bConfigurationValue;
    model.attributes = configuration->bmAttributes;
    const UsbDescriptorRange range =
        UsbConfigurationRange(configuration, static_cast<ULONG>(std::min<std::size_t>(size, 0xFFFF)));

    Parser parser(model);
    // Interface pointers move when the vector grows, so alternates are
    // finished before the next interface descriptor is taken in.
    for (const USB_COMMON_DESCRIPTOR* d = UsbNextDescriptor(range, UsbDescriptorAt(range, data)); d != nullptr;
         d = UsbNextDescriptor(range, d)) {
        switch (d->bDescriptorType) {
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            if (const auto* i = UsbDescriptorAs<USB_INTERFACE_DESCRIPTOR>(d)) {
                parser.FinishAlternate();
                parser.Interface(*i);
            }
            break;
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            if (const auto* e = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(d)) parser.Endpoint(*e);
            break;
        default: parser.ClassSpecific(d); break;
        }
    }
    parser.FinishAlternate();
    return model;
}

}  // namespace sim::usb

// Building and freeing the filter description, and the lookups the
// miniport makes in it.
#include "driver/core/filter_description.h"

#include "driver/core/filter_node_types.h"
#include "driver/core/usb_trace.h"

#include <initializer_list>

namespace {

constexpr KSDATARANGE MakeBridgeRange() {
    KSDATARANGE range{};
    range.FormatSize = sizeof(KSDATARANGE);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return range;
}

// Every bridge pin carries this one range; PortCls only reads it, and
// FreeFilterDescription tells bridge pins by this array.
KSDATARANGE g_bridgeRange = MakeBridgeRange();
PKSDATARANGE const g_bridgeRanges[] = {&g_bridgeRange};

enum class NodeAutomation { None, Mute, Volume };

// The nodes of a feature unit, in creation order: one per entry whose
// controls (bit i = control index i) are readable on some channel.
struct FeatureNodeKind {
    ULONG controls;
    const GUID* type;
    NodeAutomation automation;
};

constexpr ULONG Bit(ULONG index) { return 1u << index; }

constexpr FeatureNodeKind kFeatureNodes[] = {
    {Bit(kFeatureMute), &KSNODETYPE_MUTE, NodeAutomation::Mute},
    {Bit(kFeatureVolume), &KSNODETYPE_VOLUME, NodeAutomation::Volume},
    {Bit(2) | Bit(3) | Bit(4) | Bit(8), &KSNODETYPE_TONE, NodeAutomation::None},  // bass, mid, treble, bass boost
    {Bit(5), &KSNODETYPE_EQUALIZER, NodeAutomation::None},
    {Bit(6), &KSNODETYPE_AGC, NodeAutomation::None},
    {Bit(7), &KSNODETYPE_DELAY, NodeAutomation::None},
    {Bit(9), &KSNODETYPE_LOUDNESS, NodeAutomation::None},
    {Bit(10), &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},  // input gain
    {Bit(11), &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},  // input gain pad
    {Bit(12), &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},  // phase inverter
    {Bit(13), &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},  // underflow
    {Bit(14), &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},  // overflow
};
constexpr ULONG kHighestFeatureControl = 14;

bool IsFeatureUnit(const AudioEntity* entity) { return entity->Subtype() == USB_AUDIO20_AC_FEATURE_UNIT; }

bool IsInputTerminal(const AudioEntity* entity) { return entity->Subtype() == USB_AUDIO20_AC_INPUT_TERMINAL; }

USHORT TerminalTypeOf(const AudioEntity* terminal) {
    return static_cast<const TerminalEntity*>(terminal)->TerminalType();
}

bool IsStreamingTerminal(const AudioEntity* terminal) {
    return TerminalTypeOf(terminal) == USB_AUDIO_TERMINAL_USB_STREAMING;
}

// Bit i set when control i is readable on at least one channel.
ULONG ReadableControls(const FeatureUnit& unit) {
    ULONG readable = 0;
    const ULONG channels = unit.ChannelCount();
    for (ULONG control = 0; control <= kHighestFeatureControl; ++control)
        for (ULONG channel = 0; channel < channels && (readable & Bit(control)) == 0; ++channel)
            if (unit.IsControlAccessible(control, channel, kControlAccessRead)) readable |= Bit(control);
    return readable;
}

ULONG UnitNodeCount(AudioEntity* unit) {
    if (!IsFeatureUnit(unit)) return 1;
    const ULONG readable = ReadableControls(*static_cast<FeatureUnit*>(unit));
    ULONG count = 0;
    for (const FeatureNodeKind& kind : kFeatureNodes)
        if ((readable & kind.controls) != 0) ++count;
    return count;
}

void Append(FilterElement** chain, FilterElement* element) {
    FilterElement** tail = chain;
    while (*tail != nullptr) tail = &(*tail)->Next;
    *tail = element;
}

// The first element of `chain` that stands for entity `id`, never the last
// element: nothing can follow the chain's end.
FilterElement* FindSource(FilterElement* chain, LONG id) {
    for (FilterElement* e = chain; e != nullptr && e->Next != nullptr; e = e->Next)
        if (e->Entity != nullptr && static_cast<LONG>(e->Entity->Id()) == id) return e;
    return nullptr;
}

void InsertAfter(FilterElement* at, FilterElement* element) {
    element->Next = at->Next;
    at->Next = element;
}

bool IsBridgePinOf(const FilterElement* e, bool inputTerminal) {
    return e->Kind == FilterElementKind::Pin && IsInputTerminal(e->Entity) == inputTerminal &&
           !IsStreamingTerminal(e->Entity);
}

ULONG ChainConnections(const FilterElement* chain) {
    ULONG count = 0;
    for (const FilterElement* e = chain; e != nullptr && e->Next != nullptr; e = e->Next) ++count;
    return count;
}

// A node's pin 0 is its output and pin 1 its input; a filter pin end is
// PCFILTER_NODE with the pin number.
void SetEnd(const FilterElement* e, bool output, ULONG* node, ULONG* pin) {
    if (e->Kind == FilterElementKind::Pin) {
        *node = PCFILTER_NODE;
        *pin = e->Number;
    } else {
        *node = e->Number;
        *pin = output ? 0 : 1;
    }
}

template <class T>
T* AllocateArray(ULONG count, ULONG tag) {
    return static_cast<T*>(ExAllocatePoolZero(NonPagedPoolNx, static_cast<SIZE_T>(count) * sizeof(T), tag));
}

void InitAutomation(PCPROPERTY_ITEM* item, PCAUTOMATION_TABLE* table, ULONG id, PCPFNPROPERTY_HANDLER handler) {
    *item = {&KSPROPSETID_Audio, id,
             PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, handler};
    *table = {sizeof(PCPROPERTY_ITEM), 1, item, sizeof(PCMETHOD_ITEM), 0, nullptr, sizeof(PCEVENT_ITEM), 0, nullptr, 0};
}

class Builder {
public:
    Builder(UsbAudioDevice& device, ULONG rate, FilterDescription* d) : device_(device), rate_(rate), d_(d) {}

    NTSTATUS Run() {
        NTSTATUS status = BuildRanges();
        if (NT_SUCCESS(status)) status = BuildPins();
        if (NT_SUCCESS(status)) status = BuildNodes();
        if (NT_SUCCESS(status)) {
            LinkNodes();
            status = BuildConnections();
        }
        return status;
    }

private:
    NTSTATUS BuildRanges() {
        NTSTATUS result = STATUS_SUCCESS;
        const ULONG speed = device_.BusSpeed();
        if (device_.PlaybackInterface != nullptr) {
            const NTSTATUS status = BuildPinRanges(*device_.PlaybackInterface, speed, rate_, &d_->PlaybackRanges);
            if (!NT_SUCCESS(status)) result = status;
        }
        if (device_.CaptureInterface != nullptr) {
            const NTSTATUS status = BuildPinRanges(*device_.CaptureInterface, speed, rate_, &d_->CaptureRanges);
            if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
        }
        return result;
    }

    NTSTATUS BuildPins() {
        ULONG count = 0;
        for (AudioEntityIterator it = device_.Terminals(); it.Next() != nullptr;) ++count;
        if (count == 0) return STATUS_SUCCESS;
        d_->Pins = AllocateArray<FilterPin>(count, kUsbPoolTag);
        if (d_->Pins == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        // Counted at once, so that a failure below frees what was copied.
        d_->Filter.PinCount = count;
        ULONG number = 0;
        AudioEntityIterator it = device_.Terminals();
        for (AudioEntity* terminal = it.Next(); terminal != nullptr; terminal = it.Next(), ++number) {
            const NTSTATUS status = BuildPin(terminal, number);
            if (!NT_SUCCESS(status)) return status;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS BuildPin(AudioEntity* terminal, ULONG number) {
        FilterPin& pin = d_->Pins[number];
        pin.Element = {nullptr, terminal, number, FilterElementKind::Pin};
        KSPIN_DESCRIPTOR& ks = pin.Descriptor.KsPinDescriptor;
        const bool input = IsInputTerminal(terminal);
        ks.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
        const bool streaming = IsStreamingTerminal(terminal);
        if (streaming) {
            // An input terminal fed by USB is where the host renders into
            // the device; an output terminal to USB is where it captures.
            const StreamingInterface* stream = input ? device_.PlaybackInterface : device_.CaptureInterface;
            const PinRangeList& list = input ? d_->PlaybackRanges : d_->CaptureRanges;
            if (stream == nullptr || stream->AltCount < 2 || stream->Alts == nullptr || list.Count == 0) {
                FILTER_TRACE(TRACE_LEVEL_ERROR, "filter: streaming terminal %u has no %s formats at %u Hz",
                            terminal->Id(), input ? "playback" : "capture", static_cast<unsigned>(rate_));
                return STATUS_UNSUCCESSFUL;
            }
            PKSDATARANGE* ranges = AllocateArray<PKSDATARANGE>(list.Count, kFilterRangePoolTag);
            if (ranges == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            // The static tables are const to the driver; PortCls only reads
            // through these pointers.
            for (ULONG i = 0; i < list.Count; ++i)
                ranges[i] = const_cast<PKSDATARANGE>(&list.Entries[i]->DataRange);
            pin.Descriptor.MaxGlobalInstanceCount = 1;
            pin.Descriptor.MaxFilterInstanceCount = 1;
            ks.DataRangesCount = list.Count;
            ks.DataRanges = ranges;
            ks.Communication = KSPIN_COMMUNICATION_SINK;
            ks.Category = &KSCATEGORY_AUDIO;
        } else {
            ks.DataRangesCount = 1;
            ks.DataRanges = g_bridgeRanges;
            ks.Communication = KSPIN_COMMUNICATION_BRIDGE;
            ks.Category = TerminalTypeNodeType(TerminalTypeOf(terminal));
        }
        // Capture flows from input-terminal bridges to the capture streaming
        // pin, render from the render streaming pin to output-terminal
        // bridges.
        const bool capture = input != streaming;
        Append(capture ? &d_->CaptureChain : &d_->RenderChain, &pin.Element);
        return STATUS_SUCCESS;
    }

    NTSTATUS BuildNodes() {
        const bool excludeClocks = device_.IsUac2 != 0;
        ULONG count = (d_->CaptureChain != nullptr ? 1 : 0) + (d_->RenderChain != nullptr ? 1 : 0);
        AudioEntityIterator units = device_.Units(excludeClocks);
        for (AudioEntity* unit = units.Next(); unit != nullptr; unit = units.Next()) count += UnitNodeCount(unit);
        if (count == 0) return STATUS_SUCCESS;
        d_->Nodes = AllocateArray<FilterNode>(count, kUsbPoolTag);
        if (d_->Nodes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        d_->Filter.NodeCount = count;

        ULONG number = 0;
        if (d_->CaptureChain != nullptr) adc_ = AddNode(number++, &KSNODETYPE_ADC, nullptr, nullptr);
        if (d_->RenderChain != nullptr) dac_ = AddNode(number++, &KSNODETYPE_DAC, nullptr, nullptr);
        units = device_.Units(excludeClocks);
        for (AudioEntity* unit = units.Next(); unit != nullptr; unit = units.Next()) {
            if (!IsFeatureUnit(unit)) {
                AddNode(number++, &KSNODETYPE_DEV_SPECIFIC, nullptr, unit);
                continue;
            }
            const ULONG readable = ReadableControls(*static_cast<FeatureUnit*>(unit));
            for (const FeatureNodeKind& kind : kFeatureNodes) {
                if ((readable & kind.controls) == 0) continue;
                const PCAUTOMATION_TABLE* automation = kind.automation == NodeAutomation::Mute     ? &d_->MuteAutomation
                                                       : kind.automation == NodeAutomation::Volume ? &d_->VolumeAutomation
                                                                                                   : nullptr;
                AddNode(number++, kind.type, automation, unit);
            }
        }
        return STATUS_SUCCESS;
    }

    FilterElement* AddNode(ULONG number, const GUID* type, const PCAUTOMATION_TABLE* automation, AudioEntity* entity) {
        FilterNode& node = d_->Nodes[number];
        node.Descriptor = {0, automation, type, nullptr};
        node.Element = {nullptr, entity, number, FilterElementKind::Node};
        return &node.Element;
    }

    void LinkNodes() {
        // Each unit node goes right after its unit's source, so the nodes of
        // one unit end up in reverse creation order.
        for (ULONG i = 0; i < d_->Filter.NodeCount; ++i) {
            FilterElement* node = &d_->Nodes[i].Element;
            if (node->Entity == nullptr) continue;
            const LONG source = node->Entity->GetSourceId(0);
            if (source < 0) continue;
            FilterElement* at = FindSource(d_->CaptureChain, source);
            if (at == nullptr) at = FindSource(d_->RenderChain, source);
            if (at != nullptr) InsertAfter(at, node);
        }
        // One converter node has one place: after the first input-terminal
        // bridge pin, before the first output-terminal bridge pin.
        if (adc_ != nullptr) {
            for (FilterElement* e = d_->CaptureChain; e != nullptr; e = e->Next) {
                if (IsBridgePinOf(e, true)) {
                    InsertAfter(e, adc_);
                    break;
                }
            }
        }
        if (dac_ != nullptr) {
            for (FilterElement** link = &d_->RenderChain; *link != nullptr; link = &(*link)->Next) {
                if (IsBridgePinOf(*link, false)) {
                    dac_->Next = *link;
                    *link = dac_;
                    break;
                }
            }
        }
    }

    NTSTATUS BuildConnections() {
        const ULONG count = ChainConnections(d_->CaptureChain) + ChainConnections(d_->RenderChain);
        if (count == 0) return STATUS_SUCCESS;
        d_->Connections = AllocateArray<PCCONNECTION_DESCRIPTOR>(count, kUsbPoolTag);
        if (d_->Connections == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        d_->Filter.ConnectionCount = count;
        ULONG n = 0;
        for (const FilterElement* chain : {d_->CaptureChain, d_->RenderChain}) {
            for (const FilterElement* e = chain; e != nullptr && e->Next != nullptr; e = e->Next, ++n) {
                PCCONNECTION_DESCRIPTOR& c = d_->Connections[n];
                SetEnd(e, true, &c.FromNode, &c.FromNodePin);
                SetEnd(e->Next, false, &c.ToNode, &c.ToNodePin);
            }
        }
        return STATUS_SUCCESS;
    }

    UsbAudioDevice& device_;
    const ULONG rate_;
    FilterDescription* const d_;
    FilterElement* adc_ = nullptr;
    FilterElement* dac_ = nullptr;
};

}  // namespace

NTSTATUS BuildPinRanges(const StreamingInterface& stream, ULONG busSpeed, ULONG rate, PinRangeList* list) {
    if (list == nullptr) return STATUS_INVALID_PARAMETER;
    FreePinRanges(list);
    const AudioRangeTable table = AudioPinRangeTable(busSpeed, stream.IsInput != 0);
    if (table.Entries == nullptr || table.Count == 0) return STATUS_UNSUCCESSFUL;
    const auto holds = [rate](const KSDATARANGE_AUDIO& entry) {
        return entry.MinimumSampleFrequency <= rate && rate <= entry.MaximumSampleFrequency;
    };
    ULONG count = 0;
    for (ULONG i = 0; i < table.Count; ++i)
        if (holds(table.Entries[i])) ++count;
    if (count == 0) return STATUS_SUCCESS;
    auto* entries = AllocateArray<const KSDATARANGE_AUDIO*>(count, kUsbPoolTag);
    if (entries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG n = 0;
    for (ULONG i = 0; i < table.Count; ++i)
        if (holds(table.Entries[i])) entries[n++] = &table.Entries[i];
    list->Entries = entries;
    list->Count = count;
    return STATUS_SUCCESS;
}

void FreePinRanges(PinRangeList* list) {
    if (list == nullptr) return;
    if (list->Entries != nullptr) ExFreePoolWithTag(list->Entries, kUsbPoolTag);
    *list = {};
}

NTSTATUS BuildFilterDescription(UsbAudioDevice& device, ULONG rate, PCPFNPROPERTY_HANDLER nodeHandler,
                                const PCAUTOMATION_TABLE* filterAutomation, FilterDescription* description) {
    if (description == nullptr) return STATUS_INVALID_PARAMETER;
    FreeFilterDescription(description);
    if (nodeHandler == nullptr) return STATUS_INVALID_PARAMETER;
    FilterDescription& d = *description;
    InitAutomation(&d.MuteProperty, &d.MuteAutomation, KSPROPERTY_AUDIO_MUTE, nodeHandler);
    InitAutomation(&d.VolumeProperty, &d.VolumeAutomation, KSPROPERTY_AUDIO_VOLUMELEVEL, nodeHandler);
    const NTSTATUS status = Builder(device, rate, description).Run();
    if (!NT_SUCCESS(status)) {
        FILTER_TRACE(TRACE_LEVEL_ERROR, "filter: description not built (0x%08X)", static_cast<unsigned>(status));
        FreeFilterDescription(description);
        return status;
    }
    d.Filter.Version = PCFILTER_DESCRIPTOR_VERSION;
    d.Filter.AutomationTable = filterAutomation;
    d.Filter.PinSize = sizeof(FilterPin);
    d.Filter.Pins = d.Pins != nullptr ? &d.Pins->Descriptor : nullptr;
    d.Filter.NodeSize = sizeof(FilterNode);
    d.Filter.Nodes = d.Nodes != nullptr ? &d.Nodes->Descriptor : nullptr;
    d.Filter.Connections = d.Connections;
    TraceFilterDescription(d);
    return STATUS_SUCCESS;
}

void FreeFilterDescription(FilterDescription* description) {
    if (description == nullptr) return;
    FilterDescription& d = *description;
    if (d.Pins != nullptr) {
        for (ULONG i = 0; i < d.Filter.PinCount; ++i) {
            const PKSDATARANGE* ranges = d.Pins[i].Descriptor.KsPinDescriptor.DataRanges;
            if (ranges != nullptr && ranges != g_bridgeRanges)
                ExFreePoolWithTag(const_cast<PKSDATARANGE*>(ranges), kFilterRangePoolTag);
        }
        ExFreePoolWithTag(d.Pins, kUsbPoolTag);
    }
    if (d.Nodes != nullptr) ExFreePoolWithTag(d.Nodes, kUsbPoolTag);
    if (d.Connections != nullptr) ExFreePoolWithTag(d.Connections, kUsbPoolTag);
    FreePinRanges(&d.PlaybackRanges);
    FreePinRanges(&d.CaptureRanges);
    d = FilterDescription{};
}

NTSTATUS FindPinRange(const FilterDescription& description, bool capture, ULONG channels, ULONG minBits,
                      ULONG maxBits, ULONG minRate, ULONG maxRate, const KSDATARANGE_AUDIO** match) {
    const PinRangeList& list = capture ? description.CaptureRanges : description.PlaybackRanges;
    for (ULONG i = 0; i < list.Count; ++i) {
        const KSDATARANGE_AUDIO& entry = *list.Entries[i];
        const bool channelsFit =
            entry.MaximumChannels == channels || (channels == 2 && entry.MaximumChannels > 2);
        if (!channelsFit) continue;
        if (entry.MinimumBitsPerSample < minBits || entry.MaximumBitsPerSample > maxBits) continue;
        if (entry.MinimumSampleFrequency < minRate || entry.MaximumSampleFrequency > maxRate) continue;
        if (match != nullptr) *match = &entry;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MATCH;
}

bool IsStreamingPin(const FilterDescription& description, ULONG pinId, bool* capture) {
    if (description.Pins == nullptr || pinId >= description.Filter.PinCount) return false;
    const KSPIN_DESCRIPTOR& ks = description.Pins[pinId].Descriptor.KsPinDescriptor;
    if (ks.Communication != KSPIN_COMMUNICATION_SINK) return false;
    if (capture != nullptr) *capture = ks.DataFlow == KSPIN_DATAFLOW_OUT;
    return true;
}

FeatureUnit* FilterNodeFeatureUnit(const FilterDescription* description, ULONG nodeId) {
    if (description == nullptr || description->Nodes == nullptr || nodeId >= description->Filter.NodeCount)
        return nullptr;
    AudioEntity* entity = description->Nodes[nodeId].Element.Entity;
    if (entity == nullptr || !IsFeatureUnit(entity)) return nullptr;
    return static_cast<FeatureUnit*>(entity);
}

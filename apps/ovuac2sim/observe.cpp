#include "apps/ovuac2sim/observe.h"

#include "apps/ovuac2sim/status.h"
#include "driver/core/device_registry.h"
#include "driver/core/filter_description.h"
#include "driver/core/filter_node_types.h"
#include "driver/core/usb_trace.h"
#include "platform/usb/audio.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/tracing.h"
#include "sim/portcls/port_class.h"
#include "sim/strings.h"

#include <algorithm>

namespace ovusim {
namespace {

const char* EntityKind(UCHAR subtype, bool uac2) {
    switch (subtype) {
    case 2: return "input terminal";
    case 3: return "output terminal";
    case 6: return "feature unit";
    case 7: return uac2 ? "effect unit" : "processing unit";
    case 10: return "clock source";
    case 11: return "clock selector";
    default: return "unit";
    }
}

const char* TransferType(UCHAR attributes) {
    switch (attributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return "isochronous";
    case USB_ENDPOINT_TYPE_BULK: return "bulk";
    case USB_ENDPOINT_TYPE_INTERRUPT: return "interrupt";
    default: return "control";
    }
}

AltInfo DescribeAlt(const AltSetting& alt, ULONG number, bool uac2) {
    const auto* format = reinterpret_cast<const UCHAR*>(alt.FormatType);
    const auto* general = reinterpret_cast<const UCHAR*>(alt.AsGeneral);
    AltInfo info;
    info.number = number;
    if (uac2) {
        info.channels = general != nullptr && general[0] > 10 ? general[10] : 0;
        info.subslotBytes = format[0] > 4 ? format[4] : 0;
        info.bitResolution = format[0] > 5 ? format[5] : 0;
    } else {
        const auto* type1 = reinterpret_cast<const USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR*>(format);
        info.channels = format[0] > 4 ? format[4] : 0;
        info.subslotBytes = format[0] > 5 ? format[5] : 0;
        info.bitResolution = format[0] > 6 ? format[6] : 0;
        if (format[0] >= sizeof(USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR)) {
            info.continuousRates = type1->IsContinuous();
            for (ULONG i = 0; i < type1->FrequencyCount(); ++i) info.sampleRates.push_back(type1->tSamFreq(i));
        }
    }
    info.endpoint = alt.DataEndpoint->bEndpointAddress;
    info.maxPacketSize = alt.DataEndpoint->wMaxPacketSize & 0x7FF;
    info.transferType = TransferType(alt.DataEndpoint->bmAttributes);
    if (alt.FeedbackEndpoint != nullptr) info.feedbackEndpoint = alt.FeedbackEndpoint->bEndpointAddress;
    return info;
}

// Nothing sends the report's copy of the description a property request.
NTSTATUS NoNodeProperties(PCPROPERTY_REQUEST*) { return STATUS_INVALID_DEVICE_REQUEST; }

}  // namespace

void DescribeDevice(UsbAudioDevice& model, DeviceInfo* out) {
    out->classVersion = model.IsUac2 ? "2.0" : "1.0";
    for (AudioEntity* e = model.Entities; e != nullptr; e = e->Next) {
        EntityInfo info;
        char name[32];
        e->FormatName(name, sizeof(name));
        info.name = name;
        info.kind = EntityKind(e->Subtype(), model.IsUac2 != 0);
        info.id = e->Id();
        for (ULONG i = 0; i < 32; ++i) {
            const LONG source = e->GetSourceId(i);
            if (source < 0) break;
            info.sources.push_back(static_cast<unsigned>(source));
        }
        if (e->IsTerminal()) info.clockId = static_cast<const TerminalEntity*>(e)->GetClockId();
        out->entities.push_back(info);
    }
    for (StreamingInterface* s = model.Streaming; s != nullptr; s = s->Next) {
        StreamingInfo info;
        info.number = s->InterfaceNumber;
        info.input = s->IsInput != 0;
        for (ULONG a = 1; a < s->AltCount; ++a) {
            const AltSetting& alt = s->Alts[a];
            if (alt.DataEndpoint == nullptr || alt.FormatType == nullptr) continue;
            info.alts.push_back(DescribeAlt(alt, a, model.IsUac2 != 0));
        }
        out->streaming.push_back(info);
    }
}

FilterInfo DescribeFilter(UsbAudioDevice& model, ULONG rate) {
    FilterInfo filter;
    FilterDescription d{};
    const NTSTATUS status = BuildFilterDescription(model, rate, &NoNodeProperties, nullptr, &d);
    filter.status = StatusOf(status).Text();
    if (!NT_SUCCESS(status)) return filter;
    filter.built = true;
    for (ULONG i = 0; i < d.Filter.PinCount; ++i) {
        const KSPIN_DESCRIPTOR& ks = d.Pins[i].Descriptor.KsPinDescriptor;
        PinInfo pin;
        pin.streaming = ks.Communication == KSPIN_COMMUNICATION_SINK;
        pin.dataFlowIn = ks.DataFlow == KSPIN_DATAFLOW_IN;
        const char* category = ks.Category == nullptr ? "none"
                               : *ks.Category == KSCATEGORY_AUDIO ? "AUDIO"
                                                                  : NodeTypeName(ks.Category);
        pin.category = category != nullptr ? category : "other";
        for (ULONG k = 0; pin.streaming && k < ks.DataRangesCount; ++k) {
            const auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(ks.DataRanges[k]);
            pin.ranges.push_back({range->MaximumChannels, range->MinimumBitsPerSample, range->MaximumBitsPerSample,
                                  range->MinimumSampleFrequency, range->MaximumSampleFrequency});
        }
        filter.pins.push_back(pin);
    }
    for (ULONG i = 0; i < d.Filter.NodeCount; ++i) {
        const char* name = NodeTypeName(d.Nodes[i].Descriptor.Type);
        filter.nodes.push_back(name != nullptr ? name : "Unknown");
    }
    for (ULONG i = 0; i < d.Filter.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
        auto node = [](ULONG n) { return n == PCFILTER_NODE ? -1L : static_cast<long>(n); };
        filter.connections.push_back({node(c.FromNode), static_cast<long>(c.FromNodePin), node(c.ToNode),
                                      static_cast<long>(c.ToNodePin)});
    }
    FreeFilterDescription(&d);
    return filter;
}

std::vector<SubdeviceReport> DescribeSubdevices(sim::Machine& machine, DEVICE_OBJECT* fdo) {
    const auto portName = [](sim::PortType type) { return type == sim::PortType::WaveRT ? "WaveRT" : "MIDI"; };
    std::vector<SubdeviceReport> out;
    for (const sim::SubdeviceInfo& s : machine.portcls().Subdevices())
        if (s.functionalDevice == fdo) out.push_back({sim::ToUtf8(s.name), portName(s.port), true, "", StatusOf(STATUS_SUCCESS)});
    for (const sim::SubdeviceFailure& f : machine.portcls().SubdeviceFailures(fdo)) {
        SubdeviceReport failed{sim::ToUtf8(f.name), portName(f.port), false, f.step, std::nullopt};
        if (f.status) failed.status = StatusOf(*f.status);
        out.push_back(std::move(failed));
    }
    return out;
}

ClockInfo DescribeClockSources(sim::Machine& machine, sim::PnpNode* node) {
    ClockInfo clock;
    UCHAR ids[256];
    ULONG size = 0;
    DEVPROPTYPE type = 0;
    if (NT_SUCCESS(machine.pnp().GetProperty(node, DEVPKEY_Uac2ClockSourceList, ids, sizeof(ids), &size, &type)))
        clock.published.assign(ids, ids + std::min<ULONG>(size, sizeof(ids)));
    ULONG selected = 0;
    if (NT_SUCCESS(machine.pnp().GetProperty(node, DEVPKEY_Uac2ClockSource, &selected, sizeof(selected), &size, &type)) &&
        size == sizeof(selected))
        clock.selected = selected;
    return clock;
}

std::size_t TraceMark(sim::Machine& machine) { return machine.kernel().tracing().Lines().size(); }

std::vector<std::string> DriverTrace(sim::Machine& machine, std::size_t from, UCHAR level, std::size_t count) {
    const std::vector<sim::TraceLine> lines = machine.kernel().tracing().Lines();
    std::vector<std::string> out;
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].provider == g_DriverTrace.Name && lines[i].level <= level) out.push_back(lines[i].text);
    if (count != 0 && out.size() > count) out.erase(out.begin(), out.end() - static_cast<std::ptrdiff_t>(count));
    return out;
}

}  // namespace ovusim

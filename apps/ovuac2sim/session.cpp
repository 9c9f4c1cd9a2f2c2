#include "apps/ovuac2sim/session.h"

#include "apps/ovuac2sim/describing_miniport.h"

#include "driver/core/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_entry.h"
#include "driver/core/driver_services.h"
#include "driver/core/filter_description.h"
#include "driver/core/filter_node_types.h"
#include "driver/stream/engine_table.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/trace/trace.h"
#include "sim/audio/endpoints.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/tracing.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/usb/device/sample_format.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "sim/usb/profile/raw_dump.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace ovusim {

namespace {

using sim::usb::BusSpeed;
using sim::usb::VirtualDevice;

std::string StatusText(NTSTATUS status) {
    char buffer[80];
    const char* name = NtStatusName(status);
    std::snprintf(buffer, sizeof(buffer), "%s (0x%08X)", name != nullptr ? name : "status",
                  static_cast<unsigned>(status));
    return buffer;
}

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

std::shared_ptr<VirtualDevice> MakeDevice(const Options& o, std::string* error) {
    if (!o.rawDump.empty()) {
        sim::usb::RawDescriptorSet raw = sim::usb::DescriptorSetFromHexFile(o.rawDump, o.speed);
        if (!raw.set) {
            *error = "cannot read the descriptor dump " + o.rawDump + ": " + raw.error;
            return nullptr;
        }
        return std::make_shared<VirtualDevice>(*raw.set);
    }
    switch (o.profile) {
    case Profile::Maker: {
        sim::usb::MakerDeviceOptions m;
        m.speed = o.speed;
        if (o.channels) m.channels = static_cast<std::uint8_t>(*o.channels);
        return std::make_shared<VirtualDevice>(sim::usb::MakerDevice(m));
    }
    case Profile::GenericUac2: {
        sim::usb::GenericUac2Options g;
        g.speed = o.speed;
        g.isochronous = false;  // the driver streams over bulk endpoints only
        if (o.channels) g.channels = static_cast<std::uint8_t>(*o.channels);
        return std::make_shared<VirtualDevice>(sim::usb::GenericUac2Device(g));
    }
    case Profile::GenericUac1: {
        sim::usb::GenericUac1Options g;
        g.speed = o.speed;
        g.isochronous = false;
        if (o.channels) g.channels = static_cast<std::uint8_t>(*o.channels);
        return std::make_shared<VirtualDevice>(sim::usb::GenericUac1Device(g));
    }
    case Profile::Midi: {
        sim::usb::MidiDeviceOptions m;
        m.speed = o.speed;
        return std::make_shared<VirtualDevice>(sim::usb::MidiDevice(m));
    }
    }
    return nullptr;
}

// The hardware ids the package's installation binds the driver to for this
// device: its function at interface 0, composite or not.
std::vector<std::u16string> HardwareIds(const VirtualDevice& device) {
    const auto& d = device.Descriptors().device;
    const unsigned vid = d.size() >= 12 ? d[8] | (d[9] << 8) : 0;
    const unsigned pid = d.size() >= 12 ? d[10] | (d[11] << 8) : 0;
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", vid, pid);
    return {sim::ToU16(id) + u"&MI_00", sim::ToU16(id)};
}

void DescribeModel(UsbAudioDevice& model, Report* r) {
    r->classVersion = model.IsUac2 ? "2.0" : "1.0";
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
        r->entities.push_back(info);
    }
    for (StreamingInterface* s = model.Streaming; s != nullptr; s = s->Next) {
        StreamingInfo info;
        info.number = s->InterfaceNumber;
        info.input = s->IsInput != 0;
        for (ULONG a = 1; a < s->AltCount; ++a) {
            const AltSetting& alt = s->Alts[a];
            if (alt.DataEndpoint == nullptr || alt.FormatType == nullptr) continue;
            const auto* format = reinterpret_cast<const UCHAR*>(alt.FormatType);
            const auto* general = reinterpret_cast<const UCHAR*>(alt.AsGeneral);
            AltInfo ai;
            ai.number = a;
            if (model.IsUac2) {
                ai.channels = general != nullptr && general[0] > 10 ? general[10] : 0;
                ai.subslotBytes = format[0] > 4 ? format[4] : 0;
                ai.bitResolution = format[0] > 5 ? format[5] : 0;
            } else {
                ai.channels = format[0] > 4 ? format[4] : 0;
                ai.subslotBytes = format[0] > 5 ? format[5] : 0;
                ai.bitResolution = format[0] > 6 ? format[6] : 0;
            }
            ai.endpoint = alt.DataEndpoint->bEndpointAddress;
            const USHORT packet = alt.DataEndpoint->wMaxPacketSize;
            ai.maxPacketSize = packet & 0x7FF;
            info.alts.push_back(ai);
        }
        r->streaming.push_back(info);
    }
}

// The resolution of the capture setting now selected, for decoding the
// counter pattern.
unsigned CaptureResolution(UsbAudioDevice& model) {
    StreamingInterface* s = model.CaptureInterface;
    if (s == nullptr || s->CurrentAlt == 0 || s->CurrentAlt >= s->AltCount) return 0;
    const auto* format = reinterpret_cast<const UCHAR*>(s->Alts[s->CurrentAlt].FormatType);
    if (format == nullptr) return 0;
    return model.IsUac2 ? (format[0] > 5 ? format[5] : 0) : (format[0] > 6 ? format[6] : 0);
}

// Checks that the input ring holds consecutive frames of the device's
// counter pattern, channel by channel, up to the write position.
void CheckCounterPattern(const StreamEngine::RingView& rings, const sim::usb::SampleLayout& layout, Report* r) {
    const ULONG bytesPerFrame = layout.BytesPerFrame();
    if (bytesPerFrame == 0 || !layout.Valid()) return;
    const std::uint64_t ringFrames = kRingSize / bytesPerFrame;
    const std::uint64_t frames = rings.capturedFrames < ringFrames ? rings.capturedFrames : ringFrames;
    const std::uint64_t modulus = sim::usb::CounterFrameModulus(layout.bitResolution);
    const std::uint32_t channelModulus = 1u << sim::usb::CounterChannelBits(layout.bitResolution);
    std::uint64_t position = (rings.inputWritePos + kRingSize - (frames * bytesPerFrame) % kRingSize) % kRingSize;
    std::uint64_t expected = 0;
    for (std::uint64_t f = 0; f < frames; ++f) {
        const UCHAR* frame = rings.inputRing + position;
        for (std::uint32_t c = 0; c < layout.channels; ++c) {
            const sim::usb::CounterCode code = sim::usb::DecodeCounterSample(frame + c * layout.subslotBytes, layout);
            if (c == 0) {
                if (f != 0 && code.frameModulo != expected) ++r->counterGaps;
                expected = (code.frameModulo + 1) % modulus;
            } else if (code.channel != c % channelModulus || (code.frameModulo + 1) % modulus != expected) {
                ++r->counterGaps;
            }
        }
        position = (position + bytesPerFrame) % kRingSize;
    }
    r->checkedFrames = frames;
}

// Nothing sends the report's copy of the description a property request.
NTSTATUS NoNodeProperties(PCPROPERTY_REQUEST*) { return STATUS_INVALID_DEVICE_REQUEST; }

// The filter description the system audio engine would get at `rate`.
void DescribeFilter(UsbAudioDevice& model, ULONG rate, Report* r) {
    FilterDescription d{};
    const NTSTATUS status = BuildFilterDescription(model, rate, &NoNodeProperties, nullptr, &d);
    if (!NT_SUCCESS(status)) {
        r->filter.status = StatusText(status);
        return;
    }
    r->filter.built = true;
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
        r->filter.pins.push_back(pin);
    }
    for (ULONG i = 0; i < d.Filter.NodeCount; ++i) {
        const char* name = NodeTypeName(d.Nodes[i].Descriptor.Type);
        r->filter.nodes.push_back(name != nullptr ? name : "Unknown");
    }
    for (ULONG i = 0; i < d.Filter.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
        auto node = [](ULONG n) { return n == PCFILTER_NODE ? -1L : static_cast<long>(n); };
        r->filter.connections.push_back({node(c.FromNode), static_cast<long>(c.FromNodePin), node(c.ToNode),
                                         static_cast<long>(c.ToNodePin)});
    }
    FreeFilterDescription(&d);
}

// After a rate change the package's service rewrites the device formats
// stored in the device's endpoint records; the service is not built yet, so
// the simulator does it, and a later run started from the saved registry
// comes back at the new rate.
void RecordRateInEndpoints(sim::Machine& machine, const std::u16string& instancePath, ULONG rate) {
    for (sim::audio::Flow flow : {sim::audio::Flow::Render, sim::audio::Flow::Capture}) {
        const auto endpoint = sim::audio::FindEndpoint(machine.registry(), flow, instancePath);
        if (!endpoint) continue;
        auto format = sim::audio::ReadDeviceFormat(machine.registry(), flow, *endpoint);
        if (!format) continue;
        format->rate = rate;
        sim::audio::WriteDeviceFormat(machine.registry(), flow, *endpoint, *format);
    }
}

// On the stepped clock the device waits for the host: before each step the
// workers (real threads) get the time to put every transfer back in flight,
// as they would long before the next packet on real hardware. False when
// they did not within a generous real-time bound.
bool WaitForTransfersInFlight(sim::Machine& machine, const StreamEngine& engine) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        machine.kernel().RunUntilQuiet();
        if (engine.Direction(true).outstanding == kCaptureTransfersInFlight &&
            engine.Direction(false).outstanding == kPlaybackTransfersInFlight)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

UCHAR DataEndpoint(const StreamingInterface* s, UCHAR fallback) {
    return s != nullptr && s->DataPipe != nullptr ? s->DataPipe->EndpointAddress : fallback;
}

}  // namespace

bool Run(const Options& o, Report* r, std::string* error) {
    sim::Machine machine;
    if (o.trace) {
        machine.kernel().tracing().SetEcho(true);
        machine.kernel().tracing().Enable("*", TRACE_LEVEL_VERBOSE);
    }
    if (!o.registryIn.empty()) {
        const sim::RegImportResult imported = machine.registry().ImportRegFile(o.registryIn);
        if (!imported) {
            *error = "cannot import " + o.registryIn + " (line " + std::to_string(imported.line) + "): " + imported.error;
            return false;
        }
    }
    std::shared_ptr<VirtualDevice> device = MakeDevice(o, error);
    if (!device) return false;
    r->loopback = o.loopback;
    if (o.loopback) device->CaptureLoopback(o.loopbackLatency);
    else device->CaptureCounter();
    r->speed = device->Speed() == BusSpeed::Full ? "full" : device->Speed() == BusSpeed::High ? "high" : "super";

    // The package as an installation leaves it: the driver's service key
    // (with "\Parameters") and its hardware ids. Until the package has its
    // own WaveRT miniport, the simulator's describing one stands for the
    // system-audio side.
    Services() = {nullptr, CreateDescribingWaveMiniport, nullptr};
    machine.pnp().InstallDriver(u"ovuac2audio", DriverEntry, HardwareIds(*device));
    sim::usb::UsbPort* port = machine.usb().Plug(device);
    sim::PnpNode* node = sim::usb::HostController::Node(port);
    if (node->state() != sim::NodeState::Started) {
        *error = "the device failed to start: " + StatusText(node->startStatus());
        return false;
    }
    DEVICE_OBJECT* fdo = IoGetAttachedDeviceReference(sim::usb::HostController::Pdo(port));
    ObDereferenceObject(fdo);
    auto* adapter = static_cast<AdapterCommon*>(ExtensionOf(fdo)->Adapter);
    UsbAudioDevice& model = adapter->Device();
    DescribeModel(model, r);
    PrintDevice(*r);
    StreamEngine& engine = adapter->Engine();
    if (o.rate && ExtensionOf(fdo)->MidiMode == 0) {
        const NTSTATUS changed = adapter->SetSampleRate(*o.rate, FALSE);
        if (!NT_SUCCESS(changed)) {
            *error = "the rate change to " + std::to_string(*o.rate) + " Hz failed: " + StatusText(changed);
            return false;
        }
        RecordRateInEndpoints(machine, node->InstanceId(), *o.rate);
    }
    r->clockSource = engine.SelectedClockSource();
    r->rate = engine.CurrentRate();
    if (ExtensionOf(fdo)->MidiMode == 0) {
        DescribeFilter(model, r->rate, r);
        PrintFilter(*r);
    }

    if (ExtensionOf(fdo)->MidiMode != 0) {
        std::printf("a USB-MIDI device: served as MIDI ports, nothing to stream\n");
        r->clean = true;
    } else {
        UCHAR inEndpoint = 0x81, outEndpoint = 0x01;
        std::uint64_t errorsWhileStreaming = 0;
        const NTSTATUS started = adapter->Start();
        if (!NT_SUCCESS(started)) {
            r->problem = "streaming did not start: " + StatusText(started);
        } else {
            r->streamed = true;
            r->rate = engine.CurrentRate();
            const auto capture = engine.Direction(true);
            const auto playback = engine.Direction(false);
            const ULONG speed = model.BusSpeed();
            const ULONG perChunk = FramesPerChunk(speed, r->rate);
            r->capture = {capture.channels, capture.bits, capture.transferBytes, capture.chunksPerTransfer * perChunk,
                          capture.chunksPerTransfer};
            const auto rings = engine.Rings();
            r->outStride = rings.layout.stride;
            r->outSlots = rings.layout.slots;
            // An OUT transfer is one stride of the output ring.
            r->playback = {playback.channels, playback.bits, rings.layout.stride,
                           ChunkBytesToFrames(speed, r->rate, rings.layout.stride), playback.chunksPerTransfer};
            PrintSetup(*r);
            const sim::usb::SampleLayout layout{capture.channels, capture.bits / 8, CaptureResolution(model)};
            inEndpoint = DataEndpoint(model.CaptureInterface, inEndpoint);
            outEndpoint = DataEndpoint(model.PlaybackInterface, outEndpoint);

            // Stream for the asked time on the device clock.
            const std::uint64_t total = static_cast<std::uint64_t>(o.seconds * r->rate);
            const std::uint64_t step = r->capture.framesPerTransfer != 0 ? r->capture.framesPerTransfer : 64;
            const std::uint64_t progressEvery = r->rate / 2 != 0 ? r->rate / 2 : 1;
            const std::uint64_t start = device->ClockFrame();
            std::uint64_t nextProgress = progressEvery;
            bool primed = WaitForTransfersInFlight(machine, engine);
            if (!primed) r->problem = "the workers did not put their transfers in flight";
            if (primed && o.timeScale > 0) device->SetRealTime(o.timeScale);
            while (primed) {
                if (o.timeScale > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                } else {
                    if (!WaitForTransfersInFlight(machine, engine)) {
                        r->problem = "the workers did not keep their transfers in flight";
                        break;
                    }
                    device->AdvanceFrames(step);
                }
                const std::uint64_t elapsed = device->ClockFrame() - start;
                if (elapsed >= nextProgress || elapsed >= total) {
                    const auto in = device->Counters(inEndpoint);
                    std::printf("  %6.2f s  captured %llu frames, played %llu, IN in flight %u, OUT in flight %u\n",
                                static_cast<double>(elapsed) / r->rate,
                                static_cast<unsigned long long>(device->Stream().framesCaptured),
                                static_cast<unsigned long long>(device->Stream().framesPlayed), in.inFlight,
                                device->Counters(outEndpoint).inFlight);
                    std::fflush(stdout);
                    nextProgress += progressEvery;
                }
                if (elapsed >= total) break;
            }
            if (o.timeScale > 0) device->SetStepped();
            machine.kernel().RunUntilQuiet();
            // Stopping cancels the transfers in flight, and a running device
            // clock overruns until the alternate settings are left: neither
            // belongs to the run.
            errorsWhileStreaming = static_cast<std::uint64_t>(engine.Counters().captureErrors) +
                                   static_cast<std::uint64_t>(engine.Counters().playbackErrors);
            r->overrunFrames = device->Stream().overrunFrames;
            r->underrunFrames = device->Stream().underrunFrames;
            adapter->Stop();
            if (!o.loopback) CheckCounterPattern(engine.Rings(), layout, r);
        }
        const auto in = device->Counters(inEndpoint);
        const auto out = device->Counters(outEndpoint);
        const auto stream = device->Stream();
        const auto& counters = engine.Counters();
        r->framesCaptured = stream.framesCaptured;
        r->framesPlayed = stream.framesPlayed;
        r->inTransfers = in.succeeded;
        r->outTransfers = out.succeeded;
        r->transferErrors = errorsWhileStreaming;
        r->recoveries = static_cast<std::uint64_t>(counters.recoveries);
        if (r->streamed && r->problem.empty()) {
            if (r->transferErrors != 0) r->problem = "transfers failed";
            else if (r->overrunFrames != 0 || r->underrunFrames != 0)
                r->problem = "the device lost frames: the host did not keep up";
            else if (o.loopback) r->clean = true;
            else if (r->checkedFrames == 0) r->problem = "nothing was captured";
            else if (r->counterGaps != 0) r->problem = "the captured counter pattern has gaps";
            else r->clean = true;
        }
    }
    PrintCounters(*r);
    PrintOutcome(*r);
    if (!o.registryOut.empty() && !machine.registry().ExportRegFile(u"HKEY_LOCAL_MACHINE", o.registryOut)) {
        *error = "cannot write " + o.registryOut;
        return false;
    }
    return true;
}

}  // namespace ovusim

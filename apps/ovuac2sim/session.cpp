#include "apps/ovuac2sim/session.h"

#include "apps/ovuac2sim/describing_miniport.h"
#include "apps/ovuac2sim/device_setup.h"
#include "apps/ovuac2sim/observe.h"
#include "apps/ovuac2sim/status.h"
#include "apps/ovuac2sim/streaming.h"
#include "driver/adapter/adapter.h"
#include "driver/adapter/driver_entry.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_services.h"
#include "platform/kernel/object.h"
#include "platform/trace/trace.h"
#include "sim/audio/endpoints.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/tracing.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/usb/host_controller.h"

#include <cstdio>

namespace ovusim {
namespace {

using sim::usb::BusSpeed;

// The driver's trace lines a report shows when the device did not start.
constexpr std::size_t kTraceTailLines = 20;

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

const char* SpeedName(BusSpeed speed) {
    return speed == BusSpeed::Full ? "full" : speed == BusSpeed::High ? "high" : "super";
}

void AddProblem(Report* r, const std::string& problem) {
    if (problem.empty()) return;
    r->problem += (r->problem.empty() ? "" : "; ") + problem;
}

// A failed subdevice makes the run unclean until the part behind it exists.
void CheckSubdevices(Report* r) {
    for (const SubdeviceReport& s : r->subdevices)
        if (!s.registered)
            AddProblem(r, "a " + s.port + " subdevice failed at " + s.failedAt +
                              (s.status ? ": " + s.status->Text() : std::string()));
}

// The changes the options ask of the driver before streaming, as the
// control panel and the service would ask them. A refusal stops the run.
RunEnd RequestChanges(sim::Machine& machine, sim::PnpNode* node, AdapterCommon& adapter, const Options& o,
                      Report* r) {
    if (o.clockSource) {
        const NTSTATUS status = adapter.SetClockSource(*o.clockSource, FALSE);
        r->clockSelection = ClockSelectionInfo{*o.clockSource, StatusOf(status)};
        r->clock = DescribeClockSources(machine, node);
        if (!NT_SUCCESS(status)) {
            AddProblem(r, "the clock-source selection of " + std::to_string(*o.clockSource) + " failed: " +
                              StatusOf(status).Text());
            return {RunEnd::Kind::Stopped, r->problem};
        }
    }
    if (o.rate) {
        const NTSTATUS status = adapter.SetSampleRate(*o.rate, FALSE);
        if (!NT_SUCCESS(status)) {
            AddProblem(r, "the rate change to " + std::to_string(*o.rate) + " Hz failed: " + StatusOf(status).Text());
            return {RunEnd::Kind::Stopped, r->problem};
        }
        RecordRateInEndpoints(machine, node->InstanceId(), *o.rate);
    }
    return {};
}

// Plugs the device into a machine with the package installed as an
// installation leaves it: the driver's service key (with "\Parameters") and
// its hardware ids. Fills the report's start.
sim::PnpNode* InstallAndPlug(sim::Machine& machine, const std::shared_ptr<sim::usb::VirtualDevice>& device,
                             Report* r) {
    machine.pnp().InstallDriver(u"ovuac2audio", DriverEntry, HardwareIds(*device));
    sim::PnpNode* node = sim::usb::HostController::Node(machine.usb().Plug(device));
    r->start.started = node->state() == sim::NodeState::Started;
    r->start.status = StatusOf(node->startStatus());
    if (!r->start.started) {
        r->start.traceTail = DriverTrace(machine, 0, TRACE_LEVEL_VERBOSE, kTraceTailLines);
        AddProblem(r, "the device did not start: " + r->start.status.Text());
        PrintStart(*r);
    }
    return node;
}

}  // namespace

RunEnd Run(const Options& o, Report* r) {
    sim::Machine machine;
    // The driver's trace is always kept (a failed start reports its tail);
    // --trace also prints it as it comes.
    machine.kernel().tracing().SetEcho(o.trace);
    machine.kernel().tracing().Enable("*", TRACE_LEVEL_VERBOSE);
    if (!o.registryIn.empty()) {
        const sim::RegImportResult imported = machine.registry().ImportRegFile(o.registryIn);
        if (!imported)
            return {RunEnd::Kind::NotRun, "cannot import " + o.registryIn + " (line " + std::to_string(imported.line) +
                                              "): " + imported.error};
    }
    const MadeDevice made = MakeDevice(o);
    if (!made.device) return {RunEnd::Kind::NotRun, made.error};
    sim::usb::VirtualDevice& device = *made.device;
    r->loopback = o.loopback;
    if (o.loopback) device.CaptureLoopback(o.loopbackLatency);
    else device.CaptureCounter();
    r->speed = SpeedName(device.Speed());
    r->speedRule = made.speedRule;
    r->device.placeholderStrings = made.placeholderStrings;
    r->device.placeholderIndices = made.placeholderIndices;

    // Until the package has its own WaveRT miniport, the simulator's
    // describing one stands for the system-audio side, for this run.
    DriverServices services = DriverOwnServices();
    if (services.WaveMiniport == nullptr) services.WaveMiniport = CreateDescribingWaveMiniport;
    const DriverServicesOverride standIns(services);
    sim::PnpNode* node = InstallAndPlug(machine, made.device, r);
    if (!r->start.started) return {RunEnd::Kind::Stopped, "the device failed to start: " + r->start.status.Text()};
    // From here on only warnings and errors are kept, unless printed: a long
    // run keeps no growing record of what it does not report.
    if (!o.trace) machine.kernel().tracing().Enable("*", TRACE_LEVEL_WARNING);
    DEVICE_OBJECT* fdo = IoGetAttachedDeviceReference(node->pdo());
    ObDereferenceObject(fdo);
    auto* adapter = static_cast<AdapterCommon*>(ExtensionOf(fdo)->Adapter);
    UsbAudioDevice& model = adapter->Device();
    r->midi = ExtensionOf(fdo)->MidiMode != 0;
    DescribeDevice(model, &r->device);
    PrintDevice(*r);
    RunEnd end;
    if (!r->midi) {
        r->clock = DescribeClockSources(machine, node);
        end = RequestChanges(machine, node, *adapter, o, r);
        r->clockSource = adapter->Engine().SelectedClockSource();
        r->rate = adapter->Engine().CurrentRate();
    }
    r->subdevices = DescribeSubdevices(machine, fdo);
    PrintSubdevices(*r);
    PrintClock(*r);
    if (end.kind != RunEnd::Kind::Completed) return end;

    if (r->midi) {
        std::printf("a USB-MIDI device: nothing to stream\n");
    } else {
        r->filter = DescribeFilter(model, r->rate);
        PrintFilter(*r);
        Stream(machine, device, *adapter, o, r);
    }
    CheckSubdevices(r);
    r->clean = r->problem.empty();
    PrintCounters(*r);
    PrintOutcome(*r);
    if (!o.registryOut.empty() && !machine.registry().ExportRegFile(u"HKEY_LOCAL_MACHINE", o.registryOut))
        return {RunEnd::Kind::Stopped, "cannot write " + o.registryOut};
    return end;
}

}  // namespace ovusim

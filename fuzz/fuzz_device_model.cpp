// Fuzzes the device model on arbitrary configuration descriptor bytes: the
// request layer reads them from a bus driver, the model parses them, and
// whatever starts is then walked and queried as the rest of the driver
// would: the configuration is selected, formats are applied to both
// directions, the filter description is built and its node properties are
// asked. Class requests are answered with bytes of the same input, which
// also goes to the reader of the endpoint records' stored format. Each
// input runs three times: as an honest device of a generic vendor at high
// speed and at full speed, and as the maker's SuperSpeed device whose
// wTotalLength is made to match the bytes (so that mutations which change
// the size still reach the parser). Every run must give back all its pool.
#include "driver/core/audio_device.h"
#include "driver/core/device_registry.h"
#include "driver/core/filter_description.h"
#include "driver/core/node_property.h"
#include "driver/core/usb_trace.h"
#include "fuzz/fake_bus.h"
#include "platform/ks/ksmedia.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Harness {
    sim::Machine machine;
    fuzz::FakeBus bus;
    Harness() {
        machine.kernel().tracing().Enable("ovuac2audio", TRACE_LEVEL_VERBOSE);
        TraceRegisterProvider(&g_DriverTrace);
    }
};

void Exercise(UsbAudioDevice& model) {
    char name[24];
    for (AudioEntity* e = model.Entities; e != nullptr; e = e->Next) {
        e->FormatName(name, sizeof(name));
        e->FormatName(name, 3);
        for (ULONG i = 0; i < 3; ++i) (void)e->GetSourceId(i);
        if (e->IsTerminal()) {
            auto* terminal = static_cast<TerminalEntity*>(e);
            for (ULONG i = 0; i < 7; ++i) (void)terminal->IsControlReadable(i);
            (void)terminal->IsConnected();
            (void)terminal->GetClockId();
        }
        if (ClockEntity* clock = AsClock(e)) {
            ULONG rate = 0;
            ULONG min = 0;
            ULONG max = 0;
            (void)clock->GetCurrentRate(&rate);
            (void)clock->GetRateRange(&min, &max, 44100, 192000);
            (void)clock->IsRateSupported(48000);
            (void)clock->IsValid();
        }
        if (e->Subtype() == USB_AUDIO20_AC_FEATURE_UNIT && !e->IsClock()) {
            auto* unit = static_cast<FeatureUnit*>(e);
            BOOLEAN mute = FALSE;
            SHORT volume = 0;
            SHORT low = 0;
            SHORT high = 0;
            USHORT step = 0;
            (void)unit->GetMute(&mute);
            for (UCHAR c = 0; c < 3; ++c) {
                (void)unit->GetVolume(c, &volume);
                (void)unit->GetVolumeRange(c, &low, &high, &step);
            }
        }
    }
    AudioEntityIterator terminals = model.Terminals();
    while (terminals.Next() != nullptr) {
    }
    AudioEntityIterator units = model.Units(model.IsUac2 != 0);
    while (units.Next() != nullptr) {
    }
    UCHAR ids[8];
    (void)model.ClockSourceIds(ids, sizeof(ids));
    (void)model.IsClockValid();
    for (bool capture : {false, true})
        for (ULONG bits : {16u, 24u, 32u}) {
            ULONG channels = 0;
            ULONG container = 0;
            (void)model.ChooseFormat(capture, kFormatTagPcm, 2, bits, 48000, &channels, &container);
            (void)model.ChooseFormat(capture, kFormatTagPcm, 32, bits, 44100, &channels, &container);
        }
}

NTSTATUS NoHandler(PCPROPERTY_REQUEST*) { return STATUS_NOT_IMPLEMENTED; }

// Every node, both properties, every verb, a few channels.
void AskNodes(UsbAudioDevice& model, const FilterDescription& description) {
    for (ULONG node = 0; node <= description.Filter.NodeCount; ++node) {
        (void)FilterNodeFeatureUnit(&description, node);
        for (const PCPROPERTY_ITEM* item : {&description.MuteProperty, &description.VolumeProperty})
            for (ULONG verb : {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT})
                for (LONG channel : {-1, 0, 1, 7}) {
                    struct {
                        LONG channel;
                        ULONG reserved;
                    } instance{channel, 0};
                    UCHAR value[64] = {};
                    PCPROPERTY_REQUEST request{};
                    request.Node = node;
                    request.PropertyItem = item;
                    request.Verb = verb | KSPROPERTY_TYPE_TOPOLOGY;
                    request.InstanceSize = sizeof(instance);
                    request.Instance = &instance;
                    request.ValueSize = verb == KSPROPERTY_TYPE_BASICSUPPORT ? sizeof(value) : 4;
                    request.Value = value;
                    (void)NodeProperty(model, &description, &request);
                }
    }
}

// What the engine and the WaveRT miniport do with a configured device.
void Stream(UsbAudioDevice& model) {
    for (bool capture : {false, true}) {
        StreamingInterface* stream = capture ? model.CaptureInterface : model.PlaybackInterface;
        if (stream == nullptr) continue;
        for (ULONG rate : {44100u, 48000u, 96000u, 192000u})
            for (ULONG bits : {16u, 24u}) {
                AppliedFormat applied{};
                (void)model.ApplyFormat(capture, kFormatTagPcm, 2, bits, rate, 6, &applied);
            }
        // Back to setting 0, as a stop does.
        if (stream->CurrentAlt != 0 && NT_SUCCESS(model.SelectAltSetting(stream->InterfaceNumber, 0)))
            stream->CurrentAlt = 0;
        (void)model.LinkPipes();
    }
    (void)model.ReapplyRate(48000, TRUE);
    (void)model.SelectClockSource(0x25, TRUE);

    auto description = std::make_unique<FilterDescription>();
    for (ULONG rate : {48000u, 44100u}) {
        if (!NT_SUCCESS(BuildFilterDescription(model, rate, NoHandler, nullptr, description.get()))) continue;
        for (ULONG pin = 0; pin <= description->Filter.PinCount; ++pin) (void)IsStreamingPin(*description, pin);
        for (bool capture : {false, true}) (void)FindPinRange(*description, capture, 2, 16, 32, 44100, 192000);
        TraceFilterDescription(*description);
        AskNodes(model, *description);
    }
    FreeFilterDescription(description.get());
}

void Run(Harness& harness, const fuzz::FakeDevice& device) {
    const ULONG tag = PoolTag("USBA");
    const std::size_t before = harness.machine.kernel().pool().Stats(tag).liveBlocks;
    const std::size_t rangesBefore = harness.machine.kernel().pool().Stats(kFilterRangePoolTag).liveBlocks;
    {
        auto model = std::make_unique<UsbAudioDevice>();
        ULONG midi = 0;
        if (NT_SUCCESS(model->Start(harness.bus.Pdo(&device), 11, &midi))) {
            Exercise(*model);
            if (NT_SUCCESS(model->SelectConfiguration())) Stream(*model);
        }
        model->Destroy();
    }
    if (harness.machine.kernel().pool().Stats(tag).liveBlocks != before ||
        harness.machine.kernel().pool().Stats(kFilterRangePoolTag).liveBlocks != rangesBefore) {
        std::fprintf(stderr, "pool not returned:\n%s", harness.machine.kernel().pool().LeakReport().c_str());
        std::abort();
    }
    harness.machine.kernel().tracing().Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness* harness = new Harness();  // lives for the whole run
    if (size > 0xFFFF) return 0;

    // The endpoint records' stored format, read from an exact-size copy.
    {
        const std::vector<UCHAR> value(data, data + size);
        ULONG channels = 0, bits = 0, rate = 0;
        (void)ParseEndpointFormat(value.data(), static_cast<ULONG>(value.size()), &channels, &bits, &rate);
    }

    fuzz::FakeDevice honest;
    honest.configuration.assign(data, data + size);  // exact size
    honest.answers.assign(data, data + size);
    Run(*harness, honest);

    fuzz::FakeDevice fullSpeed = honest;
    fullSpeed.highSpeed = false;
    Run(*harness, fullSpeed);

    fuzz::FakeDevice maker = honest;
    maker.vendorId = kMakerVendorId;
    maker.superSpeed = true;
    if (size >= 4) {
        maker.configuration[2] = static_cast<std::uint8_t>(size);
        maker.configuration[3] = static_cast<std::uint8_t>(size >> 8);
    }
    Run(*harness, maker);
    return 0;
}

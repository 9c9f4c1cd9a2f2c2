// Fuzzes the device model's start on arbitrary configuration descriptor
// bytes: the request layer reads them from a bus driver, the model parses
// them, and whatever starts is then walked and queried as the rest of the
// driver would. Each input runs twice: as an honest device of a generic
// vendor at high speed, and as the maker's SuperSpeed device whose
// wTotalLength is made to match the bytes (so that mutations which change
// the size still reach the parser). Every run must give back all its pool.
#include "driver/core/audio_device.h"
#include "driver/core/usb_trace.h"
#include "fuzz/fake_bus.h"
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

void Run(Harness& harness, const fuzz::FakeDevice& device) {
    const ULONG tag = PoolTag("USBA");
    const std::size_t before = harness.machine.kernel().pool().Stats(tag).liveBlocks;
    {
        auto model = std::make_unique<UsbAudioDevice>();
        ULONG midi = 0;
        if (NT_SUCCESS(model->Start(harness.bus.Pdo(&device), 11, &midi))) Exercise(*model);
        model->Destroy();
    }
    if (harness.machine.kernel().pool().Stats(tag).liveBlocks != before) {
        std::fprintf(stderr, "pool not returned:\n%s", harness.machine.kernel().pool().LeakReport().c_str());
        std::abort();
    }
    harness.machine.kernel().tracing().Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness* harness = new Harness();  // lives for the whole run
    if (size > 0xFFFF) return 0;

    fuzz::FakeDevice honest;
    honest.configuration.assign(data, data + size);  // exact size
    honest.answers.assign(data, data + size);
    Run(*harness, honest);

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

#include "driver/stream/rate_control.h"

#include "driver/core/adapter_interfaces.h"
#include "driver/core/audio_device.h"
#include "driver/core/audio_formats_table.h"
#include "driver/core/device_registry.h"
#include "driver/core/kernel_locks.h"
#include "driver/core/usb_trace.h"
#include "driver/stream/engine.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/dispatcher.h"

#define RATE_TRACE(level, ...) OVU_TRACE(g_DriverTrace, (level), TRACE_FLAG_RATE, __VA_ARGS__)

namespace {

// More clock ids than a selector can have pins.
constexpr ULONG kMaxClockIds = 255;

LONG TerminalClockId(const StreamingInterface* stream) {
    if (stream->Terminal == nullptr || !stream->Terminal->IsTerminal()) return -1;
    return static_cast<const TerminalEntity*>(stream->Terminal)->GetClockId();
}

bool HighOrSuperSpeed(const UsbAudioDevice& device) { return device.BusSpeed() != kBusSpeedFull; }

AudioRangeTable LimitsTable(const UsbAudioDevice& device) {
    return AudioLimitsTable(device.BusSpeed(), device.PlaybackInterface == nullptr);
}

// Algorithm 1.1: the selector's inputs become the published list; the
// stored choice (or the first input) is selected.
void RestoreClockSource(IRateHost& adapter) {
    UCHAR ids[kMaxClockIds];
    const ULONG count = adapter.Device().ClockSourceIds(ids, sizeof(ids));
    if (count == 0) return;  // no selector: nothing to choose
    DEVICE_OBJECT* pdo = adapter.PhysicalDevice();
    NTSTATUS status = DeviceRegistry::WriteClockSourceList(pdo, ids, count < kMaxClockIds ? count : kMaxClockIds);
    if (!NT_SUCCESS(status)) {
        RATE_TRACE(TRACE_LEVEL_WARNING, "clock-source list not published: 0x%08x", static_cast<unsigned>(status));
        return;
    }
    ULONG clockId = 0;
    status = DeviceRegistry::ReadClockSource(pdo, &clockId);
    if (!NT_SUCCESS(status)) clockId = ids[0];
    status = adapter.Engine().SetClockSource(clockId, FALSE);
    if (!NT_SUCCESS(status))
        RATE_TRACE(TRACE_LEVEL_WARNING, "clock source %u not selected: 0x%08x", clockId, static_cast<unsigned>(status));
}

// Algorithm 1.3.
NTSTATUS ChooseInitialRate(IRateHost& adapter) {
    const UsbAudioDevice& device = adapter.Device();
    ULONG lowest = 0, highest = 0;
    if (!NT_SUCCESS(RateLimits(device, &lowest, &highest))) lowest = 0;
    ULONG rate = 0;
    if (HighOrSuperSpeed(device)) {
        ULONG initialized = 0;
        if (NT_SUCCESS(DeviceRegistry::ReadDeviceValue(adapter.PhysicalDevice(), kInitializedValue, &initialized))) {
            DeviceRegistry& records = adapter.Registry();
            if (DirectionsShareOneClock(device)) {
                const bool capture = records.EndpointName(false).Length == 0;
                NTSTATUS status = records.ReadEndpointRate(capture, &rate);
                // The record is the system's; a rate the bus speed cannot
                // carry would only fail every stream start later.
                if (NT_SUCCESS(status) && !RateSupported(device, rate)) status = STATUS_NOT_SUPPORTED;
                if (!NT_SUCCESS(status)) {
                    RATE_TRACE(TRACE_LEVEL_INFORMATION, "no stored rate (0x%08x)", static_cast<unsigned>(status));
                    rate = 0;
                }
            }
        } else {
            const NTSTATUS status = DeviceRegistry::WriteInitialized(adapter.PhysicalDevice(), 0);
            if (!NT_SUCCESS(status)) {
                RATE_TRACE(TRACE_LEVEL_ERROR, "\"initialized\" not written: 0x%08x", static_cast<unsigned>(status));
                return status;
            }
        }
    }
    if (rate == 0) rate = lowest;
    adapter.Engine().SetCurrentRate(rate);
    RATE_TRACE(TRACE_LEVEL_INFORMATION, "initial sample rate %u Hz", rate);
    return STATUS_SUCCESS;
}

}  // namespace

bool DirectionsShareOneClock(const UsbAudioDevice& device) {
    if (device.PlaybackInterface == nullptr || device.CaptureInterface == nullptr) return false;
    return !device.IsUac2 || TerminalClockId(device.PlaybackInterface) == TerminalClockId(device.CaptureInterface);
}

NTSTATUS RateLimits(const UsbAudioDevice& device, ULONG* lowest, ULONG* highest) {
    if (lowest == nullptr || highest == nullptr) return STATUS_INVALID_PARAMETER;
    if (device.PlaybackInterface == nullptr && device.CaptureInterface == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    const AudioRangeTable table = LimitsTable(device);
    if (table.Count == 0) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG low = 0xFFFFFFFF, high = 0;
    for (ULONG i = 0; i < table.Count; ++i) {
        if (table.Entries[i].MinimumSampleFrequency < low) low = table.Entries[i].MinimumSampleFrequency;
        if (table.Entries[i].MaximumSampleFrequency > high) high = table.Entries[i].MaximumSampleFrequency;
    }
    *lowest = low;
    *highest = high;
    return STATUS_SUCCESS;
}

bool RateSupported(const UsbAudioDevice& device, ULONG rate) {
    return FindAudioRangeForRate(LimitsTable(device), rate) != nullptr;
}

NTSTATUS RateStartUp(IRateHost& adapter) {
    RestoreClockSource(adapter);

    // Algorithm 1.2: absent records (no match) are no error.
    const NTSTATUS status = adapter.Registry().FindEndpoints();
    if (!NT_SUCCESS(status)) {
        RATE_TRACE(TRACE_LEVEL_ERROR, "endpoint records unreadable (0x%08x): re-enumerating",
                   static_cast<unsigned>(status));
        adapter.Device().CyclePort();
        return status;
    }
    return ChooseInitialRate(adapter);
}

NTSTATUS SetSampleRate(IRateHost& adapter, ULONG rate, BOOLEAN force) {
    StreamEngine& engine = adapter.Engine();
    MutexHold hold(engine.AdapterMutex());
    // 1.
    if (rate == engine.CurrentRate()) return STATUS_SUCCESS;
    // 2. Worker threads only come and go under the mutex held here.
    engine.RecomputeRunning();
    const bool streaming = engine.DirectionRunning(true) || engine.DirectionRunning(false);
    if (streaming && !(force && !engine.AnyHandleRunning())) return STATUS_UNSUCCESSFUL;
    // 3. and 4.
    const UsbAudioDevice& device = adapter.Device();
    if (!DirectionsShareOneClock(device) || !RateSupported(device, rate)) return STATUS_INVALID_DEVICE_REQUEST;
    // 5.
    DeviceRegistry& records = adapter.Registry();
    NTSTATUS status = records.FindEndpoints();
    if (!NT_SUCCESS(status)) return status;
    // 6. and 7.: the system audio engine must see a new filter whose formats
    // follow the new rate.
    PUNKNOWN miniport = adapter.TakeWaveMiniport();
    if (miniport == nullptr) return STATUS_DEVICE_NOT_READY;
    ISystemAudioSubdevice* subdevice = nullptr;
    status = miniport->QueryInterface(IID_ISystemAudioSubdevice, reinterpret_cast<PVOID*>(&subdevice));
    if (NT_SUCCESS(status)) {
        status = subdevice->UnregisterSubdevice(adapter.FunctionalDevice());
        subdevice->Release();
    }
    if (!NT_SUCCESS(status))
        RATE_TRACE(TRACE_LEVEL_ERROR, "Wave subdevice not withdrawn: 0x%08x", static_cast<unsigned>(status));
    engine.SetCurrentRate(rate);
    const NTSTATUS cleared = records.ClearEndpointCache();
    status = adapter.RegisterAudioSubdevice();
    if (!NT_SUCCESS(status))
        RATE_TRACE(TRACE_LEVEL_ERROR, "Wave subdevice not registered again: 0x%08x", static_cast<unsigned>(status));
    engine.UnblockAsioHandles();
    RATE_TRACE(TRACE_LEVEL_INFORMATION, "sample rate now %u Hz", rate);
    // 8. A device left without its filter is no success.
    return NT_SUCCESS(status) ? cleared : status;
}

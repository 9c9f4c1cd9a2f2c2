// AdapterCommon: the driver's one object per started device. It embeds the
// device model and the streaming engine and offers IAdapterCommon,
// IAdapterPowerManagement and IAsioStreamControl over one reference count;
// the engine and the rate control see it through IEngineHost and IRateHost.
// Non-paged pool, tag "PcCr", zero-filled before construction.
#pragma once

#include "driver/core/adapter_interfaces.h"
#include "driver/core/audio_device.h"
#include "driver/core/device_registry.h"
#include "driver/stream/engine.h"
#include "driver/stream/rate_control.h"
#include "platform/portcls/portcls.h"

inline constexpr ULONG kAdapterPoolTag = PoolTag("PcCr");
// The IRP pool the device model's request layer keeps.
inline constexpr ULONG kAdapterIrpPoolSize = 11;

class AdapterCommon final : public IAdapterCommon,
                            public IAdapterPowerManagement,
                            public IAsioStreamControl,
                            public IDefaultFormatSource,
                            public IRateHost {
public:
    // Allocates and constructs an adapter with one reference (its primary
    // interface). STATUS_INSUFFICIENT_RESOURCES when the pool is exhausted.
    static NTSTATUS Create(AdapterCommon** adapter);

    // IUnknown (one count for every interface).
    NTSTATUS QueryInterface(REFIID interfaceId, PVOID* object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IAdapterCommon
    NTSTATUS Init(DEVICE_OBJECT* physicalDeviceObject, DEVICE_OBJECT* functionalDeviceObject) override;
    UsbAudioDevice* GetUsbDevice() override { return &device_; }
    void RegisterMidiMiniport(IPowerNotify* miniport) override { midiMiniport_ = miniport; }
    void RegisterWaveMiniport(PUNKNOWN miniport) override;
    void UnregisterWaveMiniport(PUNKNOWN miniport) override;
    void SurpriseRemoval() override;
    NTSTATUS GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits, ULONG* rate) override;
    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS SetSampleRate(ULONG rate, BOOLEAN force) override;
    NTSTATUS GetRateLimits(ULONG* lowest, ULONG* highest) override;
    ULONG DumpCaptureMode() override { return dumpCapture_; }

    // IDefaultFormatSource (the engine's ASIO start and format changes).
    NTSTATUS GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits) override;

    // IAdapterPowerManagement
    void PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE newStateQuery) override;
    NTSTATUS QueryDeviceCapabilities(DEVICE_CAPABILITIES* capabilities) override;

    // IAsioStreamControl: the engine's.
    NTSTATUS AttachHandle(AsioFileContext* handle) override { return engine_.AttachHandle(handle); }
    void DetachHandle(AsioFileContext* handle) override { engine_.DetachHandle(handle); }
    void Write(IRP* irp) override { engine_.Write(irp); }
    void CancelRequests(FILE_OBJECT* fileObject, ULONG scope) override { engine_.CancelRequests(fileObject, scope); }
    NTSTATUS Start() override { return engine_.AsioStart(); }
    NTSTATUS Stop() override { return engine_.AsioStop(); }
    NTSTATUS SetBufferSize(ULONG frames) override { return engine_.SetBufferSize(frames); }
    NTSTATUS SetClockSource(ULONG clockId, BOOLEAN force) override { return engine_.SetClockSource(clockId, force); }
    NTSTATUS GetUsbSpeed(ULONG* speed) override { return engine_.GetUsbSpeed(speed); }
    NTSTATUS ReadAndClearCounter(ULONG* value) override { return engine_.ReadAndClearCounter(value); }
    NTSTATUS GetOutputMargin(ULONG* frames) override { return engine_.GetOutputMargin(frames); }
    NTSTATUS SetOutputMargin(ULONG frames) override { return engine_.SetOutputMargin(frames); }
    void RecomputeRunning() override { engine_.RecomputeRunning(); }

    // IEngineHost
    UsbAudioDevice& Device() override { return device_; }
    DEVICE_OBJECT* PhysicalDevice() const override { return pdo_; }
    DEVICE_OBJECT* FunctionalDevice() const override { return fdo_; }
    const MarginTables& Margins() const override;
    bool PowerBlocked() const override { return PowerState() != PowerDeviceD0 || PowerDownPending(); }
    bool SurpriseRemoved() const override { return ReadAcquire(&surpriseRemoved_) != 0; }
    // Taken (and cleared) by the engine's next start: select the stored
    // clock source again, forced.
    bool TakeClockReapply() override;

    // IRateHost
    StreamEngine& Engine() override { return engine_; }
    // The device's values, properties and endpoint records.
    DeviceRegistry& Registry() override { return registry_; }
    PUNKNOWN TakeWaveMiniport() override;
    NTSTATUS RegisterAudioSubdevice() override;

    // For the other parts of the driver and for tests.
    PUNKNOWN WaveMiniport() const { return static_cast<PUNKNOWN>(waveMiniport_); }
    DEVICE_POWER_STATE PowerState() const { return powerState_; }
    bool PowerDownPending() const { return ReadAcquire(&powerDownPending_) != 0; }
    ULONG MidiMode() const;

private:
    AdapterCommon();
    ~AdapterCommon();

    volatile LONG references_ = 0;
    UsbAudioDevice device_;
    StreamEngine engine_;
    DEVICE_OBJECT* pdo_ = nullptr;
    DEVICE_OBJECT* fdo_ = nullptr;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
    volatile LONG powerDownPending_ = 0;
    volatile LONG surpriseRemoved_ = 0;
    volatile LONG clockReapply_ = 0;
    IPowerNotify* midiMiniport_ = nullptr;
    PVOID volatile waveMiniport_ = nullptr;  // the PUNKNOWN registered
    DeviceRegistry registry_;
    ULONG dumpCapture_ = 0;
};

// The interfaces of the adapter object that the miniports, the streams and
// the "\asio" handles use, with their fixed interface ids.
#pragma once

#include "platform/base/types.h"
#include "platform/io/irp.h"
#include "platform/portcls/portcls.h"

class UsbAudioDevice;
struct AsioFileContext;

// {9B3C1F60-2E4A-4D8B-A7C1-5E0F3D2A6B71}
inline constexpr GUID IID_IAdapterCommon = {0x9b3c1f60, 0x2e4a, 0x4d8b, {0xa7, 0xc1, 0x5e, 0x0f, 0x3d, 0x2a, 0x6b, 0x71}};
// {4F7D2A93-8C15-4E6B-9D20-71B3C8E5F402}
inline constexpr GUID IID_IAsioStreamControl = {
    0x4f7d2a93, 0x8c15, 0x4e6b, {0x9d, 0x20, 0x71, 0xb3, 0xc8, 0xe5, 0xf4, 0x02}};
// The wave miniport asks the adapter for this one; nothing implements it,
// and the adapter refuses it like any other unknown interface.
// {C2E86B14-5A3F-4C97-B81D-09F6A4E3D725}
inline constexpr GUID IID_IAdapterWaveExtension = {
    0xc2e86b14, 0x5a3f, 0x4c97, {0xb8, 0x1d, 0x09, 0xf6, 0xa4, 0xe3, 0xd7, 0x25}};

// The adapter's main interface: device-wide operations.
struct IAdapterCommon : IUnknown {
    // The device bring-up at start-device (PASSIVE_LEVEL).
    virtual NTSTATUS Init(DEVICE_OBJECT* physicalDeviceObject, DEVICE_OBJECT* functionalDeviceObject) = 0;
    // The device model and USB request layer.
    virtual UsbAudioDevice* GetUsbDevice() = 0;
    // The MIDI miniport registers so that power changes reach it; null
    // unregisters. Not counted: the miniport unregisters before it goes.
    virtual void RegisterMidiMiniport(IPowerNotify* miniport) = 0;
    // The system-audio miniport registers itself at its Init; null
    // unregisters. Not counted: a miniport that goes while it is still the
    // registered one calls UnregisterWaveMiniport with itself (which leaves
    // a newer registration alone). A rate change asks the registered object
    // for ISystemAudioSubdevice.
    virtual void RegisterWaveMiniport(PUNKNOWN miniport) = 0;
    virtual void UnregisterWaveMiniport(PUNKNOWN miniport) = 0;
    // IRP_MN_SURPRISE_REMOVAL reached the device.
    virtual void SurpriseRemoval() = 0;

    // The direction's default format: the channels and bits of its
    // system-audio endpoint's stored format, with the current sample rate.
    // Looks for the endpoint records first when they were not found yet
    // (that failure is returned); STATUS_INVALID_PARAMETER for a missing
    // output. PASSIVE_LEVEL.
    virtual NTSTATUS GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits, ULONG* rate) = 0;
    // The current sample rate; STATUS_INVALID_PARAMETER for a missing output.
    virtual NTSTATUS GetSampleRate(ULONG* rate) = 0;
    // Changes the device's sample rate (driver/stream/rate_control.h).
    virtual NTSTATUS SetSampleRate(ULONG rate, BOOLEAN force) = 0;
    // The lowest and highest rate the bus speed allows.
    virtual NTSTATUS GetRateLimits(ULONG* lowest, ULONG* highest) = 0;
    // The hardware key's "gDumpCapture" as read at Init (kDumpCaptureHex:
    // completed capture transfers are traced as hex bytes).
    virtual ULONG DumpCaptureMode() = 0;

protected:
    ~IAdapterCommon() = default;
};

// {7D4A2E91-36C8-4B5F-9E07-A1C3F5D86B24}
inline constexpr GUID IID_ISystemAudioSubdevice = {
    0x7d4a2e91, 0x36c8, 0x4b5f, {0x9e, 0x07, 0xa1, 0xc3, 0xf5, 0xd8, 0x6b, 0x24}};

// What the adapter asks of its registered system-audio miniport object
// (through QueryInterface on it) when the rate changes.
struct ISystemAudioSubdevice : IUnknown {
    // Unregisters the miniport's "Wave" subdevice from `deviceObject`
    // through its port's IUnregisterSubdevice. PASSIVE_LEVEL, adapter mutex
    // held.
    virtual NTSTATUS UnregisterSubdevice(DEVICE_OBJECT* deviceObject) = 0;

protected:
    ~ISystemAudioSubdevice() = default;
};

// Scopes of IAsioStreamControl::CancelRequests.
inline constexpr ULONG kCancelThisHandle = 1;
inline constexpr ULONG kCancelAllHandles = 3;

// The operations behind the "\asio" handles, in their fixed slot order.
struct IAsioStreamControl : IUnknown {
    virtual NTSTATUS AttachHandle(AsioFileContext* handle) = 0;
    virtual void DetachHandle(AsioFileContext* handle) = 0;
    virtual void Write(IRP* irp) = 0;
    // Completes with STATUS_CANCELLED every read queued on `fileObject`'s
    // handle, or on every handle when `fileObject` is null.
    virtual void CancelRequests(FILE_OBJECT* fileObject, ULONG scope) = 0;
    virtual NTSTATUS Start() = 0;
    virtual NTSTATUS Stop() = 0;
    virtual NTSTATUS SetBufferSize(ULONG frames) = 0;
    virtual NTSTATUS SetClockSource(ULONG clockId, BOOLEAN force) = 0;
    virtual NTSTATUS GetUsbSpeed(ULONG* speed) = 0;
    virtual NTSTATUS ReadAndClearCounter(ULONG* value) = 0;
    virtual NTSTATUS GetOutputMargin(ULONG* frames) = 0;
    virtual NTSTATUS SetOutputMargin(ULONG frames) = 0;
    virtual void RecomputeRunning() = 0;

protected:
    ~IAsioStreamControl() = default;
};

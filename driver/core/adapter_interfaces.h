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
    // The system-audio miniport registers itself; null unregisters.
    virtual void RegisterWaveMiniport(PUNKNOWN miniport) = 0;
    // IRP_MN_SURPRISE_REMOVAL reached the device.
    virtual void SurpriseRemoval() = 0;

protected:
    ~IAdapterCommon() = default;
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

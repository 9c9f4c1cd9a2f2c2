// What the streaming engine calls outside itself: the object it lives in
// (IEngineHost, the adapter), and, optional, the system-audio side of the
// capture DPC and the default endpoint format; with neither of those
// attached the engine streams for ASIO alone.
#pragma once

#include "driver/core/margin.h"
#include "platform/base/types.h"
#include "platform/io/device.h"

class UsbAudioDevice;

// The engine's view of the adapter it lives in: the device model and the
// device objects, the driver's margin tables, and the power and removal
// state its submissions consult. Every call is cheap and may come at up to
// DISPATCH_LEVEL (the device model's synchronous requests need
// PASSIVE_LEVEL themselves).
struct IEngineHost {
    // The device model and its USB request layer.
    virtual UsbAudioDevice& Device() = 0;
    // The bottom of the stack (device properties) and the adapter's own
    // device object (whether requests come with system buffers).
    virtual DEVICE_OBJECT* PhysicalDevice() const = 0;
    virtual DEVICE_OBJECT* FunctionalDevice() const = 0;
    // The margin tables the driver entry read.
    virtual const MarginTables& Margins() const = 0;
    // The device is out of the working power state, or about to leave it:
    // submissions are refused.
    virtual bool PowerBlocked() const = 0;
    // IRP_MN_SURPRISE_REMOVAL has reached the device: terminal.
    virtual bool SurpriseRemoved() const = 0;
    // The clock-source re-apply flag (set when the device came back to D0),
    // returned and cleared by a start.
    virtual bool TakeClockReapply() = 0;

protected:
    ~IEngineHost() = default;
};

// The system-audio WaveRT side. Attached by the wave miniport while it lives;
// every call but PlaybackRestarted runs in the capture DPC (DISPATCH_LEVEL).
struct ISystemAudioPath {
    // captureActive: copy one IN transfer (`bytes` of whole chunks at
    // `transfer`) into the capture stream's queued packets. Returns the
    // stream bytes delivered.
    virtual ULONG CopyCapture(const UCHAR* transfer, ULONG bytes) = 0;
    // renderActive, under the output lock: mix `frames` frames of the render
    // stream into `ring` from byte `target` (a playback group start; the ring
    // is in chunk layout). Returns the stream bytes consumed.
    virtual ULONG MixRender(UCHAR* ring, ULONG ringSize, ULONG target, ULONG frames) = 0;
    // After delivery or consumption, outside the output lock; never for 0.
    virtual void StreamAdvanced(bool capture, ULONG bytes) = 0;
    // The playback worker recovered from a transfer error (PASSIVE_LEVEL).
    virtual void PlaybackRestarted() = 0;

protected:
    ~ISystemAudioPath() = default;
};

// The default format of a direction: the channel count and sample width of
// the system-audio endpoint's stored device format. PASSIVE_LEVEL.
struct IDefaultFormatSource {
    virtual NTSTATUS GetDefaultFormat(bool capture, ULONG* channels, ULONG* bits) = 0;

protected:
    ~IDefaultFormatSource() = default;
};

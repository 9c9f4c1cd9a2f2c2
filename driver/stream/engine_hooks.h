// What the streaming engine calls outside itself: the system-audio side of
// the capture DPC and the default endpoint format. Both are optional; with
// nothing attached the engine streams for ASIO alone.
#pragma once

#include "platform/base/types.h"

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

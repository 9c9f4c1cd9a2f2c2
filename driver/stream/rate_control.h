// The device's one sample rate: the choice at start-up, the change on
// request, and the limits the bus speed sets. The clock-source change
// itself is the engine's (StreamEngine::SetClockSource); start-up uses it.
//
// PASSIVE_LEVEL throughout. The change takes the adapter mutex, the same
// one that start, stop and format changes take, so it never overlaps them.
#pragma once

#include "driver/stream/engine_hooks.h"
#include "platform/base/types.h"
#include "platform/portcls/portcls.h"
#include "platform/trace/trace.h"

class DeviceRegistry;
class StreamEngine;
class UsbAudioDevice;

// What the rate start-up and the rate change ask of the adapter beyond the
// engine's own view of it: the engine, the device's registry records, and
// the system-audio subdevice. PASSIVE_LEVEL.
struct IRateHost : IEngineHost {
    virtual StreamEngine& Engine() = 0;
    virtual DeviceRegistry& Registry() = 0;
    // Drops the registered system-audio miniport and returns it (null when
    // none is registered); the adapter holds none until the new subdevice's
    // registers.
    virtual PUNKNOWN TakeWaveMiniport() = 0;
    // Registers the audio subdevice anew, after a rate change.
    virtual NTSTATUS RegisterAudioSubdevice() = 0;

protected:
    ~IRateHost() = default;
};

inline constexpr ULONG TRACE_FLAG_RATE = 0x00000010;

// Start-up of an audio device, from the adapter's Init once the
// configuration is selected: publishes the clock-source list and selects
// the stored clock source (failures traced, start-up goes on), locates the
// endpoint records, and chooses the initial rate: on a device started
// before, the rate stored in its render (else capture) endpoint record; on
// the first start at high speed or SuperSpeed, the lowest rate of the
// speed, with "initialized" written as 0. A failed endpoint walk other than
// absence re-enumerates the device and is returned, as is a failed write of
// "initialized".
NTSTATUS RateStartUp(IRateHost& adapter);

// Changes the rate (takes the adapter mutex). The current rate again:
// success at once. Refused with STATUS_UNSUCCESSFUL while a direction
// streams, unless `force` is set and no "\asio" handle runs;
// STATUS_INVALID_DEVICE_REQUEST when the device lacks a direction, its
// directions run on different clocks, or the rate is not one of the bus
// speed's; STATUS_DEVICE_NOT_READY without a registered system-audio
// miniport. Otherwise the "Wave" subdevice is withdrawn, the rate stored,
// the endpoints' cached values deleted, the subdevice registered anew and
// the "\asio" handles unblocked; the result is that of the cache deletion,
// or the new registration's failure.
NTSTATUS SetSampleRate(IRateHost& adapter, ULONG rate, BOOLEAN force);

// The lowest minimum and highest maximum rate of the bus speed's limits
// table for the playback direction (capture when the device has no
// playback interface); STATUS_INVALID_DEVICE_REQUEST with neither.
NTSTATUS RateLimits(const UsbAudioDevice& device, ULONG* lowest, ULONG* highest);

// Whether the device has both streaming directions and, for a 2.0 device,
// the same clock behind both terminals.
bool DirectionsShareOneClock(const UsbAudioDevice& device);

// Whether `rate` lies in a range of the bus speed's limits table.
bool RateSupported(const UsbAudioDevice& device, ULONG rate);

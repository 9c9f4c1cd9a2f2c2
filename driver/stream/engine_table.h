// The streaming engine's fixed numbers and the layouts derived from them:
// bulk chunk sizes by bus speed, frames per chunk, chunks per transfer by
// speed and rate class, and the OUT-transfer layout over the output ring.
// Pure functions, usable at any IRQL and at compile time.
#pragma once

#include "common/bus_speed.h"
#include "platform/base/types.h"

// Both rings: the input ring (ASIO reads) and the output ring (OUT transfers).
inline constexpr ULONG kRingSize = 0x180000;

inline constexpr ULONG kPlaybackTransfersInFlight = 3;
inline constexpr ULONG kCaptureTransfersInFlight = 8;

// Capture buffers live inside the adapter; each IN transfer lands in one.
inline constexpr ULONG kCaptureBufferCount = 40;
inline constexpr ULONG kCaptureBufferBytes = 16384;

// System-audio render data is mixed this many playback groups ahead of the
// capture position.
inline constexpr ULONG kRenderLookAheadGroups = 64;

// The capture start waits for a valid clock: one poll per millisecond, at
// most this many.
inline constexpr ULONG kClockValidPolls = 100;

// The silence filler stays channels x this many bytes behind the play cursor.
inline constexpr ULONG kSilenceLagPerChannel = 4096;

// The largest OUT transfer the layout picks.
inline constexpr ULONG kMaxOutputStride = 0x40000;

// The bulk packet unit.
constexpr ULONG ChunkSize(ULONG speed) {
    return speed == kBusSpeedSuper ? 1024 : speed == kBusSpeedHigh ? 512 : 64;
}

// Audio frames at the start of each chunk; the rest of the chunk is padding.
constexpr ULONG FramesPerChunk(ULONG speed, ULONG rate) {
    if (speed == kBusSpeedHigh) return rate < 100000 ? 4 : 8;
    return 8;
}

// d: chunks per bulk transfer, in both directions.
constexpr ULONG ChunksPerTransfer(ULONG speed, ULONG rate) {
    if (speed == kBusSpeedSuper) return rate < 50000 ? 3 : 4;
    if (speed == kBusSpeedHigh) return rate < 50000 ? 6 : 8;
    return 2;
}

// A byte count made of whole chunks, in frames.
constexpr ULONG ChunkBytesToFrames(ULONG speed, ULONG rate, ULONG bytes) {
    return static_cast<ULONG>(static_cast<ULONG64>(bytes) * FramesPerChunk(speed, rate) / ChunkSize(speed));
}

// How OUT transfers tile the output ring.
struct OutputLayout {
    ULONG groupBytes;  // one capture step's worth of playback: d chunks
    ULONG groupCount;  // groups in the ring
    ULONG stride;      // bytes per OUT transfer
    ULONG slots;       // OUT transfers per lap of the ring
};

// False when the ring does not divide into whole groups, or a part is 0.
constexpr bool ComputeOutputLayout(ULONG groupBytes, OutputLayout* layout) {
    if (groupBytes == 0 || kRingSize % groupBytes != 0) return false;
    const ULONG groupCount = kRingSize / groupBytes;
    const ULONG limit = (kRingSize < kMaxOutputStride ? kRingSize : kMaxOutputStride) / groupBytes;
    ULONG l = limit;
    while (l > 1 && groupCount % l != 0) --l;
    const ULONG stride = groupBytes * l;
    if (stride == 0 || groupCount == 0) return false;
    *layout = {groupBytes, groupCount, stride, kRingSize / stride};
    return true;
}

constexpr OutputLayout OutputLayoutFor(ULONG speed, ULONG rate) {
    OutputLayout layout{};
    ComputeOutputLayout(ChunksPerTransfer(speed, rate) * ChunkSize(speed), &layout);
    return layout;
}

static_assert(OutputLayoutFor(kBusSpeedHigh, 48000).stride == 196608);
static_assert(OutputLayoutFor(kBusSpeedHigh, 96000).slots == 6);
static_assert(OutputLayoutFor(0, 44100).groupCount == 12288);

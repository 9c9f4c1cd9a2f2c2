// The streaming set-up: bus speed (and the rule that decided it), clock
// source, rate and, once streaming ran, the transfer layout of each
// direction.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintSetup(const Report& r) {
    std::printf("clock source %u, %u Hz\n", r.clockSource, r.rate);
    std::printf("capture:  %u ch x %u bits, IN transfers of %u bytes (%u chunks, %u frames)\n", r.capture.channels,
                r.capture.containerBits, r.capture.transferBytes, r.capture.chunksPerTransfer,
                r.capture.framesPerTransfer);
    std::printf("playback: %u ch x %u bits, OUT transfers of %u bytes (%u frames), %u slots in the ring\n",
                r.playback.channels, r.playback.containerBits, r.playback.transferBytes, r.playback.framesPerTransfer,
                r.outSlots);
}

namespace {

Json Direction(const DirectionLayout& d) {
    return {{"channels", d.channels},
            {"containerBits", d.containerBits},
            {"transferBytes", d.transferBytes},
            {"framesPerTransfer", d.framesPerTransfer}};
}

}  // namespace

void AddSetupSection(const Report& r, Json& document) {
    document["busSpeed"] = r.speed;
    document["busSpeedRule"] = r.speedRule;
    if (!r.start.started || r.midi) return;
    document["clockSource"] = r.clockSource;
    document["sampleRate"] = r.rate;
    if (!r.streamed) return;
    Json playback = Direction(r.playback);
    playback["outStride"] = r.outStride;
    playback["outSlots"] = r.outSlots;
    document["transfers"] = {{"capture", Direction(r.capture)}, {"playback", std::move(playback)}};
}

}  // namespace ovusim

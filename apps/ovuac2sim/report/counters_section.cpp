// What moved while streaming, as the device and the driver counted it (once
// a streaming start was asked for).
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintCounters(const Report& r) {
    if (!r.streamStart) return;
    std::printf("frames captured %llu, played %llu\n", static_cast<unsigned long long>(r.framesCaptured),
                static_cast<unsigned long long>(r.framesPlayed));
    std::printf("IN transfers %llu, OUT transfers %llu, errors %llu, recoveries %llu\n",
                static_cast<unsigned long long>(r.inTransfers), static_cast<unsigned long long>(r.outTransfers),
                static_cast<unsigned long long>(r.transferErrors), static_cast<unsigned long long>(r.recoveries));
    std::printf("device overrun %llu frames, underrun %llu frames\n", static_cast<unsigned long long>(r.overrunFrames),
                static_cast<unsigned long long>(r.underrunFrames));
}

void AddCountersSection(const Report& r, Json& document) {
    if (!r.streamStart) return;
    document["counters"] = {{"framesCaptured", r.framesCaptured},
                            {"framesPlayed", r.framesPlayed},
                            {"inTransfers", r.inTransfers},
                            {"outTransfers", r.outTransfers},
                            {"transferErrors", r.transferErrors},
                            {"recoveries", r.recoveries},
                            {"overrunFrames", r.overrunFrames},
                            {"underrunFrames", r.underrunFrames},
                            {"counterFramesChecked", r.checkedFrames},
                            {"counterGaps", r.counterGaps}};
}

}  // namespace ovusim

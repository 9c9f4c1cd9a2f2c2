// How the run ended: what was captured, whether it streamed, whether it was
// clean and why not.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintOutcome(const Report& r) {
    if (r.streamed && r.loopback)
        std::printf("capture: loopback of what the device played (no counter pattern to check)\n");
    else if (r.streamed)
        std::printf("counter pattern: %llu frames checked, %llu gaps\n",
                    static_cast<unsigned long long>(r.checkedFrames), static_cast<unsigned long long>(r.counterGaps));
    if (r.clean) std::printf("clean run\n");
    else std::printf("NOT CLEAN: %s\n", r.problem.c_str());
}

void AddOutcomeSection(const Report& r, Json& document) {
    document["captureSource"] = r.loopback ? "loopback" : "counter";
    document["streamed"] = r.streamed;
    document["clean"] = r.clean;
    if (!r.clean) document["problem"] = r.problem;
}

}  // namespace ovusim

// The clock sources the driver published and selected, and a selection the
// run asked for.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintClock(const Report& r) {
    if (r.clock && !r.clock->published.empty()) {
        std::printf("clock sources published:");
        for (unsigned id : r.clock->published) std::printf(" %u", id);
        if (r.clock->selected) std::printf(", %u selected\n", *r.clock->selected);
        else std::printf(", none selected\n");
    }
    if (r.clockSelection)
        std::printf("clock source %u requested: %s\n", r.clockSelection->requested,
                    r.clockSelection->status.Text().c_str());
}

void AddClockSection(const Report& r, Json& document) {
    if (r.clock)
        document["clockSources"] = {{"published", r.clock->published},
                                    {"selected", r.clock->selected ? Json(*r.clock->selected) : Json()}};
    if (r.clockSelection)
        document["clockSelection"] = {{"requested", r.clockSelection->requested},
                                      {"status", StatusJson(r.clockSelection->status)}};
}

}  // namespace ovusim

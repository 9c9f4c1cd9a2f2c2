// The streaming start: its status, and for a refusal the driver's own
// account and what the device lacks.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintStreamStart(const Report& r) {
    if (!r.streamStart || r.streamed) return;
    std::printf("streaming refused: %s\n", r.streamStart->status.Text().c_str());
    for (const std::string& line : r.streamStart->driverTrace) std::printf("  driver: %s\n", line.c_str());
    for (const std::string& note : r.streamStart->deviceNotes) std::printf("  device: %s\n", note.c_str());
}

void AddStreamStartSection(const Report& r, Json& document) {
    if (!r.streamStart) return;
    document["streamStart"] = {{"status", StatusJson(r.streamStart->status)},
                               {"driverTrace", r.streamStart->driverTrace},
                               {"deviceNotes", r.streamStart->deviceNotes}};
}

}  // namespace ovusim

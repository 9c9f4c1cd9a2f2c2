// Whether the device started, with the start's status and, when it did not,
// the driver's last trace lines.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintStart(const Report& r) {
    if (r.start.started) return;
    std::printf("the device did not start: %s\n", r.start.status.Text().c_str());
    if (!r.start.traceTail.empty()) std::printf("the driver's last trace lines:\n");
    for (const std::string& line : r.start.traceTail) std::printf("  %s\n", line.c_str());
}

void AddStartSection(const Report& r, Json& document) {
    document["started"] = r.start.started;
    document["startStatus"] = StatusJson(r.start.status);
    if (!r.start.started) document["traceTail"] = r.start.traceTail;
}

}  // namespace ovusim

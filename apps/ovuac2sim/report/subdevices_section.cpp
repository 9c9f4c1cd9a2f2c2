// The subdevices the driver registered, and those it tried and did not get.
#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

void PrintSubdevices(const Report& r) {
    for (const SubdeviceReport& s : r.subdevices) {
        if (s.registered) {
            std::printf("subdevice \"%s\" (%s port): registered\n", s.name.c_str(), s.port.c_str());
            continue;
        }
        std::printf("subdevice%s%s%s (%s port): failed at %s: %s\n", s.name.empty() ? "" : " \"", s.name.c_str(),
                    s.name.empty() ? "" : "\"", s.port.c_str(), s.failedAt.c_str(),
                    s.status ? s.status->Text().c_str() : "no status reached the port class");
    }
}

void AddSubdevicesSection(const Report& r, Json& document) {
    if (!r.start.started) return;
    Json subdevices = Json::array();
    for (const SubdeviceReport& s : r.subdevices)
        subdevices.push_back({{"name", s.name.empty() ? Json() : Json(s.name)},
                              {"port", s.port},
                              {"registered", s.registered},
                              {"failedAt", s.registered ? Json() : Json(s.failedAt)},
                              {"status", s.status ? StatusJson(*s.status) : Json()}});
    document["subdevices"] = std::move(subdevices);
}

}  // namespace ovusim

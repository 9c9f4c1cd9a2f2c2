#include "apps/ovuac2sim/report/sections.h"

#include <cstdio>

namespace ovusim {

std::string StatusInfo::Hex() const {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string StatusInfo::Text() const { return name + " (" + Hex() + ")"; }

Json StatusJson(const StatusInfo& status) { return {{"name", status.name}, {"value", status.Hex()}}; }

Json ReportDocument(const Report& report) {
    Json document = Json::object();
    for (auto* add : {AddStartSection, AddDeviceSection, AddSubdevicesSection, AddClockSection, AddFilterSection,
                      AddSetupSection, AddStreamStartSection, AddCountersSection, AddOutcomeSection})
        add(report, document);
    return document;
}

std::string ReportJsonText(const Report& report) { return ReportDocument(report).dump() + "\n"; }

}  // namespace ovusim

#include "apps/ovuac2sim/report/sections.h"

namespace ovusim {

Json ReportDocument(const Report& report) {
    Json document = Json::object();
    for (auto* add : {AddDeviceSection, AddFilterSection, AddSetupSection, AddCountersSection, AddOutcomeSection})
        add(report, document);
    return document;
}

std::string ReportJsonText(const Report& report) { return ReportDocument(report).dump() + "\n"; }

}  // namespace ovusim

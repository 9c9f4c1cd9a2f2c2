// The parts of the JSON report. Each lives in its own file with the text it
// prints, and adds its fields to the document; ReportDocument (document.cpp)
// calls them in the order the fields appear. A new part of the report is a
// new file and one line in that list. Every field is documented in the
// README's table, which a test holds against a real report.
#pragma once

#include "apps/ovuac2sim/report/report.h"

#include <nlohmann/json.hpp>

namespace ovusim {

using Json = nlohmann::ordered_json;

void AddDeviceSection(const Report& report, Json& document);    // "device"
void AddFilterSection(const Report& report, Json& document);    // "filter"
void AddSetupSection(const Report& report, Json& document);     // "busSpeed" .. "transfers"
void AddCountersSection(const Report& report, Json& document);  // "counters"
void AddOutcomeSection(const Report& report, Json& document);   // "captureSource" .. "problem"

Json ReportDocument(const Report& report);

}  // namespace ovusim

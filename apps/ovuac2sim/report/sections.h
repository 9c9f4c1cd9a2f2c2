// The parts of the JSON report. Each lives in its own file with the text it
// prints, and adds its fields to the document when it has something to say;
// ReportDocument (document.cpp) calls them in the order the fields appear. A
// new part of the report is a new file and one line in that list. Every
// field is documented in the README's table, which a test holds against
// real reports.
#pragma once

#include "apps/ovuac2sim/report/report.h"

#include <nlohmann/json.hpp>

namespace ovusim {

using Json = nlohmann::ordered_json;

void AddStartSection(const Report& report, Json& document);         // "started", "startStatus", "traceTail"
void AddDeviceSection(const Report& report, Json& document);        // "device"
void AddSubdevicesSection(const Report& report, Json& document);    // "subdevices"
void AddClockSection(const Report& report, Json& document);         // "clockSources", "clockSelection"
void AddFilterSection(const Report& report, Json& document);        // "filter"
void AddSetupSection(const Report& report, Json& document);         // "busSpeed" .. "transfers"
void AddStreamStartSection(const Report& report, Json& document);   // "streamStart"
void AddCountersSection(const Report& report, Json& document);      // "counters"
void AddOutcomeSection(const Report& report, Json& document);       // "captureSource" .. "problem"

Json ReportDocument(const Report& report);

// {"name": "STATUS_...", "value": "0x........"}
Json StatusJson(const StatusInfo& status);

}  // namespace ovusim

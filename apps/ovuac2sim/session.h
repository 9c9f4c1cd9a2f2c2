// One simulator run.
#pragma once

#include "apps/ovuac2sim/options.h"
#include "apps/ovuac2sim/report/report.h"

#include <string>

namespace ovusim {

// How a run ended. Completed: the report says how it went. Stopped: the
// machine ran, but the run ended early at a refusal the message names
// (the device did not start, a requested change was refused); the report
// holds what was observed up to there. NotRun: nothing ran (an input file
// could not be used); there is no report.
struct RunEnd {
    enum class Kind { Completed, Stopped, NotRun };
    Kind kind = Kind::Completed;
    std::string message;  // one line, for Stopped and NotRun
};

RunEnd Run(const Options& options, Report* report);

}  // namespace ovusim

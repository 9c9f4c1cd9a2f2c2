// One simulator run.
#pragma once

#include "apps/ovuac2sim/options.h"
#include "apps/ovuac2sim/report/report.h"

#include <string>

namespace ovusim {

// Runs the machine as the options say and fills `report`. False, with a
// one-line `error`, when the run could not happen at all (a bad file, a
// device that does not start); a run that happened but went wrong returns
// true with report.clean false.
bool Run(const Options& options, Report* report, std::string* error);

}  // namespace ovusim

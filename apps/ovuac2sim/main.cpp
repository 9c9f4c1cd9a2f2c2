// ovuac2sim: boots a simulated Windows machine, plugs a virtual device, loads
// the ovuac2audio driver on it as an installation would, streams both
// directions and reports what happened.
#include "apps/ovuac2sim/options.h"
#include "apps/ovuac2sim/report/report.h"
#include "apps/ovuac2sim/session.h"

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
    ovusim::Options options;
    if (const std::optional<int> exit = ovusim::ParseCommandLine(argc, argv, &options)) return *exit;
    ovusim::Report report;
    const ovusim::RunEnd end = ovusim::Run(options, &report);
    if (!end.message.empty()) std::fprintf(stderr, "ovuac2sim: %s\n", end.message.c_str());
    if (end.kind != ovusim::RunEnd::Kind::NotRun && !options.jsonPath.empty()) {
        std::ofstream json(options.jsonPath, std::ios::binary);
        json << ovusim::ReportJsonText(report);
        if (!json) {
            std::fprintf(stderr, "ovuac2sim: cannot write %s\n", options.jsonPath.c_str());
            return 1;
        }
    }
    if (end.kind != ovusim::RunEnd::Kind::Completed) return 1;
    return report.clean ? 0 : 1;
}

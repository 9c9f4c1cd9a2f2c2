// ovuac2sim: boots a simulated Windows machine, plugs a virtual device, loads
// the ovuac2audio driver on it as an installation would, streams both
// directions and reports what happened.
#include "apps/ovuac2sim/options.h"
#include "apps/ovuac2sim/report.h"
#include "apps/ovuac2sim/session.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const ovusim::ParseResult parsed = ovusim::ParseOptions(args);
    if (!parsed.options) {
        std::fprintf(stderr, "ovuac2sim: %s\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(ovusim::Usage(), stdout);
        return 0;
    }
    ovusim::Report report;
    std::string error;
    const bool ran = ovusim::Run(*parsed.options, &report, &error);
    if (!parsed.options->jsonPath.empty() && ran) {
        std::ofstream json(parsed.options->jsonPath, std::ios::binary);
        json << ovusim::ReportJson(report);
        if (!json) {
            std::fprintf(stderr, "ovuac2sim: cannot write %s\n", parsed.options->jsonPath.c_str());
            return 1;
        }
    }
    if (!ran) {
        std::fprintf(stderr, "ovuac2sim: %s\n", error.c_str());
        return 1;
    }
    return report.clean ? 0 : 1;
}

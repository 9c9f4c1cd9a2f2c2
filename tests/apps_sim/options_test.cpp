// The command line: --help shows the options by what they choose, and a bad
// value of each kind of option is one line naming the option, exit status 2,
// before anything runs.
#include "simulator_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using simtest::FreshPath;
using simtest::Result;
using simtest::RunSimulator;

TEST(SimulatorOptions, HelpListsTheOptionsUnderTheirGroups) {
    const Result help = RunSimulator("--help");
    ASSERT_EQ(help.status, 0) << help.output;
    const struct { const char* group; std::vector<const char*> options; } groups[] = {
        {"Device:", {"--profile maker|uac2|uac1|midi=maker", "--speed full|high|super ", "--channels N",
                     "--raw FILE", "--loopback ", "--loopback-latency N=0"}},
        {"Rate and clock:", {"--rate HZ", "--clock-source ID"}},
        {"Scenario:", {"--duration SECONDS=2", "--time-scale X=1", "--registry FILE"}},
        {"Output:", {"--trace", "--json FILE", "--save-registry FILE"}},
    };
    std::size_t previous = 0;
    for (const auto& g : groups) {
        SCOPED_TRACE(g.group);
        const std::size_t at = help.output.find(std::string("\n") + g.group + "\n");
        ASSERT_NE(at, std::string::npos) << help.output;
        EXPECT_GT(at, previous) << "groups in order";
        const std::size_t next = help.output.find(":\n", at + 2 + std::string(g.group).size());
        for (const char* option : g.options) {
            const std::size_t where = help.output.find(std::string("  ") + option, at);
            EXPECT_TRUE(where != std::string::npos && where < next) << option << " under " << g.group << "\n"
                                                                     << help.output;
        }
        previous = at;
    }
}

TEST(SimulatorOptions, OneBadValueOfEachKindIsOneLineAndStatusTwo) {
    const std::string missingFolder = FreshPath("no_such_folder");
    const struct { std::string arguments, message; } cases[] = {
        {"--speed warp", "--speed: must be full, high or super, not 'warp'"},
        {"--profile uac3", "--profile: must be maker, uac2, uac1 or midi, not 'uac3'"},
        {"--channels 33", "--channels: must be a channel count from 1 to 32, not '33'"},
        {"--rate 48k", "--rate: must be a rate in Hz from 1 to 1000000, not '48k'"},
        {"--clock-source 256", "--clock-source: must be an entity id from 0 to 255, not '256'"},
        {"--loopback-latency -1", "--loopback-latency: must be a frame count from 0 to 1048576, not '-1'"},
        {"--duration 0", "--duration: must be a time in seconds from 0.01 to 3600, not '0'"},
        {"--time-scale fast", "--time-scale: must be a speed factor from 0 to 1000, not 'fast'"},
        {"--raw " + missingFolder + "/dump.hex", "--raw: no such file: " + missingFolder + "/dump.hex"},
        {"--json " + missingFolder + "/report.json", "--json: no such folder: " + missingFolder},
        {"--duration", "--duration needs a value"},
        {"--warp", "unknown option '--warp' (see --help)"},
        {"--duration 1 stray", "unexpected argument 'stray' (see --help)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result run = RunSimulator(c.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.output, "ovuac2sim: " + c.message + "\n");
    }
}

}  // namespace

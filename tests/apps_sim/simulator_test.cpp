// The simulator binary as a user runs it: a short clean run with its report
// and JSON, a second run from the first one's saved registry, and a refused
// rate change.
#include "simulator_runner.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using simtest::FreshPath;
using simtest::ReadFile;
using simtest::Result;
using simtest::RunSimulator;

TEST(Simulator, AShortSteppedRunEndsCleanWithItsReport) {
    const std::string json = FreshPath("report.json");
    const Result run = RunSimulator("--duration 0.2 --time-scale 0 --json " + json);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("device: USB Audio Class 2.0 at high speed"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("IN transfers of 3072 bytes (6 chunks, 24 frames)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("clean run"), std::string::npos) << run.output;

    const std::string report = ReadFile(json);
    for (const char* field : {"\"classVersion\":\"2.0\"", "\"busSpeed\":\"high\"", "\"sampleRate\":44100",
                              "\"outStride\":196608", "\"outSlots\":8", "\"counterGaps\":0", "\"clean\":true"})
        EXPECT_NE(report.find(field), std::string::npos) << field << "\n" << report;
}

// What a real machine keeps between boots goes through the .reg file: the
// device's "initialized", its clock-source properties and the endpoint
// records the rate is restored from.
TEST(Simulator, ASecondRunFromTheSavedRegistryStartsAtTheChangedRate) {
    const std::string saved = FreshPath("machine.reg");
    const std::string json = FreshPath("second.json");
    const Result first = RunSimulator("--rate 96000 --duration 0.05 --time-scale 0 --save-registry " + saved);
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("clock source 37, 96000 Hz"), std::string::npos) << first.output;
    const std::string machine = ReadFile(saved);
    EXPECT_NE(machine.find("\"initialized\"=dword:00000000"), std::string::npos) << machine;

    const Result second = RunSimulator("--duration 0.05 --time-scale 0 --registry " + saved + " --json " + json);
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(ReadFile(json).find("\"sampleRate\":96000"), std::string::npos) << second.output;
}

// At 176.4 and 192 kHz a high-speed bus carries 16 channels a frame (the
// driver's limits, the device's frames); SuperSpeed keeps 32.
TEST(Simulator, HighRatesStreamCleanAtHighSpeedAndSuperSpeed) {
    const struct { const char* arguments; const char* capture; } cases[] = {
        {"--speed high --rate 176400", "capture:  16 ch x 32 bits"},
        {"--speed high --rate 192000", "capture:  16 ch x 32 bits"},
        {"--speed super --rate 192000", "capture:  32 ch x 32 bits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const Result run = RunSimulator(std::string(c.arguments) + " --duration 0.05 --time-scale 0");
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find(c.capture), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("counter pattern: "), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("clean run"), std::string::npos) << run.output;
    }
}

TEST(Simulator, ARefusedRateIsOneLineWithTheStatus) {
    const Result run = RunSimulator("--speed full --rate 96000 --duration 0.05 --time-scale 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("ovuac2sim: the rate change to 96000 Hz failed: STATUS_INVALID_DEVICE_REQUEST "
                              "(0xC0000010)\n"),
              std::string::npos)
        << run.output;
}

}  // namespace

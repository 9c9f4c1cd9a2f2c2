// The simulator binary as a user runs it: a short clean run with its report
// and JSON, a second run from the first one's saved registry, and the
// messages and exit statuses of what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

struct Result {
    int status = -1;
    std::string output;
};

Result RunSimulator(const std::string& arguments) {
    const std::string command = std::string(OVUAC2SIM_PATH) + " " + arguments + " 2>&1";
    Result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) result.output += buffer;
    const int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Simulator, AShortSteppedRunEndsCleanWithItsReport) {
    const std::string json = ::testing::TempDir() + "ovuac2sim_report.json";
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
    const std::string saved = ::testing::TempDir() + "ovuac2sim_machine.reg";
    const std::string json = ::testing::TempDir() + "ovuac2sim_second.json";
    const Result first = RunSimulator("--rate 96000 --duration 0.05 --time-scale 0 --save-registry " + saved);
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("clock source 37, 96000 Hz"), std::string::npos) << first.output;
    const std::string machine = ReadFile(saved);
    EXPECT_NE(machine.find("\"initialized\"=dword:00000000"), std::string::npos) << machine;

    const Result second = RunSimulator("--duration 0.05 --time-scale 0 --registry " + saved + " --json " + json);
    ASSERT_EQ(second.status, 0) << second.output;
    EXPECT_NE(ReadFile(json).find("\"sampleRate\":96000"), std::string::npos) << second.output;
}

TEST(Simulator, ARefusedRateIsOneLineWithTheStatus) {
    const Result run = RunSimulator("--speed full --rate 96000 --duration 0.05 --time-scale 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("ovuac2sim: the rate change to 96000 Hz failed: STATUS_INVALID_DEVICE_REQUEST "
                              "(0xC0000010)\n"),
              std::string::npos)
        << run.output;
}

TEST(Simulator, ABadOptionIsOneClearLine) {
    const Result run = RunSimulator("--speed warp");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "ovuac2sim: --speed must be full, high or super, not 'warp'\n");
}

}  // namespace

// Runs the simulator binary as a user does and collects what it prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {

struct Result {
    int status = -1;
    std::string output;  // stdout and stderr
};

inline Result RunSimulator(const std::string& arguments) {
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

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A path of this process and test case that does not exist yet, so a file
// an earlier run left cannot stand in for one this run should write.
inline std::string FreshPath(const std::string& name) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string path = ::testing::TempDir() + "ovuac2sim_" + std::to_string(getpid()) + "_" +
                             (test != nullptr ? test->name() : "") + "_" + name;
    std::remove(path.c_str());
    return path;
}

// A descriptor dump of a device the driver does not start: one
// vendor-specific interface, no audio function.
inline std::string WriteVendorOnlyDump() {
    const std::string path = FreshPath("vendor_only.hex");
    std::ofstream(path) << "12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01\n"
                           "09 02 12 00 01 01 00 80 32\n"
                           "09 04 00 00 00 FF 00 00 00\n";
    return path;
}

}  // namespace simtest

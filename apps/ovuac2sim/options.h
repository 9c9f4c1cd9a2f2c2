// The simulator's command line.
#pragma once

#include "sim/usb/profile/description.h"

#include <optional>
#include <string>
#include <vector>

namespace ovusim {

enum class Profile { Maker, GenericUac2, GenericUac1, Midi };

struct Options {
    sim::usb::BusSpeed speed = sim::usb::BusSpeed::High;
    Profile profile = Profile::Maker;
    std::optional<unsigned> channels;  // the profile's default when unset
    std::string rawDump;               // a descriptor dump instead of a profile
    std::optional<unsigned> rate;      // a sample-rate change before streaming
    double seconds = 2.0;              // streaming time on the device clock
    double timeScale = 1.0;            // device clock speed; 0: stepped, as fast as the host allows
    bool loopback = false;             // IN carries what OUT played (else the counter pattern)
    unsigned loopbackLatency = 0;      // frames from OUT to IN
    bool trace = false;
    std::string jsonPath;
    std::string registryIn;
    std::string registryOut;
    bool help = false;
};

struct ParseResult {
    std::optional<Options> options;
    std::string error;  // one line, when options is empty
};

ParseResult ParseOptions(const std::vector<std::string>& args);
const char* Usage();

}  // namespace ovusim

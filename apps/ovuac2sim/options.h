// The simulator's command line.
#pragma once

#include "sim/usb/profile/description.h"

#include <optional>
#include <string>

namespace ovusim {

enum class Profile { Maker, GenericUac2, GenericUac1, Midi };

struct Options {
    // device
    // Unset: high speed for a profile, a dump's own speed (GuessBusSpeed).
    std::optional<sim::usb::BusSpeed> speed;
    Profile profile = Profile::Maker;
    std::optional<unsigned> channels;  // the profile's default when unset
    std::string rawDump;               // a descriptor dump instead of a profile
    bool loopback = false;             // IN carries what OUT played (else the counter pattern)
    unsigned loopbackLatency = 0;      // frames from OUT to IN
    // rate and clock
    std::optional<unsigned> rate;         // a sample-rate change before streaming
    std::optional<unsigned> clockSource;  // a clock-source selection before streaming
    // scenario
    double seconds = 2.0;    // streaming time on the device clock
    double timeScale = 1.0;  // device clock speed; 0: stepped, as fast as the host allows
    std::string registryIn;
    // output
    bool trace = false;
    std::string jsonPath;
    std::string registryOut;
};

// Parses the command line into `options`. Returns the exit status when the
// program should end at once: 0 after printing --help, 2 after printing a
// one-line usage error to stderr.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, Options* options);

}  // namespace ovusim

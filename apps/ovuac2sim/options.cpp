// The command line on CLI11: one function per help group, each option a
// declaration with its check. A check returns the reason a value is refused;
// CLI11 puts the option's name in front of it.
#include "apps/ovuac2sim/options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

namespace ovusim {
namespace {

std::string Quoted(const std::string& value) { return "'" + value + "'"; }

// A whole number in [min, max]; `what` says what it counts.
CLI::Validator Whole(unsigned long min, unsigned long max, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const unsigned long v = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0' || v < min || v > max)
                return "must be " + what + " from " + std::to_string(min) + " to " + std::to_string(max) + ", not " +
                       Quoted(text);
            return {};
        },
        "", "whole");
}

std::string Trimmed(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", v);
    return text;
}

// A decimal number in [min, max]; `what` says what it measures.
CLI::Validator Decimal(double min, double max, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || errno != 0 || *end != '\0' || !(v >= min && v <= max))
                return "must be " + what + " from " + Trimmed(min) + " to " + Trimmed(max) + ", not " + Quoted(text);
            return {};
        },
        "", "decimal");
}

CLI::Validator InputFile() {
    return CLI::Validator(
        [](std::string& path) -> std::string {
            std::error_code error;
            if (!std::filesystem::is_regular_file(path, error)) return "no such file: " + path;
            return {};
        },
        "", "input file");
}

// A file the run writes: its folder must exist, so a long run does not end
// in an error it could have had at once.
CLI::Validator OutputFile() {
    return CLI::Validator(
        [](std::string& path) -> std::string {
            const std::filesystem::path folder = std::filesystem::path(path).parent_path();
            std::error_code error;
            if (path.empty() || std::filesystem::is_directory(path, error)) return "needs a file name, not " + Quoted(path);
            if (!folder.empty() && !std::filesystem::is_directory(folder, error))
                return "no such folder: " + folder.string();
            return {};
        },
        "", "output file");
}

// An option whose value is one of a few names. `target` is a T or a
// std::optional<T>; the help shows the default when it has one.
template <class Target, class T>
CLI::Option* Choice(CLI::App& app, const std::string& name, Target* target,
                    std::vector<std::pair<std::string, T>> choices, const std::string& help) {
    std::string names, listed, current;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        names += (i == 0 ? "" : "|") + choices[i].first;
        listed += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i].first;
        if (Target(choices[i].second) == *target) current = choices[i].first;
    }
    CLI::Option* option = app.add_option_function<std::string>(
        name,
        [target, choices](const std::string& value) {
            for (const auto& [choice, result] : choices)
                if (choice == value) *target = result;
        },
        help);
    option->check(CLI::Validator(
        [choices, listed](std::string& value) -> std::string {
            for (const auto& choice : choices)
                if (choice.first == value) return {};
            return "must be " + listed + ", not " + Quoted(value);
        },
        "", "choice"));
    option->type_name(names)->default_str(current);
    return option;
}

void DeclareDevice(CLI::App& app, Options& o) {
    const std::string group = "Device";
    Choice(app, "--profile", &o.profile,
           std::vector<std::pair<std::string, Profile>>{{"maker", Profile::Maker},
                                                        {"uac2", Profile::GenericUac2},
                                                        {"uac1", Profile::GenericUac1},
                                                        {"midi", Profile::Midi}},
           "the virtual device: the maker's, class 2.0, class 1.0, USB-MIDI")
        ->group(group);
    Choice(app, "--speed", &o.speed,
           std::vector<std::pair<std::string, sim::usb::BusSpeed>>{{"full", sim::usb::BusSpeed::Full},
                                                                    {"high", sim::usb::BusSpeed::High},
                                                                    {"super", sim::usb::BusSpeed::Super}},
           "bus speed (default: high; a dump's from its descriptors)")
        ->group(group);
    app.add_option_function<unsigned>("--channels", [&o](unsigned n) { o.channels = n; },
                                      "channels of the profile's streaming settings")
        ->check(Whole(1, 32, "a channel count"))
        ->type_name("N")
        ->group(group);
    app.add_option("--raw", o.rawDump, "a device from a descriptor hex dump instead of a profile")
        ->check(InputFile())
        ->type_name("FILE")
        ->group(group);
    app.add_flag("--loopback", o.loopback,
                 "capture what the device plays (default: a counter pattern, checked)")
        ->group(group);
    app.add_option("--loopback-latency", o.loopbackLatency, "frames between a played and a captured frame")
        ->check(Whole(0, 1u << 20, "a frame count"))
        ->type_name("N")
        ->capture_default_str()
        ->group(group);
}

void DeclareRateAndClock(CLI::App& app, Options& o) {
    const std::string group = "Rate and clock";
    app.add_option_function<unsigned>("--rate", [&o](unsigned hz) { o.rate = hz; },
                                      "change the sample rate through the driver before streaming")
        ->check(Whole(1, 1000000, "a rate in Hz"))
        ->type_name("HZ")
        ->group(group);
    app.add_option_function<unsigned>("--clock-source", [&o](unsigned id) { o.clockSource = id; },
                                      "select a clock source through the driver before streaming")
        ->check(Whole(0, 255, "an entity id"))
        ->type_name("ID")
        ->group(group);
}

void DeclareScenario(CLI::App& app, Options& o) {
    const std::string group = "Scenario";
    app.add_option("--duration", o.seconds, "streaming time on the device clock")
        ->check(Decimal(0.01, 3600, "a time in seconds"))
        ->type_name("SECONDS")
        ->capture_default_str()
        ->group(group);
    app.add_option("--time-scale", o.timeScale,
                   "device clock speed: 1 real time, 0 stepped as fast as possible")
        ->check(Decimal(0, 1000, "a speed factor"))
        ->type_name("X")
        ->capture_default_str()
        ->group(group);
    app.add_option("--registry", o.registryIn, "seed the machine's registry from a .reg file")
        ->check(InputFile())
        ->type_name("FILE")
        ->group(group);
}

void DeclareOutput(CLI::App& app, Options& o) {
    const std::string group = "Output";
    app.add_flag("--trace", o.trace, "print the driver's trace")->group(group);
    app.add_option("--json", o.jsonPath, "also write the report as JSON")
        ->check(OutputFile())
        ->type_name("FILE")
        ->group(group);
    app.add_option("--save-registry", o.registryOut, "save HKEY_LOCAL_MACHINE as a .reg file after the run")
        ->check(OutputFile())
        ->type_name("FILE")
        ->group(group);
}

// CLI11's words for a missing value and a stray argument, as one line that
// names the option.
std::string UsageError(const CLI::ParseError& error, const CLI::App& app) {
    const std::string text = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && text.find(" missing") != std::string::npos)
        return text.substr(0, text.find(':')) + " needs a value";
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const std::vector<std::string> extra = app.remaining();
        const std::string first = extra.empty() ? std::string() : extra.front();
        return (first.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + Quoted(first) +
               " (see --help)";
    }
    return text;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, const char* const* argv, Options* options) {
    CLI::App app("Boots a simulated Windows machine, plugs a virtual USB audio device, loads the\n"
                 "ovuac2audio driver on it and streams both directions.",
                 "ovuac2sim");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.get_formatter()->column_width(36);
    DeclareDevice(app, *options);
    DeclareRateAndClock(app, *options);
    DeclareScenario(app, *options);
    DeclareOutput(app, *options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "ovuac2sim: %s\n", UsageError(error, app).c_str());
        return 2;
    }
    return std::nullopt;
}

}  // namespace ovusim

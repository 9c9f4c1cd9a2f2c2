#include "apps/ovuac2sim/options.h"

#include <cerrno>
#include <cstdlib>

namespace ovusim {

namespace {

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned* value) {
    if (text.empty() || text[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = static_cast<unsigned>(v);
    return true;
}

bool ParseDouble(const std::string& text, double min, double max, double* value) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !(v >= min && v <= max)) return false;
    *value = v;
    return true;
}

}  // namespace

const char* Usage() {
    return "usage: ovuac2sim [options]\n"
           "Boots a simulated Windows machine, plugs a virtual USB audio device, loads the\n"
           "ovuac2audio driver on it and streams both directions.\n"
           "\n"
           "  --speed full|high|super   bus speed of the device (default high)\n"
           "  --profile maker|uac2|uac1|midi\n"
           "                            the virtual device (default maker: the maker's interface)\n"
           "  --channels N              channels of the profile's streaming settings\n"
           "  --raw FILE                a device built from a descriptor hex dump instead\n"
           "  --rate HZ                 change the device's sample rate before streaming\n"
           "  --duration SECONDS        streaming time on the device clock (default 2)\n"
           "  --time-scale X            device clock speed: 1 real time, 2 twice as fast,\n"
           "                            0 stepped as fast as the host allows (default 1)\n"
           "  --loopback                capture what the device plays (default: the device's\n"
           "                            counter pattern, which the run checks for gaps)\n"
           "  --loopback-latency N      frames between a played and a captured frame (default 0)\n"
           "  --trace                   print the driver's trace\n"
           "  --json FILE               also write the report as JSON\n"
           "  --registry FILE           seed the machine's registry from a .reg file\n"
           "  --save-registry FILE      save HKEY_LOCAL_MACHINE as a .reg file after the run\n"
           "  --help                    this text\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    Options o;
    auto fail = [](std::string message) { return ParseResult{std::nullopt, std::move(message)}; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) -> bool {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--speed") {
            if (!value(&v)) return fail("--speed needs a value");
            if (v == "full") o.speed = sim::usb::BusSpeed::Full;
            else if (v == "high") o.speed = sim::usb::BusSpeed::High;
            else if (v == "super") o.speed = sim::usb::BusSpeed::Super;
            else return fail("--speed must be full, high or super, not '" + v + "'");
        } else if (arg == "--profile") {
            if (!value(&v)) return fail("--profile needs a value");
            if (v == "maker") o.profile = Profile::Maker;
            else if (v == "uac2") o.profile = Profile::GenericUac2;
            else if (v == "uac1") o.profile = Profile::GenericUac1;
            else if (v == "midi") o.profile = Profile::Midi;
            else return fail("--profile must be maker, uac2, uac1 or midi, not '" + v + "'");
        } else if (arg == "--channels") {
            unsigned n;
            if (!value(&v) || !ParseUnsigned(v, 32, &n) || n == 0) return fail("--channels must be 1 to 32");
            o.channels = n;
        } else if (arg == "--raw") {
            if (!value(&o.rawDump)) return fail("--raw needs a file");
        } else if (arg == "--rate") {
            unsigned n;
            if (!value(&v) || !ParseUnsigned(v, 1000000, &n) || n == 0) return fail("--rate must be a rate in Hz");
            o.rate = n;
        } else if (arg == "--duration") {
            if (!value(&v) || !ParseDouble(v, 0.01, 3600, &o.seconds))
                return fail("--duration must be 0.01 to 3600 seconds");
        } else if (arg == "--time-scale") {
            if (!value(&v) || !ParseDouble(v, 0, 1000, &o.timeScale)) return fail("--time-scale must be 0 to 1000");
        } else if (arg == "--loopback") {
            o.loopback = true;
        } else if (arg == "--loopback-latency") {
            if (!value(&v) || !ParseUnsigned(v, 1u << 20, &o.loopbackLatency))
                return fail("--loopback-latency must be a frame count");
        } else if (arg == "--json") {
            if (!value(&o.jsonPath)) return fail("--json needs a file");
        } else if (arg == "--registry") {
            if (!value(&o.registryIn)) return fail("--registry needs a file");
        } else if (arg == "--save-registry") {
            if (!value(&o.registryOut)) return fail("--save-registry needs a file");
        } else {
            return fail("unknown option '" + arg + "' (see --help)");
        }
    }
    return {o, {}};
}

}  // namespace ovusim

// Writes the seed corpus of fuzz_device_model: the configuration descriptors
// of the virtual hardware's profiles, and malformed variants of a few.
//   make_device_model_corpus <directory>
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/malform.h"
#include "sim/usb/profile/profiles.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace sim::usb;

namespace {

void Write(const std::string& directory, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = directory + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    std::vector<std::pair<std::string, Description>> profiles;
    profiles.emplace_back("maker_super", MakerDevice({.speed = BusSpeed::Super}));
    profiles.emplace_back("maker_high", MakerDevice({.speed = BusSpeed::High}));
    profiles.emplace_back("maker_full", MakerDevice({.speed = BusSpeed::Full}));
    profiles.emplace_back("maker_one_clock", MakerDevice({.clockSourceIds = {0x25}}));
    profiles.emplace_back("uac2", GenericUac2Device());
    profiles.emplace_back("uac2_selector_feedback",
                          GenericUac2Device({.clockSources = 3, .selectorInputs = 2, .feedback = true}));
    profiles.emplace_back("uac2_bulk", GenericUac2Device({.isochronous = false}));
    profiles.emplace_back("uac2_bulk_full", GenericUac2Device({.speed = BusSpeed::Full, .isochronous = false}));
    profiles.emplace_back("maker_isochronous", MakerDevice({.isochronous = true}));
    profiles.emplace_back("uac1", GenericUac1Device());
    profiles.emplace_back("uac1_bulk", GenericUac1Device({.isochronous = false}));
    profiles.emplace_back("uac1_feedback_continuous",
                          GenericUac1Device({.sampleRates = {8000, 96000}, .continuousRates = true, .feedback = true}));
    profiles.emplace_back("uac1_processing", GenericUac1Device({.processingUnit = true}));
    profiles.emplace_back("uac1_no_freq_control", GenericUac1Device({.sampleRates = {44100, 48000, 96000},
                                                                      .samplingFrequencyControl = false}));
    profiles.emplace_back("midi", MidiDevice());
    profiles.emplace_back("midi_super", MidiDevice({.speed = BusSpeed::Super, .embeddedInJacks = 4}));
    profiles.emplace_back("audio_with_midi", AudioWithMidiDevice());

    for (const auto& [name, description] : profiles) Write(directory, name, BuildDescriptorSet(description).configuration);
    // Broken lengths at a few places of two shapes.
    for (const char* base : {"maker_high", "uac1"}) {
        for (const auto& [name, description] : profiles) {
            if (name != base) continue;
            for (const FuzzSeed& seed : MalformedSeeds(BuildDescriptorSet(description)))
                Write(directory, name + "_" + seed.name, seed.configuration);
        }
    }
    return 0;
}

// The string descriptors a device's descriptors name, and placeholders for
// a dump that carries none.
//
// A dump transcribed from an `lsusb -v` listing has the device and
// configuration descriptors but no string descriptors. A real device that
// names string indices answers for them, and hosts rely on it (a driver
// reads the language list at start), so such a dump is completed the way the
// device would answer: the language list (English, United States) and a
// placeholder text for every index its descriptors name.
#pragma once

#include "sim/usb/profile/descriptor_set.h"

#include <cstdint>
#include <set>
#include <string>

namespace sim::usb {

// Every nonzero string index the device and configuration descriptors name:
// the device's manufacturer, product and serial number, the configuration,
// interfaces and interface associations, the audio-class entities (with the
// run of channel names a terminal, mixing unit or streaming interface
// names) and the MIDI jacks and elements. Reads only within each
// descriptor's bLength and the configuration's bytes.
std::set<std::uint8_t> NamedStringIndices(const DescriptorSet& set);

// The placeholder text of index `index`: "String <index>".
std::u16string PlaceholderString(std::uint8_t index);

// When `set` has no string descriptors at all: adds the language list
// {0x0409} and a placeholder for every named index, and returns the indices
// filled in. A set with strings of its own is left as it is (empty result).
std::set<std::uint8_t> AddPlaceholderStrings(DescriptorSet& set);

}  // namespace sim::usb

// The bytes a virtual USB device answers GET_DESCRIPTOR with.
#pragma once

#include "sim/usb/profile/description.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim::usb {

struct DescriptorSet {
    BusSpeed speed = BusSpeed::High;
    std::vector<std::uint8_t> device;         // the 18-byte device descriptor
    std::vector<std::uint8_t> configuration;  // all wTotalLength bytes of configuration 1
    // String descriptors by (index, language id); index 0 (the language
    // list) is stored under language 0.
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> strings;

    const USB_DEVICE_DESCRIPTOR& Device() const;
    const USB_CONFIGURATION_DESCRIPTOR& Configuration() const;
    // The string descriptor, or nullptr. Index 0 ignores the language.
    const std::vector<std::uint8_t>* String(std::uint8_t index, std::uint16_t languageId) const;
    // The text of a string descriptor, or nothing.
    std::optional<std::u16string> StringText(std::uint8_t index, std::uint16_t languageId = USB_LANGID_ENGLISH_US) const;

    friend bool operator==(const DescriptorSet&, const DescriptorSet&) = default;
};

// A string descriptor holding `text` (bLength capped at 255: longer text is
// cut at 126 code units).
std::vector<std::uint8_t> StringDescriptor(const std::u16string& text);
// String descriptor 0 listing the language ids.
std::vector<std::uint8_t> LanguageListDescriptor(const std::vector<std::uint16_t>& languages);

}  // namespace sim::usb

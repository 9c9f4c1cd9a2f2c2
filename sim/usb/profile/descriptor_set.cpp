#include "sim/usb/profile/descriptor_set.h"

#include "sim/verifier.h"

#include <algorithm>
#include <cstring>

namespace sim::usb {

const USB_DEVICE_DESCRIPTOR& DescriptorSet::Device() const {
    if (device.size() < sizeof(USB_DEVICE_DESCRIPTOR))
        VerifierStop("descriptor set without a whole device descriptor (%zu bytes)", device.size());
    return *reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(device.data());
}

const USB_CONFIGURATION_DESCRIPTOR& DescriptorSet::Configuration() const {
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        VerifierStop("descriptor set without a whole configuration descriptor (%zu bytes)", configuration.size());
    return *reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(configuration.data());
}

const std::vector<std::uint8_t>* DescriptorSet::String(std::uint8_t index, std::uint16_t languageId) const {
    const auto found = strings.find({index, index == 0 ? std::uint16_t{0} : languageId});
    return found == strings.end() ? nullptr : &found->second;
}

std::optional<std::u16string> DescriptorSet::StringText(std::uint8_t index, std::uint16_t languageId) const {
    const std::vector<std::uint8_t>* bytes = String(index, languageId);
    if (bytes == nullptr || bytes->size() < 2) return std::nullopt;
    const std::size_t length = std::min<std::size_t>((*bytes)[0], bytes->size());
    std::u16string text;
    for (std::size_t i = 2; i + 1 < length; i += 2)
        text.push_back(static_cast<char16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8)));
    return text;
}

std::vector<std::uint8_t> StringDescriptor(const std::u16string& text) {
    const std::size_t units = std::min<std::size_t>(text.size(), (255 - 2) / 2);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * units), USB_STRING_DESCRIPTOR_TYPE};
    for (std::size_t i = 0; i < units; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(text[i] & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(text[i] >> 8));
    }
    return bytes;
}

std::vector<std::uint8_t> LanguageListDescriptor(const std::vector<std::uint16_t>& languages) {
    std::vector<std::uint8_t> bytes{0, USB_STRING_DESCRIPTOR_TYPE};
    for (std::uint16_t language : languages) {
        if (bytes.size() + 2 > 255) break;
        bytes.push_back(static_cast<std::uint8_t>(language & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(language >> 8));
    }
    bytes[0] = static_cast<std::uint8_t>(bytes.size());
    return bytes;
}

}  // namespace sim::usb

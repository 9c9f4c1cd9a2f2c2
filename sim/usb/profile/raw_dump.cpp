#include "sim/usb/profile/raw_dump.h"

#include "platform/usb/walk.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim::usb {
namespace {

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

std::string_view StripComment(std::string_view line) {
    std::size_t end = line.size();
    for (std::string_view marker : {"#", ";", "//", "|"}) end = std::min(end, line.find(marker));
    return line.substr(0, end);
}

}  // namespace

HexBytes ParseHexBytes(std::string_view text) {
    HexBytes result;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t newline = text.find('\n');
        std::string_view line = StripComment(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);

        bool firstToken = true;
        std::size_t i = 0;
        while (i < line.size()) {
            const char c = line[i];
            if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
                ++i;
                continue;
            }
            std::size_t end = i;
            while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])) && line[end] != ',') ++end;
            const std::string_view original = line.substr(i, end - i);
            std::string_view token = original;
            i = end;
            const bool isFirst = firstToken;
            firstToken = false;

            if (isFirst && token.size() > 1 && token.back() == ':') continue;  // "0010:" offset
            bool prefixed = false;
            if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
                token.remove_prefix(2);
                prefixed = true;
            }
            bool allHex = !token.empty();
            for (char d : token) allHex = allHex && IsHexDigit(d);
            if (allHex && isFirst && !prefixed && token.size() > 2) continue;  // hexdump offset column
            if (!allHex || token.size() > 2) {
                result.error =
                    "line " + std::to_string(lineNumber) + ": not a hex byte: '" + std::string(original) + "'";
                result.bytes.clear();
                return result;
            }
            int value = 0;
            for (char d : token) value = value * 16 + HexValue(d);
            result.bytes.push_back(static_cast<std::uint8_t>(value));
        }
    }
    return result;
}

RawDescriptorSet DescriptorSetFromBytes(const std::vector<std::uint8_t>& bytes, std::optional<BusSpeed> speed) {
    RawDescriptorSet result;
    if (bytes.size() < sizeof(USB_DEVICE_DESCRIPTOR) || bytes[0] != sizeof(USB_DEVICE_DESCRIPTOR) ||
        bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        result.error = "the dump does not start with an 18-byte device descriptor";
        return result;
    }
    DescriptorSet set;
    set.device.assign(bytes.begin(), bytes.begin() + sizeof(USB_DEVICE_DESCRIPTOR));
    std::size_t at = sizeof(USB_DEVICE_DESCRIPTOR);
    if (bytes.size() - at < sizeof(USB_CONFIGURATION_DESCRIPTOR) || bytes[at + 1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        result.error = "no configuration descriptor after the device descriptor";
        return result;
    }
    const std::size_t total = bytes[at + 2] | (bytes[at + 3] << 8);
    const std::size_t held = std::min(total, bytes.size() - at);
    set.configuration.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + held));
    at += held;

    std::uint16_t language = USB_LANGID_ENGLISH_US;
    for (std::uint8_t index = 0; at < bytes.size(); ++index) {
        const std::size_t length = bytes[at];
        if (length < 2 || length > bytes.size() - at || bytes[at + 1] != USB_STRING_DESCRIPTOR_TYPE) {
            result.error = "byte " + std::to_string(at) + " after the configuration is not a whole string descriptor";
            return result;
        }
        std::vector<std::uint8_t> string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (index == 0) {
            if (length >= 4) language = static_cast<std::uint16_t>(string[2] | (string[3] << 8));
            set.strings[{0, 0}] = std::move(string);
        } else {
            set.strings[{index, language}] = std::move(string);
        }
        at += length;
        if (index == 0xFF) break;
    }

    if (speed) {
        set.speed = *speed;
        result.speedRule = "given";
    } else {
        BusSpeedGuess guess = GuessBusSpeed(set);
        set.speed = guess.speed;
        result.speedRule = std::move(guess.rule);
    }
    result.set = std::move(set);
    return result;
}

BusSpeedGuess GuessBusSpeed(const DescriptorSet& set) {
    if (set.device.size() < sizeof(USB_DEVICE_DESCRIPTOR)) return {BusSpeed::Full, "no device descriptor"};
    const USB_DEVICE_DESCRIPTOR& device = set.Device();
    if (device.bMaxPacketSize0 == 9) return {BusSpeed::Super, "bMaxPacketSize0 is 9"};
    if (device.bcdUSB < 0x0200) return {BusSpeed::Full, "bcdUSB is below 2.00"};
    if (device.bMaxPacketSize0 < 64) return {BusSpeed::Full, "bMaxPacketSize0 is below 64"};
    if (set.configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(set.configuration.data());
        const UsbDescriptorRange range =
            UsbConfigurationRange(configuration, static_cast<ULONG>(set.configuration.size()));
        for (const USB_COMMON_DESCRIPTOR* d = UsbFindDescriptor(range, range.begin, USB_ENDPOINT_DESCRIPTOR_TYPE);
             d != nullptr; d = UsbFindDescriptor(range, UsbNextDescriptor(range, d), USB_ENDPOINT_DESCRIPTOR_TYPE)) {
            const auto* endpoint = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(d);
            if (endpoint == nullptr || (endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK)
                continue;
            const unsigned packet = endpoint->wMaxPacketSize & 0x7FF;
            if (packet <= 64) {
                char rule[64];
                std::snprintf(rule, sizeof(rule), "bulk endpoint 0x%02X has wMaxPacketSize %u",
                              endpoint->bEndpointAddress, packet);
                return {BusSpeed::Full, rule};
            }
        }
    }
    return {BusSpeed::High, "no full-speed sign"};
}

RawDescriptorSet DescriptorSetFromHexDump(std::string_view text, std::optional<BusSpeed> speed) {
    HexBytes hex = ParseHexBytes(text);
    if (!hex.error.empty()) return {std::nullopt, hex.error, {}};
    return DescriptorSetFromBytes(hex.bytes, speed);
}

RawDescriptorSet DescriptorSetFromHexFile(const std::string& path, std::optional<BusSpeed> speed) {
    std::ifstream file(path);
    if (!file) return {std::nullopt, "cannot open " + path, {}};
    std::stringstream text;
    text << file.rdbuf();
    RawDescriptorSet result = DescriptorSetFromHexDump(text.str(), speed);
    if (!result.error.empty()) result.error = path + ": " + result.error;
    return result;
}

namespace {

void HexLine(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    char byte[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), i + 1 < count ? "%02X " : "%02X", bytes[i]);
        out += byte;
    }
    out += '\n';
}

}  // namespace

std::string ToHexDump(const DescriptorSet& set) {
    std::string out = "# device descriptor\n";
    HexLine(out, set.device.data(), set.device.size());
    out += "# configuration descriptor, " + std::to_string(set.configuration.size()) + " bytes\n";
    // One descriptor per line while the lengths make sense; the rest, if
    // any, on one line as it is.
    std::size_t at = 0;
    const std::size_t size = set.configuration.size();
    while (at < size) {
        const std::size_t length = set.configuration[at];
        if (length < 2 || length > size - at) break;
        HexLine(out, set.configuration.data() + at, length);
        at += length;
    }
    if (at < size) {
        out += "# malformed remainder\n";
        HexLine(out, set.configuration.data() + at, size - at);
    }

    // Strings only when the reader will give them back their indices.
    const auto* languages = set.String(0, 0);
    if (languages == nullptr || languages->size() < 4) return out;
    const std::uint16_t language = static_cast<std::uint16_t>((*languages)[2] | ((*languages)[3] << 8));
    std::size_t expected = 0;
    for (const auto& [key, bytes] : set.strings) {
        if (key.first != expected || (key.first != 0 && key.second != language)) return out;
        ++expected;
    }
    for (const auto& [key, bytes] : set.strings) {
        out += "# string " + std::to_string(key.first) + "\n";
        HexLine(out, bytes.data(), bytes.size());
    }
    return out;
}

}  // namespace sim::usb

#include "descriptor_checks.h"

#include <cstring>
#include <set>

namespace usbtest {
namespace {

constexpr std::uint8_t kInterface = 0x04, kEndpoint = 0x05, kIad = 0x0B, kCompanion = 0x30;
constexpr std::uint8_t kCsInterface = 0x24, kCsEndpoint = 0x25;

enum class Kind { None, AudioControl, AudioStreaming, MidiStreaming, Other };

struct Checker {
    const std::vector<std::uint8_t>& b;
    std::vector<std::string> problems;
    Kind kind = Kind::None;
    bool uac2 = false;
    int interfaceEndpointsDeclared = -1;
    int interfaceEndpointsSeen = 0;
    std::size_t interfaceAt = 0;
    // An open class-specific block: header offset, the total it announces.
    std::size_t blockAt = 0;
    std::size_t blockTotal = 0;
    bool blockOpen = false;

    std::uint32_t U16(std::size_t at) const { return b[at] | (b[at + 1] << 8); }
    void Problem(std::size_t at, const std::string& what) { problems.push_back("offset " + std::to_string(at) + ": " + what); }
    void Expect(std::size_t at, std::size_t length, std::size_t expected, const char* what) {
        if (length != expected)
            Problem(at, std::string(what) + " is " + std::to_string(length) + " bytes, expected " + std::to_string(expected));
    }

    void CloseInterface(std::size_t end) {
        if (interfaceEndpointsDeclared >= 0 && interfaceEndpointsDeclared != interfaceEndpointsSeen)
            Problem(interfaceAt, "bNumEndpoints " + std::to_string(interfaceEndpointsDeclared) + " but " +
                                     std::to_string(interfaceEndpointsSeen) + " endpoints follow");
        if (blockOpen && end - blockAt != blockTotal)
            Problem(blockAt, "class-specific wTotalLength " + std::to_string(blockTotal) + " but the block is " +
                                 std::to_string(end - blockAt) + " bytes");
        blockOpen = false;
    }

    void AudioControl(std::size_t at, std::size_t len) {
        const std::uint8_t subtype = b[at + 2];
        if (subtype == 0x01) {
            uac2 = len >= 5 && U16(at + 3) == 0x0200;
            if (uac2) {
                Expect(at, len, 9, "2.0 AC header");
                if (len >= 8) blockTotal = U16(at + 6);
            } else {
                if (len >= 8) Expect(at, len, 8u + b[at + 7], "1.0 AC header");
                if (len >= 7) blockTotal = U16(at + 5);
            }
            blockAt = at;
            blockOpen = true;
            return;
        }
        if (len < 5) return Problem(at, "AudioControl descriptor shorter than 5 bytes");
        const std::size_t p = b[at + 4];  // bNrInPins where the kind has it
        if (uac2) {
            switch (subtype) {
                case 0x02: return Expect(at, len, 17, "2.0 input terminal");
                case 0x03: return Expect(at, len, 12, "2.0 output terminal");
                case 0x04: if (len < 13 + p) Problem(at, "2.0 mixer unit too short"); return;
                case 0x05: return Expect(at, len, 7 + p, "2.0 selector unit");
                case 0x06: if ((len - 6) % 4 != 0) Problem(at, "2.0 feature unit length not 6 + 4n"); return;
                case 0x07: if (len < 8 || (len - 8) % 4 != 0) Problem(at, "2.0 effect unit length not 8 + 4n"); return;
                case 0x08: if (len < 7 || len < 16u + b[at + 6]) Problem(at, "2.0 processing unit too short"); return;
                case 0x09: if (len >= 7) Expect(at, len, 15u + b[at + 6], "2.0 extension unit"); return;
                case 0x0A: return Expect(at, len, 8, "clock source");
                case 0x0B: return Expect(at, len, 7 + p, "clock selector");
                case 0x0C: return Expect(at, len, 7, "clock multiplier");
                case 0x0D: return Expect(at, len, 8, "sample-rate converter");
                default: return Problem(at, "unknown 2.0 AudioControl subtype " + std::to_string(subtype));
            }
        }
        switch (subtype) {
            case 0x02: return Expect(at, len, 12, "1.0 input terminal");
            case 0x03: return Expect(at, len, 9, "1.0 output terminal");
            case 0x04: if (len < 10 + p) Problem(at, "1.0 mixer unit too short"); return;
            case 0x05: return Expect(at, len, 6 + p, "1.0 selector unit");
            case 0x06: {
                const std::size_t n = len >= 6 ? b[at + 5] : 0;
                if (n == 0 || len < 7 || (len - 7) % n != 0) Problem(at, "1.0 feature unit length not 7 + n*bControlSize");
                return;
            }
            case 0x07:
            case 0x08: {
                if (len < 7) return Problem(at, "1.0 processing/extension unit too short");
                const std::size_t pins = b[at + 6];
                if (len < 12 + pins) return Problem(at, "1.0 processing/extension unit too short");
                const std::size_t controlSize = b[at + 11 + pins];
                if (subtype == 0x08) return Expect(at, len, 13 + pins + controlSize, "1.0 extension unit");
                if (len < 13 + pins + controlSize) Problem(at, "1.0 processing unit too short");
                return;
            }
            default: return Problem(at, "unknown 1.0 AudioControl subtype " + std::to_string(subtype));
        }
    }

    void AudioStreaming(std::size_t at, std::size_t len) {
        const std::uint8_t subtype = b[at + 2];
        if (subtype == 0x01) return Expect(at, len, uac2 ? 16 : 7, "AS_GENERAL");
        if (subtype == 0x02) {
            if (uac2) return Expect(at, len, 6, "2.0 FORMAT_TYPE I");
            if (len < 8) return Problem(at, "1.0 FORMAT_TYPE I too short");
            const std::size_t n = b[at + 7] == 0 ? 2 : b[at + 7];
            return Expect(at, len, 8 + 3 * n, "1.0 FORMAT_TYPE I");
        }
        Problem(at, "unexpected AudioStreaming subtype " + std::to_string(subtype));
    }

    void Midi(std::size_t at, std::size_t len) {
        const std::uint8_t subtype = b[at + 2];
        switch (subtype) {
            case 0x01:
                Expect(at, len, 7, "MS header");
                if (len >= 7) {
                    blockAt = at;
                    blockTotal = U16(at + 5);
                    blockOpen = true;
                }
                return;
            case 0x02: return Expect(at, len, 6, "MIDI IN jack");
            case 0x03: if (len >= 6) Expect(at, len, 7u + 2u * b[at + 5], "MIDI OUT jack"); return;
            default: return Problem(at, "unexpected MIDIStreaming subtype " + std::to_string(subtype));
        }
    }

    void Run() {
        if (b.size() < 9 || b[0] != 9 || b[1] != 0x02) return Problem(0, "no configuration descriptor");
        if (U16(2) != b.size()) Problem(0, "wTotalLength " + std::to_string(U16(2)) + " but " + std::to_string(b.size()) + " bytes");
        std::set<std::uint8_t> numbers;
        std::size_t at = 9;
        while (at < b.size()) {
            const std::size_t len = b[at];
            if (len < 2 || len > b.size() - at) {
                Problem(at, "bLength " + std::to_string(len) + " ends the walk early");
                return;
            }
            const std::uint8_t type = b[at + 1];
            if (type == kInterface) {
                CloseInterface(at);
                Expect(at, len, 9, "interface");
                if (len < 9) return;
                numbers.insert(b[at + 2]);
                interfaceAt = at;
                interfaceEndpointsDeclared = b[at + 4];
                interfaceEndpointsSeen = 0;
                const std::uint8_t cls = b[at + 5], sub = b[at + 6];
                kind = (cls == 0x01 || cls == 0xFF) && sub == 1   ? Kind::AudioControl
                       : (cls == 0x01 || cls == 0xFF) && sub == 2 ? Kind::AudioStreaming
                       : cls == 0x01 && sub == 3                  ? Kind::MidiStreaming
                                                                  : Kind::Other;
            } else if (type == kEndpoint) {
                ++interfaceEndpointsSeen;
                const bool nineBytes = kind == Kind::MidiStreaming || (kind == Kind::AudioStreaming && !uac2);
                Expect(at, len, nineBytes ? 9 : 7, "endpoint");
            } else if (type == kCompanion) {
                Expect(at, len, 6, "SuperSpeed companion");
            } else if (type == kIad) {
                Expect(at, len, 8, "interface association");
            } else if (type == kCsInterface) {
                if (len < 3) {
                    Problem(at, "class-specific descriptor without a subtype");
                } else if (kind == Kind::AudioControl) {
                    AudioControl(at, len);
                } else if (kind == Kind::AudioStreaming) {
                    AudioStreaming(at, len);
                } else if (kind == Kind::MidiStreaming) {
                    Midi(at, len);
                } else {
                    Problem(at, "class-specific interface descriptor outside an audio interface");
                }
            } else if (type == kCsEndpoint) {
                if (kind == Kind::MidiStreaming) {
                    if (len >= 4) Expect(at, len, 4u + b[at + 3], "MS_GENERAL");
                } else {
                    Expect(at, len, uac2 ? 8 : 7, "class-specific endpoint");
                }
            } else {
                Problem(at, "unexpected descriptor type " + std::to_string(type));
            }
            at += len;
        }
        CloseInterface(at);
        if (b[4] != numbers.size())
            Problem(0, "bNumInterfaces " + std::to_string(b[4]) + " but " + std::to_string(numbers.size()) + " interfaces");
    }
};

}  // namespace

std::vector<std::string> CheckConfiguration(const std::vector<std::uint8_t>& configuration) {
    Checker checker{configuration, {}};
    checker.Run();
    return checker.problems;
}

ExactBuffer::ExactBuffer(const std::vector<std::uint8_t>& bytes)
    : data_(new std::uint8_t[bytes.size()]), size_(static_cast<std::uint32_t>(bytes.size())) {
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
}

ExactBuffer::~ExactBuffer() { delete[] data_; }

}  // namespace usbtest

// An independent checker for configuration descriptors, used to hold the
// profile builder to the class documents: one rule per (interface kind,
// class version, subtype) that recomputes each descriptor's length from its
// own counts, plus the totals (wTotalLength of the configuration, of the
// AudioControl and MIDI headers, bNumInterfaces, bNumEndpoints).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbtest {

// Every rule the configuration breaks, one line each; empty when it is
// well formed.
std::vector<std::string> CheckConfiguration(const std::vector<std::uint8_t>& configuration);

// Copies `bytes` into a heap block of exactly that size, so that a read one
// byte past the end trips AddressSanitizer.
class ExactBuffer {
public:
    explicit ExactBuffer(const std::vector<std::uint8_t>& bytes);
    ~ExactBuffer();
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;
    std::uint8_t* data() const { return data_; }
    std::uint32_t size() const { return size_; }

private:
    std::uint8_t* data_;
    std::uint32_t size_;
};

}  // namespace usbtest

// A minimal USB bus driver for the fuzz targets: one physical device object
// that answers descriptor requests from fixed bytes, class requests with
// bytes taken from the same input, and configuration and interface
// selection with the pipes the configuration bytes describe. It serves what
// the device model asks and fails everything else, as a bus driver would.
#pragma once

#include "platform/io/device.h"

#include <cstdint>
#include <vector>

namespace fuzz {

struct FakeDevice {
    std::uint16_t vendorId = 0x1209;
    bool superSpeed = false;
    bool highSpeed = true;  // false with superSpeed false: full speed
    // Returned for GET_DESCRIPTOR(CONFIGURATION), cut to the length asked.
    std::vector<std::uint8_t> configuration;
    // Cycled through to answer class and vendor GET requests.
    std::vector<std::uint8_t> answers;
};

class FakeBus {
public:
    FakeBus();
    ~FakeBus();
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    // The PDO now answers as `device` (which must outlive the requests).
    DEVICE_OBJECT* Pdo(const FakeDevice* device);

private:
    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* pdo_ = nullptr;
};

}  // namespace fuzz

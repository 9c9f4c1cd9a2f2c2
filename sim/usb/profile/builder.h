// Serialises a Description into the device's descriptor bytes.
//
// Every length is computed from the parts: the configuration's wTotalLength
// and bNumInterfaces, the AudioControl header's wTotalLength (header plus
// entities), the MIDI header's wTotalLength, bNumEndpoints of each setting.
// Layout of the configuration, in order:
//   configuration
//   [interface association]            when Description::interfaceAssociation
//   AudioControl interface
//     class-specific header, entities
//   per streaming interface: setting 0 (no endpoints), then each setting:
//     interface, AS_GENERAL, FORMAT_TYPE, data endpoint [+ companion],
//     class-specific endpoint, [feedback endpoint [+ companion]]
//   [MIDI streaming interface]
//     MS header, IN jacks, OUT jacks,
//     bulk OUT endpoint [+ companion], MS_GENERAL, bulk IN endpoint [+ companion], MS_GENERAL
//   extra interfaces with their endpoints
// At SuperSpeed every endpoint is followed by its companion descriptor.
#pragma once

#include "sim/usb/profile/description.h"
#include "sim/usb/profile/descriptor_set.h"

namespace sim::usb {

DescriptorSet BuildDescriptorSet(const Description& description);

}  // namespace sim::usb

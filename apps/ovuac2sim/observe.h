// What the simulator reads back from the machine after the driver started:
// the device model, the filter description, the subdevices, the published
// clock sources, the driver's trace.
#pragma once

#include "apps/ovuac2sim/report/report.h"
#include "driver/core/audio_device.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ovusim {

void DescribeDevice(UsbAudioDevice& model, DeviceInfo* device);
// The filter description the system audio engine would get at `rate`.
FilterInfo DescribeFilter(UsbAudioDevice& model, ULONG rate);
// Registered subdevices of the device first, then the ones that failed.
std::vector<SubdeviceReport> DescribeSubdevices(sim::Machine& machine, DEVICE_OBJECT* fdo);
// The clock-source device properties as the driver left them.
ClockInfo DescribeClockSources(sim::Machine& machine, sim::PnpNode* node);

// The driver's trace lines from line `from` of the machine's trace on, at
// `level` or more severe; the last `count` of them when count is nonzero.
std::vector<std::string> DriverTrace(sim::Machine& machine, std::size_t from, UCHAR level, std::size_t count = 0);
std::size_t TraceMark(sim::Machine& machine);

}  // namespace ovusim

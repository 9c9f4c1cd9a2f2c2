// Streaming both directions through the driver's engine for the asked time
// on the device clock, and what the device and the driver counted.
#pragma once

#include "apps/ovuac2sim/options.h"
#include "apps/ovuac2sim/report/report.h"
#include "driver/adapter/adapter.h"
#include "sim/machine.h"
#include "sim/usb/device/virtual_device.h"

namespace ovusim {

// Starts the engine through the adapter's stream-control interface (as the
// "\asio" handles will), streams, stops, and fills the report's stream
// start, set-up, counters and counter-pattern check.
void Stream(sim::Machine& machine, sim::usb::VirtualDevice& device, AdapterCommon& adapter, const Options& options,
            Report* report);

}  // namespace ovusim

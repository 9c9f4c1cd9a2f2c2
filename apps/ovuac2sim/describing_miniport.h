// The simulator's "Wave" miniport for as long as the package has no WaveRT
// miniport of its own. It does what the system audio engine needs to see of
// the device and nothing more: it hands PortCls the filter description at
// the adapter's current rate (so the machine builds the device's render and
// capture endpoint records, whose stored formats the driver's ASIO start
// reads), serves the node and sample-rate properties through the driver's
// own handlers, registers with the adapter and withdraws its subdevice when
// the rate changes. It creates no streams: NewStream is refused with
// STATUS_NOT_SUPPORTED, because system-audio streaming is not built yet.
#pragma once

#include "platform/kernel/pool.h"
#include "platform/portcls/portcls.h"

namespace ovusim {

// A miniport factory for the driver's services table.
NTSTATUS CreateDescribingWaveMiniport(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown,
                                      POOL_TYPE poolType);

}  // namespace ovusim

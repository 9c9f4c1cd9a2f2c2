// A system-audio test miniport: it registers with the adapter at its Init
// and withdraws its "Wave" subdevice when the adapter asks (a rate change),
// as the WaveRT miniport does, and describes an empty filter. Its subdevice
// makes the machine build the device's endpoint records.
#pragma once

#include "platform/portcls/portcls.h"

namespace test_support {

// How many test miniports live, and how often one registered.
struct WaveMiniportCounts {
    int live = 0;
    int registered = 0;
    bool registerWithAdapter = true;  // false: the adapter never learns of it
};
WaveMiniportCounts& WaveMiniports();

// The miniport factory of the driver's "Wave" slot.
NTSTATUS NewWaveMiniport(PUNKNOWN* miniport, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType);

}  // namespace test_support

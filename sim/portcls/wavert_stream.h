// The port side of a WaveRT stream: the cyclic buffer's pages. The WaveRT
// port creates one per pin instance and hands it to
// IMiniportWaveRT::NewStream; until pin instantiation exists, the simulator
// and the tests of a miniport's stream create one directly.
#pragma once

#include "platform/portcls/portcls.h"

namespace sim::portcls {

// Referenced (release it when done); null when the pool fails. Every buffer
// it allocated must be freed before the last release.
IPortWaveRTStream* NewPortWaveRTStream();

}  // namespace sim::portcls

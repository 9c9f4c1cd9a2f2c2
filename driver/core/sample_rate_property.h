// The filter's driver-private sample-rate property: read the current rate
// and the bus speed's limits, or change the rate as a kernel-streaming
// client. The system's own clients change the rate through the "\asio"
// handle instead; this is for other kernel-streaming clients.
#pragma once

#include "driver/core/adapter_interfaces.h"
#include "platform/portcls/portcls.h"

// {E5B1C7A2-4F83-4D19-B6E0-2C9A8D3F7154}
inline constexpr GUID KSPROPSETID_DeviceSampleRate = {
    0xe5b1c7a2, 0x4f83, 0x4d19, {0xb6, 0xe0, 0x2c, 0x9a, 0x8d, 0x3f, 0x71, 0x54}};
inline constexpr ULONG KSPROPERTY_DEVICESAMPLERATE = 5;
// The verbs the automation table's item declares.
inline constexpr ULONG kSampleRatePropertyFlags = PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET;

// What get returns.
struct DeviceSampleRateValue {
    ULONG currentRate;
    ULONG lowestRate;
    ULONG highestRate;
    ULONG flags;  // 0: no optional capabilities
};
static_assert(sizeof(DeviceSampleRateValue) == 16);

// Serves a request of the set on `adapter` (the miniport's handler passes
// its adapter). Another property id, or another verb:
// STATUS_INVALID_DEVICE_REQUEST. Get needs 16 bytes of value (0 bytes:
// STATUS_BUFFER_OVERFLOW with the size needed; fewer:
// STATUS_BUFFER_TOO_SMALL) and sets ValueSize to 16; set takes a ULONG rate
// (at least 4 bytes) and changes the rate unforced. PASSIVE_LEVEL.
NTSTATUS SampleRateProperty(IAdapterCommon& adapter, PCPROPERTY_REQUEST* request);

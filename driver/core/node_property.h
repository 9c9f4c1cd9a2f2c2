// The volume and mute properties of the feature-unit nodes: kernel-streaming
// requests translated into the unit's class requests (GET RANGE, GET CUR and
// SET CUR of volume, GET CUR and SET CUR of the master mute).
//
// PASSIVE_LEVEL (the class requests are synchronous); the adapter
// serialises calls with its other device operations. No state is kept
// between requests: the device holds the values.
#pragma once

#include "driver/core/audio_device.h"
#include "driver/core/filter_description.h"
#include "platform/base/ntstatus.h"
#include "platform/portcls/portcls.h"

// Access flags of both properties: basic support, get and set.
inline constexpr ULONG kNodePropertyAccess =
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;

// Serves KSPROPERTY_AUDIO_VOLUMELEVEL and KSPROPERTY_AUDIO_MUTE on node
// request->Node of `description` (which may be null: no node then). The
// request's instance starts with the channel (LONG; property channel c is
// the unit's channel c + 1); the value is a LONG in 1/65536 dB or a BOOL.
//
// Node -1 or another property: STATUS_UNSUCCESSFUL. A node that is no
// feature unit of `device`: STATUS_UNSUCCESSFUL for basic support,
// STATUS_INVALID_PARAMETER otherwise. A channel out of range:
// STATUS_INVALID_PARAMETER. Get and set need 4 bytes of instance
// (STATUS_INVALID_BUFFER_SIZE) and of value (0 bytes: STATUS_BUFFER_OVERFLOW
// with the size needed, fewer: STATUS_BUFFER_TOO_SMALL). A failed class
// request is returned as it is. request->ValueSize is set to the bytes
// returned.
NTSTATUS NodeProperty(UsbAudioDevice& device, const FilterDescription* description, PCPROPERTY_REQUEST* request);

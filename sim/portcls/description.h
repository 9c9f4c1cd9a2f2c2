// Reading a miniport's filter description: its records are strided by the
// sizes the description gives (drivers append their own fields), and none
// of it is trusted before DescriptionFault has checked it.
#pragma once

#include "platform/portcls/portcls.h"

namespace sim::portcls {

// What makes the description unusable (a text naming the record), or null.
// Checked once, when a port takes the description.
const char* DescriptionFault(const PCFILTER_DESCRIPTOR& description);

inline const PCPIN_DESCRIPTOR& PinAt(const PCFILTER_DESCRIPTOR& description, ULONG index) {
    return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(description.Pins) +
                                                      static_cast<SIZE_T>(index) * description.PinSize);
}

inline const PCNODE_DESCRIPTOR& NodeAt(const PCFILTER_DESCRIPTOR& description, ULONG index) {
    return *reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(description.Nodes) +
                                                       static_cast<SIZE_T>(index) * description.NodeSize);
}

// The item for (set, id) in `table` (null table: none).
const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id);
// Whether `table` has any item of `set`.
bool HasPropertySet(const PCAUTOMATION_TABLE* table, const GUID& set);

// The device-interface categories of a subdevice: the description's own when
// it lists any, else KSCATEGORY_AUDIO, KSCATEGORY_RENDER when a streaming pin
// takes data in, KSCATEGORY_CAPTURE when one gives data out, and for WaveRT
// filters KSCATEGORY_REALTIME. Returns the count written (at most `capacity`;
// more categories than that is STATUS_INVALID_PARAMETER for the caller).
ULONG SubdeviceCategories(const PCFILTER_DESCRIPTOR& description, bool waveRt, GUID* out, ULONG capacity);

}  // namespace sim::portcls

// The filter description the WaveRT miniport hands PortCls, built from the
// descriptor model: one pin per AudioControl terminal, one node per
// converter, readable feature-unit control and other unit, and the
// connections of two chains (capture and render). Also the streaming pins'
// data-range lists and the range check the miniport's data intersection
// uses.
//
// The adapter owns a FilterDescription (zero-filled, at a fixed address:
// the node automation tables inside it are pointed at by the nodes). Build
// and free run at PASSIVE_LEVEL under the adapter's mutex; the lookups only
// read, at any IRQL, while the description is built.
#pragma once

#include "driver/core/audio_device.h"
#include "driver/core/audio_formats_table.h"
#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/kernel/pool.h"
#include "platform/ks/ksmedia.h"
#include "platform/portcls/portcls.h"

#include <cstddef>

// The copied data-range arrays of the streaming pins; every other block of
// the description is kUsbPoolTag ("USBA").
inline constexpr ULONG kFilterRangePoolTag = PoolTag("datr");

enum class FilterElementKind : ULONG { Pin, Node };

// A pin's or node's place in its chain. Chains are singly linked, from the
// upstream end.
struct FilterElement {
    FilterElement* Next;
    // The terminal or unit the element stands for; null for the ADC and DAC.
    AudioEntity* Entity;
    ULONG Number;  // pin or node number
    FilterElementKind Kind;
};

// PCPIN_DESCRIPTOR followed by the driver's own fields (PinSize is this
// record's size).
struct FilterPin {
    PCPIN_DESCRIPTOR Descriptor;
    FilterElement Element;
};
static_assert(offsetof(FilterPin, Descriptor) == 0);

// PCNODE_DESCRIPTOR followed by the driver's own fields.
struct FilterNode {
    PCNODE_DESCRIPTOR Descriptor;
    FilterElement Element;
};
static_assert(offsetof(FilterNode, Descriptor) == 0);

// The entries of the direction's pin table (at the device's speed) whose
// rate range holds the current rate. Entries point into the static table.
struct PinRangeList {
    const KSDATARANGE_AUDIO** Entries;
    ULONG Count;
};

struct FilterDescription {
    // What PortCls gets; its Pins, Nodes and Connections are the arrays
    // below and its counts are the only ones.
    PCFILTER_DESCRIPTOR Filter;
    FilterPin* Pins;
    FilterNode* Nodes;
    PCCONNECTION_DESCRIPTOR* Connections;
    FilterElement* CaptureChain;
    FilterElement* RenderChain;
    PinRangeList PlaybackRanges;
    PinRangeList CaptureRanges;
    // The node automation: one property each, served by the miniport's
    // handler.
    PCPROPERTY_ITEM MuteProperty;
    PCPROPERTY_ITEM VolumeProperty;
    PCAUTOMATION_TABLE MuteAutomation;
    PCAUTOMATION_TABLE VolumeAutomation;
};

// Replaces `list` with the entries of the pin table for the stream's
// direction at `busSpeed` whose rate range holds `rate`. An empty result is
// not an error (the description build refuses it). STATUS_UNSUCCESSFUL when
// the speed has no table, STATUS_INSUFFICIENT_RESOURCES without pool; on
// failure the list is empty.
NTSTATUS BuildPinRanges(const StreamingInterface& stream, ULONG busSpeed, ULONG rate, PinRangeList* list);
void FreePinRanges(PinRangeList* list);

// Builds the description of `device` at the current sample rate `rate`.
// `nodeHandler` serves the mute and volume node properties (it forwards to
// NodeProperty); `filterAutomation` (optional) becomes the filter's own
// automation table. Whatever `description` held is freed first. On failure
// nothing stays allocated and the description is zero.
NTSTATUS BuildFilterDescription(UsbAudioDevice& device, ULONG rate, PCPFNPROPERTY_HANDLER nodeHandler,
                                const PCAUTOMATION_TABLE* filterAutomation, FilterDescription* description);

// Frees every block of the description (streaming pins' range copies, pin,
// node and connection arrays, the pin range lists) and zeroes it. Safe on a
// zeroed or partly built description.
void FreeFilterDescription(FilterDescription* description);

// The range check of the data intersection: the first entry of the
// direction's pin list with `channels` as its maximum channel count (or more
// than 2 when 2 are asked for) whose bit range lies in [minBits, maxBits] and
// whose rate range lies in [minRate, maxRate]. STATUS_NO_MATCH when none.
NTSTATUS FindPinRange(const FilterDescription& description, bool capture, ULONG channels, ULONG minBits,
                      ULONG maxBits, ULONG minRate, ULONG maxRate, const KSDATARANGE_AUDIO** match = nullptr);

// Whether pin `pinId` is a streaming pin; `capture` (optional) gets its
// direction.
bool IsStreamingPin(const FilterDescription& description, ULONG pinId, bool* capture = nullptr);

// The feature unit node `nodeId` stands for, or null: no description, an id
// at or beyond the node count, a converter node, a node of another unit.
FeatureUnit* FilterNodeFeatureUnit(const FilterDescription* description, ULONG nodeId);

// Writes the chains to the driver's trace when filter tracing is on.
void TraceFilterDescription(const FilterDescription& description);

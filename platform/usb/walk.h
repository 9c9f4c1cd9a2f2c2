// Bounded walks over a descriptor buffer.
//
// A configuration descriptor comes from a device we do not control, so every
// step is checked against the end of the data: the configuration's
// wTotalLength clamped to the bytes actually held. A descriptor whose bLength
// is below 2, or one that would run past the end, is the end of valid data:
// the walk stops there and never reads past it.
//
// Positions follow the USBD convention: a search "from" a position looks at
// the descriptor at that position first. Step past a descriptor with
// UsbNextDescriptor.
//
// Pure functions; callable at any IRQL.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/descriptors.h"

// The bytes a walk may look at: [begin, end).
struct UsbDescriptorRange {
    const UCHAR* begin = nullptr;
    const UCHAR* end = nullptr;
};

// Any buffer of `length` bytes.
UsbDescriptorRange UsbBufferRange(const void* buffer, ULONG length);

// A configuration descriptor held in a buffer of `bufferLength` bytes: its
// wTotalLength bytes, or fewer when the buffer is shorter. An empty range when
// the buffer cannot hold the 9-byte configuration descriptor itself.
UsbDescriptorRange UsbConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration, ULONG bufferLength);

// The same, trusting that the buffer holds wTotalLength bytes (what the USBD
// routines with the Windows signatures must assume).
UsbDescriptorRange UsbConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration);

// `position` as a descriptor when one whole, valid descriptor starts there
// (inside the range, bLength >= 2, not running past the end); else nullptr.
const USB_COMMON_DESCRIPTOR* UsbDescriptorAt(UsbDescriptorRange range, const void* position);

// The descriptor after the one at `current` (any descriptor record: the
// walk re-validates it), or nullptr at the end of valid data.
const USB_COMMON_DESCRIPTOR* UsbNextDescriptor(UsbDescriptorRange range, const void* current);

// Options of UsbFindDescriptor.
inline constexpr LONG USB_ANY_SUBTYPE = -1;

// The first descriptor at or after `from` of type `type` and, unless
// `subtype` is USB_ANY_SUBTYPE, whose byte 2 equals `subtype` (a descriptor
// shorter than 3 bytes has no subtype and never matches one). With
// `stopAtInterface` the search covers one interface's descriptors: it ends
// (nullptr) at the next standard interface descriptor that is not itself
// the match, not counting one at `from` (so `from` may be the interface
// descriptor whose scope is searched).
const USB_COMMON_DESCRIPTOR* UsbFindDescriptor(UsbDescriptorRange range, const void* from, UCHAR type,
                                               LONG subtype = USB_ANY_SUBTYPE, bool stopAtInterface = false);

// The first standard interface descriptor after `current` (which is not
// itself considered); interface descriptors shorter than 9 bytes are
// skipped as malformed.
const USB_INTERFACE_DESCRIPTOR* UsbNextInterfaceDescriptor(UsbDescriptorRange range, const void* current);

// `descriptor` as T when its bLength covers all of T's fixed fields; else
// nullptr. Use after the walk has validated `descriptor`.
template <class T>
const T* UsbDescriptorAs(const USB_COMMON_DESCRIPTOR* descriptor) {
    if (descriptor == nullptr || descriptor->bLength < sizeof(T)) return nullptr;
    return reinterpret_cast<const T*>(descriptor);
}

// Offset of `position` from the start of the range, or -1 outside it.
LONG UsbDescriptorOffset(UsbDescriptorRange range, const void* position);

// Whether `length` bytes starting at `position` lie inside the range (for a
// class-specific block announced by its header's wTotalLength).
bool UsbRangeHolds(UsbDescriptorRange range, const void* position, ULONG length);

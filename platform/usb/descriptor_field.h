// Bounded reads of the variable parts of class-specific descriptors.
//
// A class-specific descriptor's fixed header is a packed struct; what
// follows (source-id arrays, per-channel control bitmaps, frequency lists)
// depends on counts inside the descriptor. Those counts come from a device
// we do not control, so every read of the variable part goes through here
// and never touches a byte at or beyond the descriptor's own bLength. The
// walker (platform/usb/walk.h) has already guaranteed that bLength bytes
// lie inside the buffer.
#pragma once

#include "platform/base/types.h"

// The `width` (1 to 4) bytes at `offset`, little-endian, when they all lie
// below the descriptor's bLength; otherwise `fallback`.
inline ULONG UsbDescriptorField(const void* descriptor, ULONG offset, ULONG width, ULONG fallback = 0) {
    const auto* bytes = static_cast<const UCHAR*>(descriptor);
    const ULONG length = bytes[0];
    if (width == 0 || width > 4 || offset >= length || width > length - offset) return fallback;
    ULONG value = 0;
    for (ULONG i = 0; i < width; ++i) value |= static_cast<ULONG>(bytes[offset + i]) << (8 * i);
    return value;
}

// One byte at `offset`, or 0 when it lies at or beyond bLength. Zero is
// never a valid entity id, string index or count, so a caller that forgets
// to check the count still reads a harmless value.
inline UCHAR UsbDescriptorByte(const void* descriptor, ULONG offset) {
    return static_cast<UCHAR>(UsbDescriptorField(descriptor, offset, 1, 0));
}

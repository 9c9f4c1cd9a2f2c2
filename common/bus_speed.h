// Bus speed codes, as IOCTL_UAC2_GET_USB_SPEED reports them, and the rate
// classes that the margin and format tables are indexed by.
#pragma once

#include "platform/base/types.h"

inline constexpr ULONG kBusSpeedSuper = 3;
inline constexpr ULONG kBusSpeedHigh = 2;
inline constexpr ULONG kBusSpeedFull = 0;  // and any other value

// 0 below 50000 Hz, 1 from 50000 to 99999 Hz, 2 from 100000 Hz.
constexpr unsigned RateClass(ULONG rate) { return rate < 50000 ? 0 : rate < 100000 ? 1 : 2; }

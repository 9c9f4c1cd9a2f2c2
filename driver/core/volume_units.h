// Volume units on both sides of the driver: the device's feature-unit
// volume is a signed 16-bit value in 1/256 dB with 0x8000 for minus
// infinity; kernel streaming uses a signed 32-bit value in 1/65536 dB with
// 0x80000000 for minus infinity. Every conversion lives here.
#pragma once

#include "platform/base/types.h"

inline constexpr SHORT kUsbVolumeMinusInfinity = static_cast<SHORT>(0x8000);
inline constexpr LONG kKsVolumeMinusInfinity = static_cast<LONG>(0x80000000u);
// One device unit (1/256 dB) in kernel-streaming units.
inline constexpr LONG kKsVolumePerUsbUnit = 256;

// Device units up: exact, minus infinity stays minus infinity.
constexpr LONG UsbVolumeToKs(SHORT volume) {
    return volume == kUsbVolumeMinusInfinity ? kKsVolumeMinusInfinity : static_cast<LONG>(volume) * kKsVolumePerUsbUnit;
}

// Kernel-streaming units down to the nearest device unit, halves away from
// zero, so that a value read with UsbVolumeToKs converts back to itself.
// Only minus infinity becomes 0x8000; anything else saturates to
// -32767..32767.
constexpr SHORT KsVolumeToUsb(LONG volume) {
    if (volume == kKsVolumeMinusInfinity) return kUsbVolumeMinusInfinity;
    const LONGLONG half = kKsVolumePerUsbUnit / 2;
    const LONGLONG v = volume;
    LONGLONG units = (v >= 0 ? v + half : v - half) / kKsVolumePerUsbUnit;
    if (units > 32767) units = 32767;
    if (units < -32767) units = -32767;
    return static_cast<SHORT>(units);
}

// `volume` rounded to the nearest multiple of `step` (halves away from
// zero), saturated to the LONG range; unchanged for a step of 0.
constexpr LONG RoundVolumeToStep(LONG volume, ULONG step) {
    if (step == 0) return volume;
    const LONGLONG s = step;
    const LONGLONG v = volume;
    const LONGLONG rest = v % s;  // carries the sign of v
    if (rest == 0) return volume;
    LONGLONG rounded = v - rest;
    const LONGLONG away = rest < 0 ? -rest : rest;
    if (2 * away >= s) rounded += v < 0 ? -s : s;
    if (rounded > 0x7FFFFFFFLL) rounded = 0x7FFFFFFFLL;
    if (rounded < -0x80000000LL) rounded = -0x80000000LL;
    return static_cast<LONG>(rounded);
}

// Kernel time. System time and interrupt time count 100 ns units (system
// time from 1601-01-01 UTC, interrupt time from boot); the performance
// counter runs at 10 MHz. In the simulator all of them read the machine
// clock.
//
// The driver uses KeQuerySystemTime, KeQueryInterruptTime,
// KeQueryPerformanceCounter and KeQueryTickCount. On x64 the first two and
// the tick count are macros over the shared user data page; here they are
// inlines of the same names over the exported precise routines (Windows 8.1
// and later), which read the same clocks.
#pragma once

#include "platform/base/types.h"

using PLARGE_INTEGER = LARGE_INTEGER*;

extern "C" void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime);
extern "C" ULONGLONG KeQueryInterruptTimePrecise(ULONG64* qpcTimeStamp);
// Returns the counter; stores its frequency when `performanceFrequency` is
// not null.
extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
// 100 ns units per clock tick.
extern "C" ULONG KeQueryTimeIncrement();

inline void KeQuerySystemTime(PLARGE_INTEGER currentTime) { KeQuerySystemTimePrecise(currentTime); }
inline ULONGLONG KeQueryInterruptTime() { return KeQueryInterruptTimePrecise(nullptr); }
// Clock ticks since boot, one per KeQueryTimeIncrement().
inline void KeQueryTickCount(PLARGE_INTEGER tickCount) {
    tickCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / KeQueryTimeIncrement());
}

// Kernel time. System time and interrupt time count 100 ns units (system
// time from 1601-01-01 UTC, interrupt time from boot); the performance
// counter runs at 10 MHz. Kernel time is the host's real (steady) time.
#pragma once

#include "platform/base/types.h"

using PLARGE_INTEGER = LARGE_INTEGER*;

void KeQuerySystemTime(PLARGE_INTEGER currentTime);
void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime);
ULONGLONG KeQueryInterruptTime();
ULONGLONG KeQueryInterruptTimePrecise(ULONG64* qpcTimeStamp);
// Returns the counter; stores its frequency when `performanceFrequency` is
// not null.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);
// Clock ticks since boot, one per KeQueryTimeIncrement() (100 ns units).
void KeQueryTickCount(PLARGE_INTEGER tickCount);
ULONG KeQueryTimeIncrement();

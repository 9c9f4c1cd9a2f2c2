// The clocks behind kernel and user time: system time follows the machine
// clock (sim/kernel/clock.h) from the wall-clock time the process started
// at, so it never jumps back; the interrupt time and tick count count from
// the machine's boot.
#pragma once

#include "platform/base/types.h"

#include <chrono>

namespace sim {

// 100 ns units since 1601-01-01 UTC.
LONGLONG SystemTimeNow();

// 100 ns units between two steady time points.
inline LONGLONG HundredNs(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

// The calling machine's boot instant (the process start when the thread runs
// on no machine).
std::chrono::steady_clock::time_point BootTime();

}  // namespace sim

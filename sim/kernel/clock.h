// A machine's clock: the one time base of kernel and user mode (waits and
// their time-outs, KeQuery*Time, GetTickCount, timeGetTime, Sleep). It is
// the host's steady time plus an offset that only grows: Skip moves the
// machine forward at once and wakes every timed wait, so a program's 10 s
// give-up or 100 ms retry runs in a test without anyone waiting for it.
//
// The virtual USB devices keep their own sample clocks; Skip does not move
// them.
#pragma once

#include <atomic>
#include <chrono>

namespace sim {

class Clock {
public:
    using time_point = std::chrono::steady_clock::time_point;
    using duration = std::chrono::steady_clock::duration;

    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    time_point Now() const { return std::chrono::steady_clock::now() + Offset(); }
    duration Offset() const { return duration(offset_.load(std::memory_order_acquire)); }
    // The host instant at which this clock reads `machineTime`.
    time_point HostTime(time_point machineTime) const { return machineTime - Offset(); }

    // Moves the clock forward by `amount` and wakes every timed wait, which
    // then sees its deadline against the new time.
    void Skip(std::chrono::milliseconds amount);
    // Time skipped so far.
    duration Skipped() const { return Offset(); }

private:
    std::atomic<duration::rep> offset_{0};
};

// The calling thread's machine clock, or null when it runs on no machine.
const Clock* CurrentClock();
// Now on the calling thread's machine (host steady time on no machine).
Clock::time_point MachineNow();

}  // namespace sim

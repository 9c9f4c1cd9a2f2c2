#include "platform/kernel/time.h"

#include "sim/kernel/clock.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/time_base.h"
#include "sim/machine.h"

namespace sim {

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr LONGLONG kEpochDifferenceSeconds = 11644473600LL;

struct Origin {
    std::chrono::steady_clock::time_point steady = std::chrono::steady_clock::now();
    LONGLONG system = kEpochDifferenceSeconds * 10'000'000LL +
                      std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                              .count() /
                          100;
};

const Origin& ProcessOrigin() {
    static const Origin origin;
    return origin;
}

}  // namespace

LONGLONG SystemTimeNow() {
    const Origin& origin = ProcessOrigin();
    return origin.system + HundredNs(MachineNow() - origin.steady);
}

std::chrono::steady_clock::time_point BootTime() {
    Machine* machine = Machine::Current();
    return machine != nullptr ? machine->kernel().BootTime() : ProcessOrigin().steady;
}

}  // namespace sim

namespace {

constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms, the default clock tick
constexpr LONGLONG kPerformanceFrequency = 10'000'000;

LONGLONG SinceBoot() { return sim::HundredNs(sim::MachineNow() - sim::BootTime()); }

}  // namespace

void KeQuerySystemTimePrecise(PLARGE_INTEGER currentTime) { currentTime->QuadPart = sim::SystemTimeNow(); }

ULONGLONG KeQueryInterruptTimePrecise(ULONG64* qpcTimeStamp) {
    const LONGLONG now = SinceBoot();
    if (qpcTimeStamp != nullptr) *qpcTimeStamp = static_cast<ULONG64>(now);  // both count 100 ns
    return static_cast<ULONGLONG>(now);
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency) {
    if (performanceFrequency != nullptr) performanceFrequency->QuadPart = kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = SinceBoot();  // 10 MHz: one count per 100 ns
    return counter;
}

ULONG KeQueryTimeIncrement() { return kTimeIncrement; }

#include "sim/kernel/clock.h"

#include "sim/kernel/dispatcher.h"
#include "sim/machine.h"

namespace sim {

void Clock::Skip(std::chrono::milliseconds amount) {
    if (amount.count() <= 0) return;
    offset_.fetch_add(std::chrono::duration_cast<duration>(amount).count(), std::memory_order_acq_rel);
    WakeTimedWaits();
}

const Clock* CurrentClock() {
    Machine* machine = Machine::Current();
    return machine != nullptr ? &machine->clock() : nullptr;
}

Clock::time_point MachineNow() {
    const Clock* clock = CurrentClock();
    return clock != nullptr ? clock->Now() : std::chrono::steady_clock::now();
}

}  // namespace sim

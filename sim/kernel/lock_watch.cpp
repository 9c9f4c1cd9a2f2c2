#include "sim/kernel/lock_watch.h"

#include <atomic>
#include <ctime>

namespace sim {
namespace {

constexpr int kSlots = 4;

struct Slot {
    std::atomic<PKSPIN_LOCK> lock{nullptr};
    std::atomic<std::uint64_t> acquisitions{0};
    std::atomic<std::int64_t> longestHold{0};
};

Slot g_slots[kSlots];
std::atomic<int> g_watched{0};

void Reset(Slot& slot) {
    slot.acquisitions = 0;
    slot.longestHold = 0;
}

}  // namespace

bool WatchSpinLock(PKSPIN_LOCK lock) {
    for (Slot& slot : g_slots)
        if (slot.lock.load() == lock) {
            Reset(slot);
            return true;
        }
    for (Slot& slot : g_slots) {
        PKSPIN_LOCK expected = nullptr;
        Reset(slot);
        if (slot.lock.compare_exchange_strong(expected, lock)) {
            ++g_watched;
            return true;
        }
    }
    return false;
}

void UnwatchSpinLock(PKSPIN_LOCK lock) {
    for (Slot& slot : g_slots) {
        PKSPIN_LOCK expected = lock;
        if (slot.lock.compare_exchange_strong(expected, nullptr)) --g_watched;
    }
}

SpinLockStats WatchedSpinLock(PKSPIN_LOCK lock) {
    const int index = SpinLockWatchSlot(lock);
    if (index < 0) return {};
    const Slot& slot = g_slots[index];
    return {slot.acquisitions.load(), std::chrono::nanoseconds(slot.longestHold.load())};
}

int SpinLockWatchSlot(PKSPIN_LOCK lock) {
    if (g_watched.load(std::memory_order_relaxed) == 0) return -1;
    for (int i = 0; i < kSlots; ++i)
        if (g_slots[i].lock.load(std::memory_order_relaxed) == lock) return i;
    return -1;
}

std::int64_t ThreadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void RecordSpinLockAcquire(int slot) { ++g_slots[slot].acquisitions; }

void RecordSpinLockHold(int slot, std::int64_t cpuNanoseconds) {
    std::atomic<std::int64_t>& longest = g_slots[slot].longestHold;
    std::int64_t seen = longest.load();
    while (cpuNanoseconds > seen && !longest.compare_exchange_weak(seen, cpuNanoseconds)) {
    }
}

}  // namespace sim

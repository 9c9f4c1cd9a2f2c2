// Interlocked singly linked lists, guarded by a small table of spin locks
// hashed by header address: exact and ThreadSanitizer-clean, and short
// enough (a few loads and stores) that no holder is ever descheduled long.
#include "sim/kernel/slist.h"

#include "sim/verifier.h"

#include <atomic>
#include <thread>

namespace {

constexpr ULONGLONG kDepthMask = 0xFFFF;
constexpr ULONGLONG kSequenceMask = (ULONGLONG{1} << 48) - 1;
constexpr ULONGLONG kFlagBits = 0xF;  // HeaderType and Init of Region

struct Stripe {
    alignas(64) std::atomic<bool> held{false};
};
Stripe stripes[64];

class StripeLock {
public:
    explicit StripeLock(const SLIST_HEADER* head)
        : stripe_(stripes[(reinterpret_cast<ULONG_PTR>(head) >> 4) % std::size(stripes)]) {
        for (unsigned spins = 0; stripe_.held.exchange(true, std::memory_order_acquire); ++spins)
            if (spins >= 16) std::this_thread::yield();
    }
    ~StripeLock() { stripe_.held.store(false, std::memory_order_release); }
    StripeLock(const StripeLock&) = delete;
    StripeLock& operator=(const StripeLock&) = delete;

private:
    Stripe& stripe_;
};

void CheckHeader(const SLIST_HEADER* head, const char* caller) {
    if ((reinterpret_cast<ULONG_PTR>(head) & 15) != 0)
        sim::VerifierStop("%s on SLIST header %p, which is not 16-byte aligned", caller, static_cast<const void*>(head));
}

SLIST_ENTRY* First(const SLIST_HEADER* head) { return reinterpret_cast<SLIST_ENTRY*>(head->Region & ~kFlagBits); }

USHORT Depth(const SLIST_HEADER* head) { return static_cast<USHORT>(head->Alignment & kDepthMask); }

void SetFirst(SLIST_HEADER* head, SLIST_ENTRY* first, int depthChange) {
    const ULONGLONG depth = ((head->Alignment & kDepthMask) + static_cast<ULONGLONG>(depthChange)) & kDepthMask;
    const ULONGLONG sequence = ((head->Alignment >> 16) + 1) & kSequenceMask;
    head->Alignment = (sequence << 16) | depth;
    head->Region = reinterpret_cast<ULONG_PTR>(first) | (head->Region & kFlagBits);
}

void Push(SLIST_HEADER* head, SLIST_ENTRY* entry) {
    if (Depth(head) == kDepthMask) sim::VerifierStop("SLIST %p holds 65535 entries already", static_cast<void*>(head));
    entry->Next = First(head);
    SetFirst(head, entry, +1);
}

}  // namespace

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry) {
    CheckHeader(head, "InterlockedPushEntrySList");
    if ((reinterpret_cast<ULONG_PTR>(entry) & 15) != 0)
        sim::VerifierStop("InterlockedPushEntrySList of entry %p, which is not 16-byte aligned", static_cast<void*>(entry));
    StripeLock lock(head);
    SLIST_ENTRY* previous = First(head);
    Push(head, entry);
    return previous;
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head) {
    CheckHeader(head, "InterlockedPopEntrySList");
    StripeLock lock(head);
    SLIST_ENTRY* first = First(head);
    if (first != nullptr) SetFirst(head, first->Next, -1);
    return first;
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head) {
    CheckHeader(head, "InterlockedFlushSList");
    StripeLock lock(head);
    SLIST_ENTRY* first = First(head);
    if (first != nullptr) SetFirst(head, nullptr, -static_cast<int>(Depth(head)));
    return first;
}

USHORT QueryDepthSList(PSLIST_HEADER head) {
    CheckHeader(head, "QueryDepthSList");
    StripeLock lock(head);
    return Depth(head);
}

namespace sim {

bool PushEntrySListBelow(SLIST_HEADER* head, SLIST_ENTRY* entry, USHORT limit) {
    StripeLock lock(head);
    if (Depth(head) >= limit) return false;
    Push(head, entry);
    return true;
}

}  // namespace sim

namespace {

LIST_ENTRY* InsertLocked(LIST_ENTRY* head, LIST_ENTRY* entry, PKSPIN_LOCK lock, bool atHead) {
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    LIST_ENTRY* previous = IsListEmpty(head) ? nullptr : (atHead ? head->Flink : head->Blink);
    if (atHead)
        InsertHeadList(head, entry);
    else
        InsertTailList(head, entry);
    KeReleaseSpinLock(lock, old);
    return previous;
}

}  // namespace

LIST_ENTRY* ExInterlockedInsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry, PKSPIN_LOCK lock) {
    return InsertLocked(head, entry, lock, true);
}

LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry, PKSPIN_LOCK lock) {
    return InsertLocked(head, entry, lock, false);
}

LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* head, PKSPIN_LOCK lock) {
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    LIST_ENTRY* entry = IsListEmpty(head) ? nullptr : RemoveHeadList(head);
    KeReleaseSpinLock(lock, old);
    return entry;
}

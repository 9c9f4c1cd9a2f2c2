// Interlocked operations, interlocked singly linked lists (SLIST) and the
// spin-lock-guarded doubly linked list operations (ExInterlocked*List).
//
// Every operation is sequentially consistent, as the x64 locked instructions
// the Windows versions compile to. The exchange-add family returns the value
// before the operation; Increment, Decrement and Add return the new value.
#pragma once

#include "platform/base/list.h"
#include "platform/base/types.h"
#include "platform/kernel/spinlock.h"

inline LONG InterlockedIncrement(volatile LONG* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAdd(volatile LONG* addend, LONG value) { return __atomic_add_fetch(addend, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(volatile LONG* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when *destination == comparand; returns the old value.
inline LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedOr(volatile LONG* destination, LONG value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(volatile LONG* destination, LONG value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(volatile LONG* destination, LONG value) {
    return __atomic_fetch_xor(destination, value, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedIncrement64(volatile LONG64* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(volatile LONG64* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedAdd64(volatile LONG64* addend, LONG64 value) {
    return __atomic_add_fetch(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(volatile LONG64* addend, LONG64 value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(volatile LONG64* target, LONG64 value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(volatile LONG64* destination, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedOr64(volatile LONG64* destination, LONG64 value) {
    return __atomic_fetch_or(destination, value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedAnd64(volatile LONG64* destination, LONG64 value) {
    return __atomic_fetch_and(destination, value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

// Plain loads and stores with ordering, for values other threads change
// (wdm.h's ReadAcquire, WriteRelease, ReadNoFence, WriteNoFence families):
// Acquire and Release order what follows and what precedes; NoFence only
// makes the access whole (no torn 64-bit value), with no order.
inline LONG ReadAcquire(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WriteRelease(volatile LONG* destination, LONG value) { __atomic_store_n(destination, value, __ATOMIC_RELEASE); }
inline LONG64 ReadAcquire64(const volatile LONG64* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WriteRelease64(volatile LONG64* destination, LONG64 value) {
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline LONG64 ReadNoFence64(const volatile LONG64* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline void WriteNoFence64(volatile LONG64* destination, LONG64 value) {
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
inline ULONG ReadULongAcquire(const volatile ULONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline UCHAR ReadUCharNoFence(const volatile UCHAR* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }

// Interlocked singly linked lists. On Win64 entries and headers are 16-byte
// aligned; an entry that is not is a verifier stop when pushed.
struct alignas(16) SLIST_ENTRY {
    SLIST_ENTRY* Next;
};
static_assert(sizeof(SLIST_ENTRY) == 16 && alignof(SLIST_ENTRY) == 16);
using PSLIST_ENTRY = SLIST_ENTRY*;

// The 16-byte header as Win64 lays it out (Header16 form): Depth in bits
// 0-15 and Sequence in bits 16-63 of the first quadword; HeaderType in bit 0
// and the first entry's address (bits 4-63) in the second.
struct alignas(16) SLIST_HEADER {
    ULONGLONG Alignment;
    ULONGLONG Region;
};
static_assert(sizeof(SLIST_HEADER) == 16 && alignof(SLIST_HEADER) == 16);
static_assert(offsetof(SLIST_HEADER, Region) == 8);
using PSLIST_HEADER = SLIST_HEADER*;

inline void InitializeSListHead(PSLIST_HEADER head) {
    head->Alignment = 0;
    head->Region = 1;  // HeaderType: the 16-byte form, empty
}

// Each returns the entry that was first before the call (or null).
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head);
// Detaches the whole chain and returns its first entry.
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head);
USHORT QueryDepthSList(PSLIST_HEADER head);

// Doubly linked list operations under `lock` (any IRQL <= DISPATCH_LEVEL).
// Insert returns the entry that was first (head) or last (tail) before, or
// null when the list was empty; remove returns null on an empty list.
LIST_ENTRY* ExInterlockedInsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry, PKSPIN_LOCK lock);
LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry, PKSPIN_LOCK lock);
LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* head, PKSPIN_LOCK lock);

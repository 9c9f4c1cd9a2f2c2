// Lookaside lists over the SLIST and the machine's pool.
#include "platform/kernel/lookaside.h"

#include "sim/kernel/kernel.h"
#include "sim/kernel/slist.h"
#include "sim/machine.h"
#include "sim/verifier.h"

#include <algorithm>

namespace {

void Count(ULONG* counter) { __atomic_add_fetch(counter, 1, __ATOMIC_RELAXED); }

void Initialize(GENERAL_LOOKASIDE* l, POOL_TYPE type, SIZE_T size, ULONG tag, USHORT depth) {
    if (size > 0xFFFFFFFFu) sim::VerifierStop("lookaside list with entries of %zu bytes", static_cast<std::size_t>(size));
    InitializeSListHead(&l->ListHead);
    l->Depth = std::max(depth, LOOKASIDE_MINIMUM_DEPTH);
    l->MaximumDepth = l->Depth;
    l->TotalAllocates = l->AllocateMisses = l->TotalFrees = l->FreeMisses = 0;
    l->Type = type;
    l->Tag = tag;
    l->Size = static_cast<ULONG>(std::max<SIZE_T>(size, sizeof(SLIST_ENTRY)));
    l->ListEntry = {nullptr, nullptr};
    l->LastTotalAllocates = l->LastAllocateMisses = 0;
    l->Future[0] = l->Future[1] = 0;
}

void CheckIrql(const char* caller, POOL_TYPE type) {
    const KIRQL limit = (static_cast<ULONG>(type) & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL;
    if (KeGetCurrentIrql() > limit) sim::VerifierStop("%s at IRQL %u", caller, KeGetCurrentIrql());
}

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG flags, SIZE_T size, ULONG tag, USHORT depth) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    Initialize(l, (flags & POOL_NX_ALLOCATION) != 0 ? NonPagedPoolNx : NonPagedPool, size, tag, depth);
    l->Allocate = allocate;
    l->Free = free;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    for (SLIST_ENTRY* entry = InterlockedFlushSList(&l->ListHead); entry != nullptr;) {
        SLIST_ENTRY* next = entry->Next;
        if (l->Free != nullptr)
            l->Free(entry);
        else
            ExFreePool(entry);
        entry = next;
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    CheckIrql("ExAllocateFromNPagedLookasideList", l->Type);
    Count(&l->TotalAllocates);
    if (SLIST_ENTRY* entry = InterlockedPopEntrySList(&l->ListHead)) return entry;
    Count(&l->AllocateMisses);
    return l->Allocate != nullptr ? l->Allocate(l->Type, l->Size, l->Tag)
                                  : ExAllocatePoolWithTag(l->Type, l->Size, l->Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    CheckIrql("ExFreeToNPagedLookasideList", l->Type);
    Count(&l->TotalFrees);
    if (sim::PushEntrySListBelow(&l->ListHead, static_cast<SLIST_ENTRY*>(entry), l->Depth)) return;
    Count(&l->FreeMisses);
    if (l->Free != nullptr)
        l->Free(entry);
    else
        ExFreePool(entry);
}

NTSTATUS ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX lookaside, PALLOCATE_FUNCTION_EX allocate,
                                     PFREE_FUNCTION_EX free, POOL_TYPE poolType, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth) {
    (void)flags;
    GENERAL_LOOKASIDE* l = &lookaside->L;
    Initialize(l, poolType, size, tag, depth);
    l->AllocateEx = allocate;
    l->FreeEx = free;
    return STATUS_SUCCESS;
}

void ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX lookaside) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    for (SLIST_ENTRY* entry = InterlockedFlushSList(&l->ListHead); entry != nullptr;) {
        SLIST_ENTRY* next = entry->Next;
        if (l->FreeEx != nullptr)
            l->FreeEx(entry, lookaside);
        else
            ExFreePool(entry);
        entry = next;
    }
}

PVOID ExAllocateFromLookasideListEx(PLOOKASIDE_LIST_EX lookaside) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    CheckIrql("ExAllocateFromLookasideListEx", l->Type);
    Count(&l->TotalAllocates);
    if (SLIST_ENTRY* entry = InterlockedPopEntrySList(&l->ListHead)) return entry;
    Count(&l->AllocateMisses);
    return l->AllocateEx != nullptr ? l->AllocateEx(l->Type, l->Size, l->Tag, lookaside)
                                    : ExAllocatePoolWithTag(l->Type, l->Size, l->Tag);
}

void ExFreeToLookasideListEx(PLOOKASIDE_LIST_EX lookaside, PVOID entry) {
    GENERAL_LOOKASIDE* l = &lookaside->L;
    CheckIrql("ExFreeToLookasideListEx", l->Type);
    Count(&l->TotalFrees);
    if (sim::PushEntrySListBelow(&l->ListHead, static_cast<SLIST_ENTRY*>(entry), l->Depth)) return;
    Count(&l->FreeMisses);
    if (l->FreeEx != nullptr)
        l->FreeEx(entry, lookaside);
    else
        ExFreePool(entry);
}

// Lookaside lists: caches of fixed-size pool blocks. A list keeps up to
// Depth freed blocks and allocates from pool (with the list's tag) when it
// has none. The counters follow Windows: every allocation and free counts,
// and the misses are the ones that reached the pool.
#pragma once

#include "platform/base/list.h"
#include "platform/base/types.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/pool.h"

struct LOOKASIDE_LIST_EX;
using PLOOKASIDE_LIST_EX = LOOKASIDE_LIST_EX*;

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
using PFREE_FUNCTION = void (*)(PVOID buffer);
using PALLOCATE_FUNCTION_EX = PVOID (*)(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag,
                                        PLOOKASIDE_LIST_EX lookaside);
using PFREE_FUNCTION_EX = void (*)(PVOID buffer, PLOOKASIDE_LIST_EX lookaside);

struct alignas(64) GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    union {
        PALLOCATE_FUNCTION_EX AllocateEx;
        PALLOCATE_FUNCTION Allocate;
    };
    union {
        PFREE_FUNCTION_EX FreeEx;
        PFREE_FUNCTION Free;
    };
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
};
static_assert(sizeof(POOL_TYPE) == 4);
static_assert(offsetof(GENERAL_LOOKASIDE, Depth) == 16);
static_assert(offsetof(GENERAL_LOOKASIDE, TotalAllocates) == 20);
static_assert(offsetof(GENERAL_LOOKASIDE, AllocateMisses) == 24);
static_assert(offsetof(GENERAL_LOOKASIDE, TotalFrees) == 28);
static_assert(offsetof(GENERAL_LOOKASIDE, FreeMisses) == 32);
static_assert(offsetof(GENERAL_LOOKASIDE, Type) == 36);
static_assert(offsetof(GENERAL_LOOKASIDE, Tag) == 40);
static_assert(offsetof(GENERAL_LOOKASIDE, Size) == 44);
static_assert(offsetof(GENERAL_LOOKASIDE, Allocate) == 48);
static_assert(offsetof(GENERAL_LOOKASIDE, Free) == 56);
static_assert(offsetof(GENERAL_LOOKASIDE, ListEntry) == 64);
static_assert(offsetof(GENERAL_LOOKASIDE, Future) == 88);
static_assert(sizeof(GENERAL_LOOKASIDE) == 128);

struct alignas(64) NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
};
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 128);
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;

struct LOOKASIDE_LIST_EX {
    GENERAL_LOOKASIDE L;
};
static_assert(sizeof(LOOKASIDE_LIST_EX) == 128);

// The depth a list gets when none (or less) is asked for.
inline constexpr USHORT LOOKASIDE_MINIMUM_DEPTH = 4;

// `allocate`/`free` may be null (the pool is used). `flags` may carry
// POOL_NX_ALLOCATION. Blocks are at least sizeof(SLIST_ENTRY) bytes.
extern "C" void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                                     ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
// Frees every block the list holds; blocks still out stay allocated.
extern "C" void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry);

inline constexpr ULONG EX_LOOKASIDE_LIST_EX_FLAGS_RAISE_ON_FAIL = 0x00000001;
inline constexpr ULONG EX_LOOKASIDE_LIST_EX_FLAGS_FAIL_NO_RAISE = 0x00000002;

extern "C" NTSTATUS ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX lookaside, PALLOCATE_FUNCTION_EX allocate,
                                     PFREE_FUNCTION_EX free, POOL_TYPE poolType, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth);
extern "C" void ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX lookaside);
PVOID ExAllocateFromLookasideListEx(PLOOKASIDE_LIST_EX lookaside);
void ExFreeToLookasideListEx(PLOOKASIDE_LIST_EX lookaside, PVOID entry);

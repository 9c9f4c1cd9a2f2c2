// Executive pool: tagged blocks of non-paged or paged memory.
//
// Non-paged pool may be allocated and freed at IRQL <= DISPATCH_LEVEL, paged
// pool only below DISPATCH_LEVEL. Blocks are 16-byte aligned. A block is
// freed with the tag it was allocated with.
#pragma once

#include <cstring>

#include "platform/base/types.h"

enum POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
};

// Flags of the lookaside and pool-type parameters.
inline constexpr ULONG POOL_RAISE_IF_ALLOCATION_FAILURE = 16;
inline constexpr ULONG POOL_NX_ALLOCATION = 512;

using POOL_FLAGS = ULONG64;
inline constexpr POOL_FLAGS POOL_FLAG_USE_QUOTA = 0x0000000000000001ull;
inline constexpr POOL_FLAGS POOL_FLAG_UNINITIALIZED = 0x0000000000000002ull;
inline constexpr POOL_FLAGS POOL_FLAG_SESSION = 0x0000000000000004ull;
inline constexpr POOL_FLAGS POOL_FLAG_CACHE_ALIGNED = 0x0000000000000008ull;
inline constexpr POOL_FLAGS POOL_FLAG_RAISE_ON_FAILURE = 0x0000000000000020ull;
inline constexpr POOL_FLAGS POOL_FLAG_NON_PAGED = 0x0000000000000040ull;
inline constexpr POOL_FLAGS POOL_FLAG_NON_PAGED_EXECUTE = 0x0000000000000080ull;
inline constexpr POOL_FLAGS POOL_FLAG_PAGED = 0x0000000000000100ull;

// The tag whose bytes in memory spell `text` in order, as pool tools show it:
// PoolTag("USBA") is the multi-character constant 'ABSU'.
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) | (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
           (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}
static_assert(PoolTag("USBA") == 0x41425355u);

// Uninitialised memory; null on failure.
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
// Zeroed memory; null on failure.
// An inline in wdm.h: the tagged allocation, zeroed.
inline PVOID ExAllocatePoolZero(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(poolType, numberOfBytes, tag);
    if (block != nullptr) std::memset(block, 0, numberOfBytes);
    return block;
}
// Exactly one of POOL_FLAG_NON_PAGED, _NON_PAGED_EXECUTE, _PAGED; zeroed
// unless POOL_FLAG_UNINITIALIZED; a non-zero tag. Null on failure.
extern "C" PVOID ExAllocatePool2(POOL_FLAGS flags, SIZE_T numberOfBytes, ULONG tag);

extern "C" void ExFreePoolWithTag(PVOID block, ULONG tag);
extern "C" void ExFreePool(PVOID block);

#include "kernel_test.h"

#include <vector>

namespace {

using kernel_test::KernelTest;

constexpr ULONG kTag = PoolTag("datr");

struct Counters {
    ULONG allocates, allocateMisses, frees, freeMisses;
    bool operator==(const Counters&) const = default;
};

Counters Read(const NPAGED_LOOKASIDE_LIST& list) {
    return {list.L.TotalAllocates, list.L.AllocateMisses, list.L.TotalFrees, list.L.FreeMisses};
}

std::ostream& operator<<(std::ostream& out, const Counters& c) {
    return out << "{allocates " << c.allocates << ", misses " << c.allocateMisses << ", frees " << c.frees
               << ", free misses " << c.freeMisses << "}";
}

TEST_F(KernelTest, LookasideCountersFollowHitsAndMisses) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 40, kTag, 0);
    EXPECT_EQ(list.L.Depth, 4);  // the minimum, for 0
    EXPECT_EQ(list.L.Tag, kTag);
    sim::Pool& pool = kernel.pool();

    std::vector<void*> out;
    for (int i = 0; i < 6; ++i) out.push_back(ExAllocateFromNPagedLookasideList(&list));
    EXPECT_EQ(Read(list), (Counters{6, 6, 0, 0}));
    EXPECT_EQ(pool.Stats(kTag).allocations, 6u);

    for (void* p : out) ExFreeToNPagedLookasideList(&list, p);  // keeps 4
    EXPECT_EQ(Read(list), (Counters{6, 6, 6, 2}));
    EXPECT_EQ(pool.Stats(kTag).liveBlocks, 4u);

    out.clear();
    for (int i = 0; i < 5; ++i) out.push_back(ExAllocateFromNPagedLookasideList(&list));  // 4 hits, 1 miss
    EXPECT_EQ(Read(list), (Counters{11, 7, 6, 2}));
    EXPECT_EQ(pool.Stats(kTag).allocations, 7u);

    for (void* p : out) ExFreeToNPagedLookasideList(&list, p);  // keeps 4 again
    EXPECT_EQ(Read(list), (Counters{11, 7, 11, 3}));

    // Warm, within the depth: a steady allocate/free cycle never reaches the
    // pool, and only the totals move.
    for (int round = 0; round < 10; ++round) {
        void* held[4];
        for (void*& p : held) p = ExAllocateFromNPagedLookasideList(&list);
        for (void* p : held) ExFreeToNPagedLookasideList(&list, p);
    }
    EXPECT_EQ(Read(list), (Counters{51, 7, 51, 3}));
    EXPECT_EQ(pool.Stats(kTag).allocations, 7u);
    EXPECT_EQ(pool.Stats(kTag).frees, 3u);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(pool.Stats(kTag).liveBlocks, 0u);
}

TEST_F(KernelTest, LookasideUsesGivenDepthAndRoutines) {
    static int allocated = 0, freed = 0;
    allocated = freed = 0;
    auto allocate = [](POOL_TYPE type, SIZE_T size, ULONG tag) -> PVOID {
        ++allocated;
        return ExAllocatePoolWithTag(type, size, tag);
    };
    auto release = [](PVOID p) {
        ++freed;
        ExFreePool(p);
    };
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, allocate, release, 0, 24, kTag, 8);
    EXPECT_EQ(list.L.Depth, 8);
    std::vector<void*> out;
    for (int i = 0; i < 10; ++i) out.push_back(ExAllocateFromNPagedLookasideList(&list));
    for (void* p : out) ExFreeToNPagedLookasideList(&list, p);
    EXPECT_EQ(allocated, 10);
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(Read(list), (Counters{10, 10, 10, 2}));
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(freed, 10);
}

TEST_F(KernelTest, LookasideListExKeepsTheSameCounts) {
    LOOKASIDE_LIST_EX list;
    ASSERT_EQ(ExInitializeLookasideListEx(&list, nullptr, nullptr, NonPagedPoolNx, 0, 64, kTag, 0), STATUS_SUCCESS);
    void* a = ExAllocateFromLookasideListEx(&list);
    ExFreeToLookasideListEx(&list, a);
    void* b = ExAllocateFromLookasideListEx(&list);
    EXPECT_EQ(a, b);
    EXPECT_EQ(list.L.TotalAllocates, 2u);
    EXPECT_EQ(list.L.AllocateMisses, 1u);
    ExFreeToLookasideListEx(&list, b);
    ExDeleteLookasideListEx(&list);
    EXPECT_EQ(kernel.pool().LiveBlocks(), 0u);
}

}  // namespace

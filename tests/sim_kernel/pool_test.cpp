#include "kernel_test.h"

#include <cstring>

namespace {

using kernel_test::KernelTest;

constexpr ULONG kUsba = PoolTag("USBA");
constexpr ULONG kPcCr = PoolTag("PcCr");

TEST(PoolTag, BytesInMemorySpellTheTag) {
    const ULONG tag = PoolTag("USBA");
    char bytes[4];
    std::memcpy(bytes, &tag, 4);
    EXPECT_EQ(std::string(bytes, 4), "USBA");
    EXPECT_EQ(sim::Pool::TagText(tag), "USBA");
    EXPECT_EQ(sim::Pool::TagText(0x00414243u), "CBA?");
}

TEST_F(KernelTest, PoolAccountsPerTag) {
    sim::Pool& pool = kernel.pool();
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kUsba);
    void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 28, kUsba);
    void* c = ExAllocatePoolZero(PagedPool, 7, kPcCr);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(b) % 16, 0u);

    sim::PoolTagStats usba = pool.Stats(kUsba);
    EXPECT_EQ(usba.liveBlocks, 2u);
    EXPECT_EQ(usba.liveBytes, 128u);
    EXPECT_EQ(usba.allocations, 2u);
    EXPECT_EQ(pool.LeakReport(), "'PcCr' 1 block, 7 bytes; 'USBA' 2 blocks, 128 bytes");

    ExFreePoolWithTag(a, kUsba);
    ExFreePool(c);
    usba = pool.Stats(kUsba);
    EXPECT_EQ(usba.liveBlocks, 1u);
    EXPECT_EQ(usba.liveBytes, 28u);
    EXPECT_EQ(usba.allocations, 2u);
    EXPECT_EQ(usba.frees, 1u);
    EXPECT_EQ(pool.Stats(kPcCr).liveBlocks, 0u);
    EXPECT_EQ(pool.LeakReport(), "'USBA' 1 block, 28 bytes");
    ExFreePoolWithTag(b, kUsba);
    EXPECT_EQ(pool.LiveBlocks(), 0u);
    EXPECT_EQ(pool.LeakReport(), "");
}

TEST_F(KernelTest, ZeroedUnlessAskedOtherwise) {
    constexpr SIZE_T kSize = 64;
    auto allZero = [](const void* p) {
        const auto* bytes = static_cast<const unsigned char*>(p);
        for (SIZE_T i = 0; i < kSize; ++i)
            if (bytes[i] != 0) return false;
        return true;
    };
    void* pool2 = ExAllocatePool2(POOL_FLAG_NON_PAGED, kSize, kUsba);
    void* zero = ExAllocatePoolZero(NonPagedPoolNx, kSize, kUsba);
    // Uninitialised blocks carry a fill pattern, so code that relies on
    // zeroed memory it did not ask for fails here rather than by luck.
    void* raw = ExAllocatePoolWithTag(NonPagedPoolNx, kSize, kUsba);
    void* rawPool2 = ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, kSize, kUsba);
    EXPECT_TRUE(allZero(pool2));
    EXPECT_TRUE(allZero(zero));
    EXPECT_FALSE(allZero(raw));
    EXPECT_FALSE(allZero(rawPool2));
    for (void* p : {pool2, zero, raw, rawPool2}) ExFreePoolWithTag(p, kUsba);
}

TEST_F(KernelTest, InjectedFailuresHitOnlyTheirTag) {
    sim::Pool& pool = kernel.pool();
    pool.FailNthAllocation(kUsba, 3);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kPcCr);  // does not count
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba);
    void* fourth = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);  // once only
    EXPECT_EQ(pool.Stats(kUsba).failures, 1u);
    EXPECT_EQ(pool.Stats(kUsba).allocations, 3u);

    pool.FailAllAllocations(kPcCr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kPcCr), nullptr);
    EXPECT_EQ(ExAllocatePoolZero(NonPagedPoolNx, 8, kPcCr), nullptr);
    EXPECT_EQ(pool.Stats(kPcCr).failures, 2u);
    pool.ClearFailures();
    void* again = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kPcCr);
    EXPECT_NE(again, nullptr);

    for (void* p : {first, second, fourth}) ExFreePoolWithTag(p, kUsba);
    for (void* p : {other, again}) ExFreePoolWithTag(p, kPcCr);
}

}  // namespace

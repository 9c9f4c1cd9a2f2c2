// Spin locks, interlocked operations and lists across threads.
#include "kernel_test.h"

#include "sim/kernel/lock_watch.h"

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

using kernel_test::KernelTest;

TEST_F(KernelTest, AWatchedLockCountsItsHoldsInTheHoldersCpuTime) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ASSERT_TRUE(sim::WatchSpinLock(&lock));
    const auto cpu = [] { return std::chrono::nanoseconds(sim::ThreadCpuNanoseconds()); };
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    // Two milliseconds of this thread's own work with the lock held.
    const auto until = cpu() + std::chrono::milliseconds(2);
    while (cpu() < until) {
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // a short one
    KeReleaseSpinLock(&lock, old);
    const sim::SpinLockStats stats = sim::WatchedSpinLock(&lock);
    sim::UnwatchSpinLock(&lock);
    EXPECT_EQ(stats.acquisitions, 2u);
    EXPECT_GE(stats.longestHold, std::chrono::milliseconds(2));
    EXPECT_EQ(sim::WatchedSpinLock(&lock).acquisitions, 0u);  // no longer watched
}

TEST(SpinLock, RaisesToDispatchAndRestoresTheCallersLevel) {
    KSPIN_LOCK plain, queued;
    KeInitializeSpinLock(&plain);
    KeInitializeSpinLock(&queued);
    KIRQL old;
    KeAcquireSpinLock(&plain, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&plain));
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&queued, &handle);  // nested: saves DISPATCH_LEVEL
    EXPECT_EQ(handle.OldIrql, DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&plain, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&plain));

    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    KeAcquireInStackQueuedSpinLock(&queued, &handle);
    EXPECT_EQ(handle.OldIrql, APC_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&plain);
    KeReleaseSpinLockFromDpcLevel(&plain);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(apc);
}

TEST(SpinLock, ExcludesOtherThreads) {
    constexpr int kThreads = 4, kRounds = 20000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately plain: the lock is what protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 2 == 0) {
                    KIRQL old;
                    KeAcquireSpinLock(&lock, &old);
                    ++counter;
                    KeReleaseSpinLock(&lock, old);
                } else {
                    KLOCK_QUEUE_HANDLE handle;
                    KeAcquireInStackQueuedSpinLock(&lock, &handle);
                    ++counter;
                    KeReleaseInStackQueuedSpinLock(&handle);
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST(Interlocked, ReturnTheWindowsValues) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 5);
    EXPECT_EQ(InterlockedAdd(&value, 2), 10);
    EXPECT_EQ(InterlockedExchange(&value, 0x0F), 10);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 0), 0x0F);  // no match, unchanged
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 0x0F), 0x0F);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedOr(&value, 6), 1);
    EXPECT_EQ(InterlockedAnd(&value, 3), 7);
    EXPECT_EQ(value, 3);
    volatile LONG64 wide = 1LL << 40;
    EXPECT_EQ(InterlockedExchangeAdd64(&wide, 1), 1LL << 40);
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 7, (1LL << 40) + 1), (1LL << 40) + 1);
    EXPECT_EQ(InterlockedIncrement64(&wide), 8);
    int a = 0, b = 0;
    PVOID volatile pointer = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, &a), &a);
    EXPECT_EQ(InterlockedExchangePointer(&pointer, nullptr), &b);
}

struct alignas(16) Node {
    SLIST_ENTRY entry;
    int value;
};

TEST(SList, PushPopFlushAndDepth) {
    SLIST_HEADER head;
    InitializeSListHead(&head);
    Node nodes[3] = {{{}, 0}, {{}, 1}, {{}, 2}};
    EXPECT_EQ(InterlockedPushEntrySList(&head, &nodes[0].entry), nullptr);
    EXPECT_EQ(InterlockedPushEntrySList(&head, &nodes[1].entry), &nodes[0].entry);
    EXPECT_EQ(InterlockedPushEntrySList(&head, &nodes[2].entry), &nodes[1].entry);
    EXPECT_EQ(QueryDepthSList(&head), 3);
    EXPECT_EQ(InterlockedPopEntrySList(&head), &nodes[2].entry);  // last in, first out
    EXPECT_EQ(QueryDepthSList(&head), 2);
    SLIST_ENTRY* chain = InterlockedFlushSList(&head);
    EXPECT_EQ(chain, &nodes[1].entry);
    EXPECT_EQ(chain->Next, &nodes[0].entry);
    EXPECT_EQ(chain->Next->Next, nullptr);
    EXPECT_EQ(QueryDepthSList(&head), 0);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}

TEST(SList, ConcurrentPushAndPopLoseNothing) {
    constexpr int kThreads = 4, kPerThread = 2000;
    SLIST_HEADER head;
    InitializeSListHead(&head);
    std::vector<Node> nodes(kThreads * kPerThread);
    std::vector<std::vector<int>> popped(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Node& node = nodes[t * kPerThread + i];
                node.value = t * kPerThread + i;
                InterlockedPushEntrySList(&head, &node.entry);
                if (i % 2 == 1)
                    if (SLIST_ENTRY* entry = InterlockedPopEntrySList(&head))
                        popped[t].push_back(reinterpret_cast<Node*>(entry)->value);
            }
        });
    for (auto& thread : threads) thread.join();
    std::set<int> seen;
    std::size_t total = 0;
    for (const auto& list : popped) {
        seen.insert(list.begin(), list.end());
        total += list.size();
    }
    for (SLIST_ENTRY* entry = InterlockedFlushSList(&head); entry != nullptr; entry = entry->Next, ++total)
        seen.insert(reinterpret_cast<Node*>(entry)->value);
    EXPECT_EQ(total, nodes.size());
    EXPECT_EQ(seen.size(), nodes.size());
}

TEST_F(KernelTest, ExInterlockedListsReturnThePreviousEnds) {
    LIST_ENTRY head, a, b, c;
    InitializeListHead(&head);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace

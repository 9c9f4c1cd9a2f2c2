// Events, semaphores, mutexes and waits across threads.
#include "kernel_test.h"

#include "sim/kernel/dispatcher.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using kernel_test::KernelTest;
using kernel_test::RelativeMs;
using kernel_test::WaitUntil;

NTSTATUS WaitForever(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

// Threads that each wait once on `object` and count their returns.
class Waiters {
public:
    Waiters(PVOID object, int count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, object] {
                EXPECT_EQ(WaitForever(object), STATUS_SUCCESS);
                ++woken;
            });
        WaitUntil([&] { return sim::WaitersOn(object) == static_cast<std::size_t>(count); });
    }
    ~Waiters() {
        for (auto& t : threads_) t.join();
    }
    std::atomic<int> woken{0};

private:
    std::vector<std::thread> threads_;
};

TEST_F(KernelTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event, 2);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    WaitUntil([&] { return waiters.woken == 1; });
    EXPECT_EQ(sim::WaitersOn(&event), 1u);  // the other one still waits
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // and the set was consumed
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    WaitUntil([&] { return waiters.woken == 2; });
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);  // nobody waits: it stays set
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(KernelTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        Waiters waiters(&event, 3);
        KeSetEvent(&event, 0, FALSE);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(Poll(&event), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);
}

TEST_F(KernelTest, SemaphoreReleasesAsManyWaitersAsItsCount) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 3);
    {
        Waiters waiters(&semaphore, 3);
        EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
        WaitUntil([&] { return waiters.woken == 2; });
        EXPECT_EQ(sim::WaitersOn(&semaphore), 1u);
        EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
        KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    }
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
    // The playback path re-initialises its semaphore at every start.
    KeInitializeSemaphore(&semaphore, 1, 1);
    EXPECT_EQ(Poll(&semaphore), STATUS_SUCCESS);
    EXPECT_EQ(Poll(&semaphore), STATUS_TIMEOUT);
}

TEST_F(KernelTest, TimeoutsReturnStatusTimeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative = RelativeMs(5);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    LARGE_INTEGER absolute;
    KeQuerySystemTime(&absolute);
    absolute.QuadPart += 5 * 10'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10'000'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    PVOID objects[] = {&event, &event};
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &relative, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(sim::WaitersOn(&event), 0u);  // a timed-out wait leaves nothing behind
}

TEST_F(KernelTest, WaitAnyReportsTheLowestSignalledObject) {
    KEVENT a, b;
    KSEMAPHORE c;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, TRUE);
    KeInitializeSemaphore(&c, 1, 1);
    PVOID objects[] = {&a, &b, &c};
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_2);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);

    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter(
        [&] { result = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr); });
    WaitUntil([&] { return sim::WaitersOn(&c) == 1; });
    KeReleaseSemaphore(&c, 0, 1, FALSE);
    waiter.join();
    EXPECT_EQ(result, STATUS_WAIT_2);
    EXPECT_EQ(sim::WaitersOn(&a), 0u);  // its other blocks were unlinked
    EXPECT_EQ(KeReadStateSemaphore(&c), 0);
}

TEST_F(KernelTest, WaitAllTakesEverythingAtOnce) {
    KEVENT a;
    KSEMAPHORE b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeSemaphore(&b, 0, 2);
    PVOID objects[] = {&a, &b};
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter(
        [&] { result = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr); });
    WaitUntil([&] { return sim::WaitersOn(&a) == 1; });
    KeSetEvent(&a, 0, FALSE);
    // One of two is not enough, and the wait does not consume the event.
    EXPECT_EQ(KeReadStateEvent(&a), 1);
    EXPECT_EQ(sim::WaitersOn(&b), 1u);
    KeReleaseSemaphore(&b, 0, 2, FALSE);
    waiter.join();
    EXPECT_EQ(result, STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateSemaphore(&b), 1);
}

TEST_F(KernelTest, WaitsOnMoreThanThreeObjectsUseTheCallersBlocks) {
    KEVENT events[6];
    PVOID objects[6];
    for (int i = 0; i < 6; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, i == 5);
        objects[i] = &events[i];
    }
    KWAIT_BLOCK blocks[6];
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(6, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_WAIT_0 + 5);
    std::thread waiter([&] {
        EXPECT_EQ(KeWaitForMultipleObjects(6, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks),
                  STATUS_WAIT_0);
    });
    WaitUntil([&] { return sim::WaitersOn(&events[0]) == 1; });
    for (auto& event : events) KeSetEvent(&event, 0, FALSE);
    waiter.join();
}

TEST_F(KernelTest, KernelMutexIsRecursiveForItsOwner) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    WaitUntil([&] { return sim::WaitersOn(&mutex) == 1; });
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_FALSE(acquired);  // still held once
    EXPECT_EQ(sim::WaitersOn(&mutex), 1u);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    other.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(KernelTest, SemaphoreBoundsConcurrentHolders) {
    // The capture path bounds its transfers in flight with a semaphore: no
    // more than its count may hold a slot at once, and every slot returns.
    constexpr int kSlots = 3, kThreads = 6, kRounds = 300;
    KSEMAPHORE slots;
    KeInitializeSemaphore(&slots, kSlots, kSlots);
    std::atomic<int> inside{0}, most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ASSERT_EQ(WaitForever(&slots), STATUS_SUCCESS);
                const int now = ++inside;
                int seen = most;
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                --inside;
                KeReleaseSemaphore(&slots, 0, 1, FALSE);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_LE(most, kSlots);
    EXPECT_EQ(KeReadStateSemaphore(&slots), kSlots);
}

// An event made on reused memory (a stack slot, a recycled pool block) is
// new, whatever the old bytes look like: only real waiters make a second
// initialisation a fault.
TEST_F(KernelTest, InitialisingOverLeftoverBytesIsNoReinitialisation) {
    KEVENT other;
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    alignas(KEVENT) unsigned char slot[sizeof(KEVENT)];
    std::memcpy(slot, &other, sizeof(other));  // a header whose list head points elsewhere
    auto* event = reinterpret_cast<KEVENT*>(slot);
    ASSERT_TRUE(sim::IsDispatcherObject(&event->Header));
    ASSERT_NE(event->Header.WaitListHead.Flink, &event->Header.WaitListHead);
    KeInitializeEvent(event, SynchronizationEvent, TRUE);
    EXPECT_EQ(Poll(event), STATUS_SUCCESS);
}

TEST_F(KernelTest, DelayExecutionSleepsAndReturnsSuccess) {
    LARGE_INTEGER interval = RelativeMs(1);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

}  // namespace

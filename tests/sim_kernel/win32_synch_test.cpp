// User-mode synchronisation over the kernel's dispatcher objects.
#include "kernel_test.h"

#include "platform/win32/synch.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/thread_record.h"
#include "sim/user/handles.h"

#include <atomic>
#include <thread>

namespace {

using kernel_test::KernelTest;
using kernel_test::WaitUntil;

TEST_F(KernelTest, NamedEventsAreSharedByName) {
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, u"Global\\StreamingIndicatorEvent");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    // In session 0 the bare name is the global one.
    HANDLE again = CreateEventW(nullptr, FALSE, TRUE, u"StreamingIndicatorEvent");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Local\\StreamingIndicatorEvent");
    ASSERT_NE(opened, nullptr);

    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_TIMEOUT);  // the first creator's state holds
    EXPECT_TRUE(SetEvent(again));
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(opened, 0), WAIT_OBJECT_0);  // manual reset: still set
    EXPECT_TRUE(ResetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(created, 0), WAIT_TIMEOUT);

    for (HANDLE h : {created, again, opened}) EXPECT_TRUE(CloseHandle(h));
    // The name dies with the last handle.
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"StreamingIndicatorEvent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(KernelTest, NamesAreTypedAndPerSession) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, u"Global\\DeviceOperationMutex");
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\DeviceOperationMutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, u"Global\\DeviceOperationMutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE sessionOne = nullptr;
    std::thread([&] {
        sim::MachineScope scope(machine);
        sim::SetCurrentSessionId(1);
        // A session's bare names are its own; Global\ reaches session 0's.
        sessionOne = CreateEventW(nullptr, FALSE, FALSE, u"DeviceOperationMutex");
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        HANDLE global = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Global\\DeviceOperationMutex");
        EXPECT_NE(global, nullptr);
        CloseHandle(global);
    }).join();
    EXPECT_TRUE(SetEvent(sessionOne));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(sessionOne);
    CloseHandle(event);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(KernelTest, EventSetOnAnotherThreadWakesTheWaiter) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([&] {
        sim::MachineScope scope(machine);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);  // auto-reset
    CloseHandle(event);
}

TEST_F(KernelTest, MutexOwnershipAndAbandonment) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Global\\PanelInstanceMutex");
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive for the owner
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

    // An owner that ends without releasing abandons it to the next waiter.
    std::thread([&] {
        sim::MachineScope scope(machine);
        EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(KernelTest, SemaphoreLimitsAndMultipleWaits) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 2, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const HANDLE both[] = {event, semaphore};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 1), WAIT_TIMEOUT);  // the semaphore is empty now
    const HANDLE twice[] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const HANDLE closed[] = {event, reinterpret_cast<HANDLE>(0x7770)};
    EXPECT_EQ(WaitForMultipleObjects(2, closed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(semaphore);
    CloseHandle(event);
}

TEST_F(KernelTest, AlertableWaitsRunQueuedUserApcs) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<int> ran{0};
    DWORD result = 0;
    std::thread thread([&] {
        sim::MachineScope scope(machine);
        waiter = KeGetCurrentThread();
        result = WaitForSingleObjectEx(event, INFINITE, TRUE);
    });
    WaitUntil([&] { return waiter != nullptr && sim::WaitersOn(sim::LookupUserHandleAs<sim::KernelObject>(event)->Waitable()) == 1; });
    sim::QueueUserApc(waiter, [&] { ++ran; });
    thread.join();
    EXPECT_EQ(result, WAIT_IO_COMPLETION);
    EXPECT_EQ(ran, 1);

    // A non-alertable wait leaves the APC queued; the next alertable one runs it.
    sim::QueueUserApc(KeGetCurrentThread(), [&] { ++ran; });
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(ran, 2);
    CloseHandle(event);
}

TEST_F(KernelTest, TickCountAndPerformanceCounterAdvance) {
    LARGE_INTEGER frequency, before, after;
    EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    QueryPerformanceCounter(&before);
    const ULONGLONG ticks = GetTickCount64();
    Sleep(2);
    QueryPerformanceCounter(&after);
    EXPECT_GT(after.QuadPart, before.QuadPart);
    EXPECT_GE(GetTickCount64(), ticks + 2);
    EXPECT_NE(GetCurrentThreadId(), 0u);
}

}  // namespace

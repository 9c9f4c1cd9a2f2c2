// The machine clock and its Skip, and injected failures of user-mode calls.
#include "tests/sim_user/user_fixture.h"

#include "platform/kernel/time.h"
#include "platform/win32/timeapi.h"
#include "sim/faults.h"
#include "sim/kernel/thread_record.h"

#include <atomic>
#include <thread>

namespace user_test {
namespace {

TEST_F(UserModeTest, SkipReleasesATenSecondWaitAtOnce) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD ticksBefore = GetTickCount();
    LARGE_INTEGER systemBefore;
    KeQuerySystemTime(&systemBefore);
    std::atomic<DWORD> waited{0xFFFF};
    std::atomic<DWORD> slept{0xFFFF};
    std::atomic<PKTHREAD> waiting[2] = {nullptr, nullptr};
    std::thread waiter([&] {
        sim::MachineScope scope(machine);
        waiting[0] = KeGetCurrentThread();
        waited = WaitForSingleObject(event, 10'000);
    });
    std::thread sleeper([&] {
        sim::MachineScope scope(machine);
        waiting[1] = KeGetCurrentThread();
        Sleep(10'000);
        slept = 0;
    });
    for (auto& thread : waiting)
        ASSERT_TRUE(Eventually([&] { return thread.load() != nullptr && sim::IsWaiting(thread.load()); }));
    machine.clock().Skip(std::chrono::milliseconds(4'000));  // not yet due
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(waited, 0xFFFFu);
    machine.clock().Skip(std::chrono::milliseconds(6'000));
    waiter.join();
    sleeper.join();
    EXPECT_EQ(waited, WAIT_TIMEOUT);
    EXPECT_EQ(slept, 0u);
    // Every reading of time moved with it.
    EXPECT_GE(GetTickCount() - ticksBefore, 10'000u);
    EXPECT_GE(timeGetTime() - ticksBefore, 10'000u);
    LARGE_INTEGER systemAfter;
    KeQuerySystemTime(&systemAfter);
    EXPECT_GE(systemAfter.QuadPart - systemBefore.QuadPart, 10'000LL * 10'000);
    // A wait that starts after the skip still lasts its own time.
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(UserModeTest, InjectedFailuresReachTheCallerAsWindowsReportsThem) {
    machine.faults().FailNth("CreateEventW", 2);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    HANDLE third = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(machine.faults().Calls("CreateEventW"), 3u);

    machine.faults().FailNth("CreateFileW", 1);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(device.Calls(), std::vector<std::string>{});  // the driver saw nothing

    HANDLE file = Open();
    machine.faults().FailNth("DeviceIoControl", 1, STATUS_NO_MEMORY);
    OVERLAPPED overlapped{};
    overlapped.hEvent = first;
    EXPECT_FALSE(DeviceIoControl(file, kEchoNow, nullptr, 0, nullptr, 0, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
    for (HANDLE h : {first, third, file}) CloseHandle(h);
}

}  // namespace
}  // namespace user_test

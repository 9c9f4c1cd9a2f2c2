// Processes, threads, handles across processes, per-process state.
#include "tests/sim_user/user_fixture.h"

#include "platform/trace/trace.h"
#include "platform/win32/image_state.h"
#include "platform/win32/registry.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_record.h"
#include "sim/registry/registry.h"

#include <atomic>

namespace user_test {
namespace {

TEST_F(UserModeTest, AHandleMeansNothingInAnotherProcess) {
    auto owner = NewProcess();
    HANDLE event = nullptr;
    {
        sim::ProcessScope scope(*owner);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event, nullptr);
    }
    // The test process (no application verifier) gets Windows' answer.
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    sim::ProcessScope scope(*owner);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(UserModeTest, TheTestProcessLeakShowsInItsReport) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    sim::Process& test = machine.processes().TestProcess();
    ExpectLeaks(test);
    test.Exit(0, true);
    ASSERT_EQ(test.Report().handles.size(), 1u);
    EXPECT_EQ(device.Calls().back(), "close");
}

using UserModeDeathTest = UserModeTest;

TEST_F(UserModeDeathTest, TheApplicationVerifierStopsOnForeignAndInvalidHandles) {
    auto owner = NewProcess();
    auto other = NewProcess();
    HANDLE event = nullptr;
    {
        sim::ProcessScope scope(*owner);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    EXPECT_DEATH(
        {
            sim::ProcessScope scope(*other);
            SetEvent(event);
        },
        "VERIFIER STOP: application verifier: process [0-9]+ used handle 0x[0-9a-f]+, which belongs to process");
    EXPECT_DEATH(
        {
            sim::ProcessScope scope(*other);
            CloseHandle(reinterpret_cast<HANDLE>(0x7770));
        },
        "which is not open");
    sim::ProcessScope scope(*owner);
    CloseHandle(event);
}

TEST_F(UserModeDeathTest, LeavingACriticalSectionOneDoesNotOwnStops) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // recursive
    EXPECT_EQ(section.RecursionCount, 2);
    LeaveCriticalSection(&section);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        sim::MachineScope machineScope(machine);
        EnterCriticalSection(&section);  // waits for the owner
        entered = true;
        LeaveCriticalSection(&section);
    });
    EXPECT_FALSE(entered);
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_DEATH(LeaveCriticalSection(&section), "critical section .* released by thread [0-9]+, which does not own it");
    DeleteCriticalSection(&section);
}

DWORD CountTo(LPVOID parameter) {
    auto* value = static_cast<std::atomic<int>*>(parameter);
    return static_cast<DWORD>(++*value);
}

TEST_F(UserModeTest, ThreadsStartSuspendedResumeAndReportTheirExitCodes) {
    std::atomic<int> value{41};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, CountTo, &value, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(value, 41);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(TerminateThread(thread, 5));  // already ended: nothing changes
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(UserModeTest, AStartedProcessRunsItsEntryAndEndsWithItsThreads) {
    static HANDLE stuck_event;
    sim::ExeImage image{u"C:\\Program Files\\ovu\\probe.exe", [](PCWSTR commandLine) -> DWORD {
                            // A worker that never returns by itself: the
                            // process's end stops it and reports it.
                            stuck_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
                            CreateThread(
                                nullptr, 0,
                                [](LPVOID) -> DWORD {
                                    WaitForSingleObject(stuck_event, INFINITE);
                                    return 0;
                                },
                                nullptr, 0, nullptr);
                            return std::u16string(commandLine) == u"--probe" ? 17 : 1;
                        }};
    auto process = machine.processes().Start(image, u"--probe");
    ExpectLeaks(*process);
    ASSERT_TRUE(Eventually([&] { return process->Exited(); }));
    const sim::ExitReport report = process->Report();
    EXPECT_EQ(report.exitCode, 17u);
    EXPECT_EQ(report.threads.size(), 1u) << report.Text();
    EXPECT_EQ(report.handles.size(), 2u) << report.Text();  // the event and the worker's handle
    EXPECT_EQ(process->ImagePath(), u"C:\\Program Files\\ovu\\probe.exe");
    for (const auto& thread : process->Threads()) EXPECT_TRUE(Eventually([&] { return !thread->IsRunning(); }));
}

struct Counter {
    int value = 0;
};

TEST_F(UserModeTest, ImageStateIsOnePerProcess) {
    ImageState<Counter>().value = 5;
    auto other = NewProcess();
    {
        sim::ProcessScope scope(*other);
        EXPECT_EQ(ImageState<Counter>().value, 0);
        ImageState<Counter>().value = 9;
    }
    EXPECT_EQ(ImageState<Counter>().value, 5);
    sim::ProcessScope scope(*other);
    EXPECT_EQ(ImageState<Counter>().value, 9);
}

TEST_F(UserModeTest, CurrentUserIsTheHiveOfTheProcesssToken) {
    sim::ProcessOptions service;
    service.token = sim::LocalSystemToken();
    auto system = NewProcess(service);
    HKEY key = nullptr;
    DWORD value = 7;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Ovu", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(machine.registry().KeyExists(u"\\Registry\\User\\" + std::u16string(sim::Registry::kDefaultUserSid) +
                                             u"\\Software\\Ovu"));
    sim::ProcessScope scope(*system);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Ovu", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Ovu", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(machine.registry().KeyExists(u"\\Registry\\User\\S-1-5-18\\Software\\Ovu"));
}

TEST_F(UserModeTest, OpenedEventsGrantOnlyTheAccessAskedFor) {
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, u"Global\\SettingsChangedEvent");
    HANDLE modify = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Global\\SettingsChangedEvent");
    HANDLE synchronize = OpenEventW(SYNCHRONIZE, FALSE, u"Global\\SettingsChangedEvent");
    ASSERT_NE(modify, nullptr);
    ASSERT_NE(synchronize, nullptr);
    EXPECT_EQ(WaitForSingleObject(modify, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEvent(synchronize));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetEvent(modify));
    EXPECT_EQ(WaitForSingleObject(synchronize, 0), WAIT_OBJECT_0);
    for (HANDLE h : {created, modify, synchronize}) CloseHandle(h);
}

TEST_F(UserModeTest, EachProcessHasItsOwnTrace) {
    machine.kernel().tracing().Enable("*", TRACE_LEVEL_VERBOSE);
    auto other = NewProcess();
    TRACE_PROVIDER mine{"ovuac2asio", {}, 0, 0, nullptr};
    ASSERT_EQ(TraceRegisterProvider(&mine), STATUS_SUCCESS);
    OVU_TRACE(mine, TRACE_LEVEL_INFORMATION, 0, "from %s", "test.exe");
    TRACE_PROVIDER theirs{"ovuac2asio", {}, 0, 0, nullptr};
    {
        sim::ProcessScope scope(*other);
        ASSERT_EQ(TraceRegisterProvider(&theirs), STATUS_SUCCESS);
        OVU_TRACE(theirs, TRACE_LEVEL_INFORMATION, 0, "from the other");
    }
    const auto lines = machine.kernel().tracing().Lines(other->Id());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "from the other");
    EXPECT_EQ(machine.kernel().tracing().Lines(machine.processes().TestProcess().Id()).size(), 1u);
    // A process's providers go with it.
    other->Exit(0, true);
    EXPECT_EQ(theirs.Session, nullptr);
    TraceUnregisterProvider(&mine);
}

}  // namespace
}  // namespace user_test

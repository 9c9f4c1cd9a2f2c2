// Device I/O from user mode: CreateFileW on a device path, the Windows
// return rules of overlapped and synchronous requests, buffered and direct
// transfers into user buffers, completion routines, close semantics.
#include "tests/sim_user/user_fixture.h"

#include "platform/base/ntstatus.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_record.h"

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

namespace user_test {
namespace {

constexpr ULONG_PTR kPendingStatus = static_cast<ULONG>(STATUS_PENDING);

TEST_F(UserModeTest, DevicePathsResolveByTheLongestLinkAndKeepTheRestAsTheFileName) {
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.lastName, u"\\Pipe0");  // case kept
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(device.Calls(), (std::vector<std::string>{"create \\Pipe0", "cleanup", "close"}));

    // "\\.\" names the same namespace; the link compares without case.
    file = CreateFileW(u"\\\\.\\OVUTEST", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(device.lastName, u"");
    CloseHandle(file);

    for (const char16_t* missing : {u"\\\\?\\OvuTestX", u"\\\\?\\Nothing\\asio", u"C:\\file.txt",
                                    u"\\\\.\\pipe\\ovuac2service"}) {
        EXPECT_EQ(CreateFileW(missing, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(UserModeTest, OverlappedRequestPendsThenCompletesIntoTheCallersBuffer) {
    HANDLE file = Open();
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);  // signalled: the call must reset it
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    std::array<UCHAR, 16> out{};
    DWORD bytes = 99;
    EXPECT_FALSE(DeviceIoControl(file, kPend, nullptr, 0, out.data(), 16, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(overlapped.Internal, kPendingStatus);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    // The driver completes it from another thread, at DISPATCH_LEVEL as a DPC would.
    std::thread([&] {
        sim::MachineScope scope(machine);
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        device.CompleteOldest(STATUS_SUCCESS, 12);
        KeLowerIrql(old);
    }).join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(out[11], TestDevice::Pattern(11));
    EXPECT_EQ(out[12], 0);  // only what the driver reported is copied
    CloseHandle(event);
    CloseHandle(file);
}

TEST_F(UserModeTest, ImmediateSuccessSignalsAndImmediateFailureDoesNot) {
    HANDLE file = Open();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[4] = {};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(file, kEchoNow, const_cast<UCHAR*>(in), 4, out, 4, &bytes, &overlapped));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[3], 1);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    // Failed before it was pending: the status block and the event stay as
    // the call left them.
    EXPECT_FALSE(DeviceIoControl(file, kFailNow, nullptr, 0, nullptr, 0, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(overlapped.Internal, kPendingStatus);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    // An overlapped handle needs an OVERLAPPED.
    EXPECT_FALSE(DeviceIoControl(file, kEchoNow, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(event);
    CloseHandle(file);
}

TEST_F(UserModeTest, SynchronousHandleWaitsForAPendingRequest) {
    HANDLE file = Open(0);
    DWORD bytes = 0;
    UCHAR out[8] = {};
    EXPECT_TRUE(DeviceIoControl(file, kEchoNow, out, 2, out, 2, &bytes, nullptr));
    EXPECT_EQ(bytes, 2u);

    std::thread completer([&] {
        sim::MachineScope scope(machine);
        ASSERT_TRUE(Eventually([&] { return device.Queued() == 1; }));
        device.CompleteOldest(STATUS_SUCCESS, 8);
    });
    EXPECT_TRUE(DeviceIoControl(file, kPend, nullptr, 0, out, 8, &bytes, nullptr));
    completer.join();
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(out[7], TestDevice::Pattern(7));

    completer = std::thread([&] {
        sim::MachineScope scope(machine);
        ASSERT_TRUE(Eventually([&] { return device.Queued() == 1; }));
        device.CompleteOldest(STATUS_DEVICE_NOT_READY, 0);
    });
    EXPECT_FALSE(DeviceIoControl(file, kPend, nullptr, 0, out, 8, &bytes, nullptr));
    completer.join();
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    CloseHandle(file);
}

TEST_F(UserModeTest, DirectAndNeitherControlCodesReachTheCallersBuffer) {
    HANDLE file = Open(0);
    std::vector<UCHAR> out(5000, 0);
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(file, kFillDirect, nullptr, 0, out.data(), 5000, &bytes, nullptr));
    EXPECT_EQ(bytes, 5000u);
    EXPECT_EQ(out[4999], TestDevice::Pattern(4999));
    std::fill(out.begin(), out.end(), 0);
    EXPECT_TRUE(DeviceIoControl(file, kFillNeither, nullptr, 0, out.data(), 7, &bytes, nullptr));
    EXPECT_EQ(out[6], TestDevice::Pattern(6));
    CloseHandle(file);
}

// Reads and writes with the device's two transfer methods.
class TransferMethod : public UserModeTest, public ::testing::WithParamInterface<ULONG> {
protected:
    TransferMethod() : UserModeTest(GetParam()) {}
};

TEST_P(TransferMethod, ReadsAndWritesMoveTheCallersBytes) {
    HANDLE file = Open(0);
    std::vector<UCHAR> in(3000);
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(file, in.data(), 3000, &bytes, nullptr));
    EXPECT_EQ(bytes, 3000u);
    EXPECT_EQ(in[2999], TestDevice::Pattern(2999));
    std::vector<UCHAR> out(777);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<UCHAR>(i * 7);
    EXPECT_TRUE(WriteFile(file, out.data(), 777, &bytes, nullptr));
    EXPECT_EQ(bytes, 777u);
    EXPECT_EQ(device.Written(), out);
    CloseHandle(file);

    // A pending overlapped read lands in the buffer when the driver completes it.
    device.readsPend = true;
    file = Open();
    OVERLAPPED overlapped{};
    std::fill(in.begin(), in.end(), 0);
    EXPECT_FALSE(ReadFile(file, in.data(), 64, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    device.CompleteOldest(STATUS_SUCCESS, 64);
    EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));  // waits on the file object's event
    EXPECT_EQ(bytes, 64u);
    EXPECT_EQ(in[63], TestDevice::Pattern(63));
    CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(Methods, TransferMethod, ::testing::Values(DO_BUFFERED_IO, DO_DIRECT_IO),
                         [](const auto& info) { return info.param == DO_BUFFERED_IO ? "Buffered" : "Direct"; });

struct Completions {
    static inline std::atomic<int> count{0};
    static inline DWORD lastError = 0;
    static inline DWORD lastBytes = 0;
    static void Routine(DWORD error, DWORD bytes, LPOVERLAPPED) {
        lastError = error;
        lastBytes = bytes;
        ++count;
    }
};

TEST_F(UserModeTest, CompletionRoutinesRunOnlyInAlertableWaitsOfTheRequester) {
    Completions::count = 0;
    HANDLE file = Open();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UCHAR data[32] = {};
    OVERLAPPED overlapped{};
    // Succeeded at once: queued all the same.
    EXPECT_TRUE(WriteFileEx(file, data, 32, &overlapped, Completions::Routine));
    EXPECT_EQ(Completions::count, 0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // not alertable: nothing runs
    EXPECT_EQ(Completions::count, 0);
    EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(Completions::count, 1);
    EXPECT_EQ(Completions::lastBytes, 32u);
    EXPECT_EQ(Completions::lastError, ERROR_SUCCESS);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);  // nothing left

    // A write that fails at once queues nothing.
    CloseHandle(file);
    EXPECT_FALSE(WriteFileEx(file, data, 32, &overlapped, Completions::Routine));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_EQ(Completions::count, 1);

    // Completed on another thread: runs in the requester's alertable wait,
    // which returns WAIT_IO_COMPLETION.
    device.readsPend = true;
    file = Open();
    std::thread completer([&] {
        sim::MachineScope scope(machine);
        ASSERT_TRUE(Eventually([&] { return device.Queued() == 1; }));
        device.CompleteOldest(STATUS_CANCELLED, 0);
    });
    UCHAR in[16];
    OVERLAPPED read{};
    read.hEvent = event;
    EXPECT_FALSE(ReadFile(file, in, 16, nullptr, &read));
    EXPECT_EQ(WaitForSingleObjectEx(event, INFINITE, TRUE), WAIT_OBJECT_0);
    completer.join();
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &read, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CloseHandle(file);
    CloseHandle(event);
}

TEST_F(UserModeTest, ClosingAHandleSendsCleanupAndCloseWaitsForThePendingRequest) {
    device.flushAtCleanup = false;
    HANDLE file = Open();
    OVERLAPPED overlapped{};
    UCHAR out[4];
    EXPECT_FALSE(DeviceIoControl(file, kPend, nullptr, 0, out, 4, nullptr, &overlapped));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(device.Calls(), (std::vector<std::string>{"create \\Pipe0", "ioctl", "cleanup"}));
    // The last reference goes with the request, at DISPATCH_LEVEL: CLOSE
    // follows at PASSIVE_LEVEL on a worker.
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    device.CompleteOldest(STATUS_SUCCESS, 4);
    KeLowerIrql(old);
    machine.kernel().RunUntilQuiet();
    EXPECT_EQ(device.Calls().back(), "close");
    EXPECT_EQ(overlapped.Internal, 0u);
}

TEST_F(UserModeTest, AThreadsRequestsAreCancelledWhenItEnds) {
    HANDLE file = Open();
    static HANDLE shared_file;
    shared_file = file;
    static OVERLAPPED overlapped;
    overlapped = {};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            static UCHAR out[4];
            DeviceIoControl(shared_file, kPend, nullptr, 0, out, 4, nullptr, &overlapped);
            return 7;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(device.Queued(), 0u);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CloseHandle(thread);
    CloseHandle(file);
}

TEST_F(UserModeTest, AProcessThatExitsWithARequestTheDriverKeepsReportsIt) {
    device.cancelable = false;
    device.flushAtCleanup = false;
    auto process = NewProcess();
    ExpectLeaks(*process);
    auto* output = new UCHAR[4]{};
    OVERLAPPED* overlapped = new OVERLAPPED{};
    {
        sim::ProcessScope scope(*process);
        HANDLE file = Open();
        EXPECT_FALSE(DeviceIoControl(file, kPend, nullptr, 0, output, 4, nullptr, overlapped));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    process->Exit(3, true);
    const sim::ExitReport report = process->Report();
    EXPECT_EQ(report.exitCode, 3u);
    ASSERT_EQ(report.irps.size(), 1u) << report.Text();
    EXPECT_NE(report.irps[0].find("major 0x0e"), std::string::npos);
    ASSERT_EQ(report.handles.size(), 1u);
    EXPECT_EQ(report.handles[0].rfind("File \\\\?\\OvuTest\\Pipe0", 0), 0u);
    EXPECT_EQ(device.Calls().back(), "cleanup");

    // The driver completes it after all: nothing is written into the gone
    // process, and CLOSE follows.
    device.CompleteOldest(STATUS_SUCCESS, 4);
    EXPECT_EQ(output[0], 0);
    EXPECT_EQ(overlapped->Internal, kPendingStatus);
    EXPECT_EQ(device.Calls().back(), "close");
    delete[] output;
    delete overlapped;
}

}  // namespace
}  // namespace user_test

// A small test driver for the user-mode I/O tests: one device object behind
// the symbolic link "\??\OvuTest", whose dispatch routines complete at once,
// fail at once or keep requests pending as the test asks, with buffered or
// direct reads and writes.
#pragma once

#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "sim/machine.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace user_test {

inline constexpr char16_t kTestPath[] = u"\\\\?\\OvuTest\\Pipe0";

// Device-control codes of the test driver.
inline constexpr ULONG kEchoNow = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kFailNow = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kFillDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
inline constexpr ULONG kFillNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_NEITHER, FILE_ANY_ACCESS);

class TestDevice {
public:
    // `ioFlags`: DO_BUFFERED_IO or DO_DIRECT_IO for reads and writes.
    TestDevice(sim::Machine& machine, ULONG ioFlags);
    ~TestDevice();

    // What reached the dispatch routines, in order ("create \Pipe0",
    // "ioctl", "read", "write", "cleanup", "close").
    std::vector<std::string> Calls();
    std::size_t Queued();
    // Completes the oldest queued request: reads and METHOD_BUFFERED
    // outputs get `bytes` bytes of the fill pattern.
    void CompleteOldest(NTSTATUS status, ULONG bytes);
    std::vector<UCHAR> Written();

    // Reads pend instead of completing at once.
    bool readsPend = false;
    // Queued requests get a cancel routine.
    bool cancelable = true;
    // CLEANUP completes the handle's queued requests with STATUS_CANCELLED.
    bool flushAtCleanup = true;
    // The file name the last create saw.
    std::u16string lastName;

    static UCHAR Pattern(ULONG i) { return static_cast<UCHAR>(0xA0 + (i % 31)); }

    NTSTATUS Dispatch(IRP* irp);

private:
    static void Cancel(DEVICE_OBJECT* device, IRP* irp);
    NTSTATUS Queue(IRP* irp);
    void Fill(IRP* irp, ULONG bytes);

    sim::Machine& machine_;
    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
    std::mutex mutex_;
    std::deque<IRP*> queue_;
    std::vector<std::string> calls_;
    std::vector<UCHAR> written_;
};

}  // namespace user_test

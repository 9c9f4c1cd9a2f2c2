#include "kernel_test.h"

namespace {

using kernel_test::KernelTest;

constexpr ULONG kFlagInit = 0x1;
constexpr ULONG kFlagStream = 0x2;

TRACE_PROVIDER MakeProvider(const char* name) {
    TRACE_PROVIDER provider{};
    provider.Name = name;
    provider.Guid = {0x1234, 0x5678, 0x9abc, {1, 2, 3, 4, 5, 6, 7, 8}};
    return provider;
}

int evaluations = 0;
int Counted(int value) {
    ++evaluations;
    return value;
}

TEST_F(KernelTest, DisabledTracesCostNoArgumentEvaluation) {
    TRACE_PROVIDER provider = MakeProvider("Driver");
    ASSERT_EQ(TraceRegisterProvider(&provider), STATUS_SUCCESS);
    evaluations = 0;
    OVU_TRACE(provider, TRACE_LEVEL_ERROR, kFlagInit, "value %d", Counted(1));
    EXPECT_EQ(evaluations, 0);
    EXPECT_TRUE(kernel.tracing().Lines().empty());

    kernel.tracing().Enable("Driver", TRACE_LEVEL_WARNING, kFlagInit);
    OVU_TRACE(provider, TRACE_LEVEL_VERBOSE, kFlagInit, "too detailed %d", Counted(2));
    OVU_TRACE(provider, TRACE_LEVEL_ERROR, kFlagStream, "other flag %d", Counted(3));
    EXPECT_EQ(evaluations, 0);
    OVU_TRACE(provider, TRACE_LEVEL_ERROR, kFlagInit, "start %d at %s", Counted(4), "passive");
    EXPECT_EQ(evaluations, 1);
    TraceUnregisterProvider(&provider);
    OVU_TRACE(provider, TRACE_LEVEL_ERROR, kFlagInit, "after unregister %d", Counted(5));
    EXPECT_EQ(evaluations, 1);

    const auto lines = kernel.tracing().Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].provider, "Driver");
    EXPECT_EQ(lines[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(lines[0].flags, kFlagInit);
    EXPECT_EQ(lines[0].text, "start 4 at passive");
}

TEST_F(KernelTest, EnablingAllReachesProvidersRegisteredLater) {
    kernel.tracing().Enable("*", TRACE_LEVEL_INFORMATION);
    TRACE_PROVIDER asio = MakeProvider("Asio");
    TRACE_PROVIDER service = MakeProvider("Service");
    ASSERT_EQ(TraceRegisterProvider(&asio), STATUS_SUCCESS);
    ASSERT_EQ(TraceRegisterProvider(&service), STATUS_SUCCESS);
    EXPECT_EQ(TraceRegisterProvider(&asio), STATUS_INVALID_PARAMETER);
    kernel.tracing().Disable("Service");  // a named setting overrides "*"
    OVU_TRACE(asio, TRACE_LEVEL_INFORMATION, 0, "buffer %u", 256u);
    OVU_TRACE(service, TRACE_LEVEL_ERROR, 0, "not recorded");
    EXPECT_EQ(kernel.tracing().Text(), "buffer 256\n");
    kernel.tracing().Clear();
    EXPECT_EQ(kernel.tracing().Text(), "");
    TraceUnregisterProvider(&asio);
    TraceUnregisterProvider(&service);
}

TEST_F(KernelTest, ShutdownReleasesStaticProviders) {
    static TRACE_PROVIDER provider = MakeProvider("Static");
    {
        sim::Machine first;
        first.kernel().tracing().Enable("*", TRACE_LEVEL_VERBOSE);
        ASSERT_EQ(TraceRegisterProvider(&provider), STATUS_SUCCESS);
        EXPECT_TRUE(TraceIsEnabled(&provider, TRACE_LEVEL_VERBOSE, 0));
    }  // torn down without unregistering
    EXPECT_FALSE(TraceIsEnabled(&provider, TRACE_LEVEL_CRITICAL, 0));
    EXPECT_EQ(TraceRegisterProvider(&provider), STATUS_SUCCESS);  // on this test's machine
    TraceUnregisterProvider(&provider);
}

TEST_F(KernelTest, DebuggerSeesExactText) {
    DbgPrint("UsbAudio!DriverEntry\n");
    DbgPrint("%s=%d;", "rate", 48000);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "filtered out\n");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "error\n");
    kernel.debugger().SetComponentMask(DPFLTR_IHVDRIVER_ID, 1u << DPFLTR_INFO_LEVEL);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info\n");
    OutputDebugStringA("[panel] ");
    OutputDebugStringW(u"gr\u00fc\u00df \U0001F3B5\n");
    EXPECT_EQ(kernel.debugger().Text(), "UsbAudio!DriverEntry\nrate=48000;error\ninfo\n[panel] gr\xC3\xBC\xC3\x9F \xF0\x9F\x8E\xB5\n");
    kernel.debugger().Clear();
    EXPECT_EQ(kernel.debugger().Text(), "");
}

TEST_F(KernelTest, ClocksCountFromBootAt10MHz) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER first = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    LARGE_INTEGER delay = kernel_test::RelativeMs(2);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    const LARGE_INTEGER second = KeQueryPerformanceCounter(nullptr);
    EXPECT_GE(second.QuadPart - first.QuadPart, 20'000);  // at least the 2 ms slept
    EXPECT_GE(KeQueryInterruptTime(), static_cast<ULONGLONG>(second.QuadPart));

    // System time is the host's wall clock in 1601-based 100 ns units.
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    const LONGLONG unixSeconds = system.QuadPart / 10'000'000 - 11644473600LL;
    const LONGLONG hostSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    EXPECT_LE(std::llabs(unixSeconds - hostSeconds), 60);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

}  // namespace

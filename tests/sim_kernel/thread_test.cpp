// System threads, thread objects and references.
#include "kernel_test.h"

#include "platform/win32/synch.h"
#include "sim/kernel/dispatcher.h"

#include <atomic>

namespace {

using kernel_test::KernelTest;
using kernel_test::WaitUntil;

struct Start {
    KEVENT go;
    KIRQL irql = 0xFF;
    sim::Machine* machine = nullptr;
    PKTHREAD self = nullptr;
    bool pastTerminate = false;
};

void Worker(PVOID context) {
    auto* start = static_cast<Start*>(context);
    start->irql = KeGetCurrentIrql();
    start->machine = sim::Machine::Current();
    start->self = KeGetCurrentThread();
    KeWaitForSingleObject(&start->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
    start->pastTerminate = true;  // never reached
}

TEST_F(KernelTest, SystemThreadRunsAtPassiveAndSignalsItsObjectAtTheEnd) {
    Start start;
    KeInitializeEvent(&start.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client, Worker, &start),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);  // the reference keeps the object
    EXPECT_EQ(PsGetThreadId(static_cast<PETHREAD>(object)), client.UniqueThread);

    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(kernel.RunningSystemThreads(), 1u);
    KeSetEvent(&start.go, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel.RunningSystemThreads(), 0u);
    EXPECT_EQ(start.irql, PASSIVE_LEVEL);
    EXPECT_EQ(start.machine, &machine);
    EXPECT_EQ(start.self, reinterpret_cast<PKTHREAD>(object));
    EXPECT_FALSE(start.pastTerminate);
    EXPECT_NE(KeGetCurrentThread(), start.self);
    EXPECT_EQ(ObDereferenceObject(object), 0);
}

TEST_F(KernelTest, ReferencesByHandleCheckTheType) {
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(thread, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7770), 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(thread, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObject(object), 2);
    EXPECT_EQ(ObDereferenceObject(object), 1);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(ObDereferenceObject(object), 0);
    ZwClose(thread);

    // A user-mode event handle can be referenced as a KEVENT.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    CloseHandle(event);
    KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 1);
    ObDereferenceObject(object);
}

TEST_F(KernelTest, CurrentThreadPseudoHandleReferencesTheCaller) {
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, reinterpret_cast<PVOID>(PsGetCurrentThread()));
    const KPRIORITY old = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(KeSetPriorityThread(KeGetCurrentThread(), old), LOW_REALTIME_PRIORITY);
    ObDereferenceObject(object);
}

}  // namespace

// Every rule the simulated verifier enforces stops the process with its
// message.
#include "kernel_test.h"

#include "sim/kernel/dispatcher.h"

#include <functional>

namespace {

using kernel_test::KernelTest;
using kernel_test::WaitUntil;

constexpr ULONG kUsba = PoolTag("USBA");
constexpr ULONG kPcCr = PoolTag("PcCr");

KSPIN_LOCK lock_a, lock_b;
KEVENT never;

void RaiseToDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void WaitForever(PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }

struct VerifierCase {
    const char* name;
    std::function<void()> fault;
    const char* message;  // a regular expression
};

const VerifierCase kCases[] = {
    {"LowerIrqlAbove", [] { KeLowerIrql(DISPATCH_LEVEL); }, "KeLowerIrql to IRQL 2, above the current IRQL 0"},
    {"RaiseIrqlBelow",
     [] {
         RaiseToDispatch();
         KIRQL old;
         KeRaiseIrql(APC_LEVEL, &old);
     },
     "KeRaiseIrql to IRQL 1, below the current IRQL 2"},
    {"SpinLockReleasedOutOfOrder",
     [] {
         KIRQL a, b;
         KeAcquireSpinLock(&lock_a, &a);
         KeAcquireSpinLock(&lock_b, &b);
         KeReleaseSpinLock(&lock_a, a);
     },
     "released out of order"},
    {"SpinLockAcquiredTwice",
     [] {
         KIRQL a, again;
         KeAcquireSpinLock(&lock_a, &a);
         KeAcquireSpinLock(&lock_a, &again);
     },
     "spin lock .* is already held by this thread"},
    {"QueuedSpinLockAcquiredTwice",
     [] {
         KLOCK_QUEUE_HANDLE first, second;
         KeAcquireInStackQueuedSpinLock(&lock_a, &first);
         KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock_a, &second);
     },
     "already held by this thread"},
    {"AtDpcLevelBelowDispatch", [] { KeAcquireSpinLockAtDpcLevel(&lock_a); },
     "KeAcquireSpinLockAtDpcLevel at IRQL 0, below DISPATCH_LEVEL"},
    {"SpinLockReleasedUnheld",
     [] {
         RaiseToDispatch();
         KeReleaseSpinLock(&lock_a, PASSIVE_LEVEL);
     },
     "KeReleaseSpinLock: spin lock .* is not held by this thread"},
    {"SpinLockReleasedAsTheOtherKind",
     [] {
         KLOCK_QUEUE_HANDLE handle;
         KeAcquireInStackQueuedSpinLock(&lock_a, &handle);
         KeReleaseSpinLock(&lock_a, PASSIVE_LEVEL);
     },
     "was acquired as an in-stack queued lock"},
    {"IrqlLoweredUnderSpinLock",
     [] {
         KIRQL old;
         KeAcquireSpinLock(&lock_a, &old);
         KeLowerIrql(PASSIVE_LEVEL);
     },
     "IRQL lowered to 0 while spin lock .* is held"},
    {"InfiniteWaitAtDispatch",
     [] {
         RaiseToDispatch();
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
     },
     "KeWaitForSingleObject at DISPATCH_LEVEL with an infinite time-out"},
    {"TimedWaitAtDispatch",
     [] {
         RaiseToDispatch();
         LARGE_INTEGER t = kernel_test::RelativeMs(1);
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
     },
     "at DISPATCH_LEVEL with a non-zero time-out"},
    {"MutexAcquiredAtDispatch",
     [] {
         static KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         RaiseToDispatch();
         LARGE_INTEGER poll{};
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
     },
     "acquires kernel mutex .* at DISPATCH_LEVEL"},
    {"WaitOnUninitialisedObject",
     [] {
         static KEVENT zeroed{};
         LARGE_INTEGER poll{};
         KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &poll);
     },
     "not an initialised dispatcher object"},
    {"MutexReleasedByNonOwner",
     [] {
         static KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KeReleaseMutex(&mutex, FALSE);
     },
     "KeReleaseMutex on mutex .* which the calling thread does not own"},
    {"SemaphoreReleasedPastLimit",
     [] {
         static KSEMAPHORE semaphore;
         KeInitializeSemaphore(&semaphore, 1, 2);
         KeReleaseSemaphore(&semaphore, 0, 2, FALSE);
     },
     "passes its limit 2 \\(STATUS_SEMAPHORE_LIMIT_EXCEEDED\\)"},
    {"SemaphoreReinitialisedUnderWaiter",
     [] {
         static KSEMAPHORE semaphore;
         KeInitializeSemaphore(&semaphore, 0, 1);
         std::thread([] { KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr); }).detach();
         WaitUntil([] { return sim::WaitersOn(&semaphore) == 1; });
         KeInitializeSemaphore(&semaphore, 1, 1);
     },
     "semaphore .* initialised again while threads wait on it"},
    {"PoolFreedWithWrongTag", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba), kPcCr); },
     "allocated with tag 'USBA' freed with tag 'PcCr'"},
    {"PoolFreedTwice",
     [] {
         void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsba);
         ExFreePoolWithTag(p, kUsba);
         ExFreePoolWithTag(p, kUsba);
     },
     "double free of pool block .* \\(tag 'USBA'\\)"},
    {"PoolFreeOfStrayPointer",
     [] {
         static char notPool[32];
         ExFreePool(notPool + 16);
     },
     "ExFreePool of .* which is not an allocated pool block"},
    {"PagedPoolAtDispatch",
     [] {
         RaiseToDispatch();
         ExAllocatePoolWithTag(PagedPool, 8, kUsba);
     },
     "paged pool allocation \\(tag 'USBA'\\) at IRQL 2"},
    {"ZeroBytePoolAllocation", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kUsba); },
     "pool allocation of zero bytes \\(tag 'USBA'\\)"},
    {"Pool2WithoutPoolType", [] { ExAllocatePool2(POOL_FLAG_UNINITIALIZED, 8, kUsba); },
     "exactly one pool type flag is required"},
    {"PoolLeakedAtTeardown",
     [] {
         sim::Machine leaky;
         ExAllocatePoolWithTag(NonPagedPoolNx, 24, kUsba);
         ExAllocatePoolWithTag(NonPagedPoolNx, 24, kUsba);
         ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kPcCr);
     },
     "pool still allocated at machine teardown: 'PcCr' 1 block, 8 bytes; 'USBA' 2 blocks, 48 bytes"},
    {"SystemThreadRunningAtTeardown",
     [] {
         sim::Machine machine;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         HANDLE thread;
         PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForever, nullptr);
         ZwClose(thread);
     },
     "system thread still running at teardown"},
    {"SystemThreadEndsHoldingKernelMutex",
     [] {
         static KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         HANDLE thread;
         PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                              [](PVOID) { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); },
                              nullptr);
         PVOID object;
         ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
         KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
     },
     "system thread \\(start routine .*\\) ended holding 1 kernel mutex"},
    {"DpcReturnsBelowDispatch",
     [] {
         static KDPC dpc;
         KeInitializeDpc(&dpc, [](KDPC*, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         sim::CurrentMachine().kernel().DrainDpcs();
     },
     "DPC routine .* returned at IRQL 0"},
    {"DpcReturnsHoldingSpinLock",
     [] {
         static KDPC dpc;
         KeInitializeDpc(&dpc, [](KDPC*, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock_a); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         sim::CurrentMachine().kernel().DrainDpcs();
     },
     "DPC routine .* returned holding spin lock"},
    {"WorkItemQueuedTwice",
     [] {
         static KEVENT release;
         static WORK_QUEUE_ITEM item;
         KeInitializeEvent(&release, NotificationEvent, FALSE);
         // Keep the worker busy so the item stays queued.
         sim::CurrentMachine().kernel().QueueWork(
             [] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
         ExInitializeWorkItem(&item, [](PVOID) {}, nullptr);
         ExQueueWorkItem(&item, DelayedWorkQueue);
         ExQueueWorkItem(&item, DelayedWorkQueue);
     },
     "ExQueueWorkItem on work item .* which is queued already"},
    {"ZwCloseOfClosedHandle",
     [] {
         HANDLE thread;
         PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
         ZwClose(thread);
         ZwClose(thread);
     },
     "ZwClose of handle .* which is not open"},
    {"DereferenceWithoutReference",
     [] {
         HANDLE thread;
         PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
         PVOID object;
         ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
         ObDereferenceObject(object);
         ObDereferenceObject(object);
     },
     "ObDereferenceObject on Thread object .* with no references"},
};

void PrintTo(const VerifierCase& c, std::ostream* out) { *out << c.name; }

class VerifierStops : public KernelTest, public ::testing::WithParamInterface<VerifierCase> {};

TEST_P(VerifierStops, WithItsMessage) {
    // The child re-runs the test from the start: the machine's threads do
    // not survive a fork.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    KeInitializeSpinLock(&lock_a);
    KeInitializeSpinLock(&lock_b);
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_DEATH(GetParam().fault(), std::string("VERIFIER STOP: .*") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Kernel, VerifierStops, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<VerifierCase>& info) { return info.param.name; });

}  // namespace

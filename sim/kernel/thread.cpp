// Thread records and system threads.
#include "platform/kernel/thread.h"

#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/user/handles.h"
#include "sim/machine.h"
#include "sim/user/process.h"
#include "sim/verifier.h"

#include <atomic>

namespace sim {

namespace {

std::atomic<ULONG_PTR> next_thread_id{0x1000};

// Unwinds a system thread to its root (PsTerminateSystemThread).
struct SystemThreadExit {
    NTSTATUS status;
};

void* RoutineAddress(PKSTART_ROUTINE routine) { return reinterpret_cast<void*>(routine); }

void SystemThreadRoot(ThreadRecord* thread, PVOID context) {
    MachineScope scope(*thread->machine);
    EnterSystemProcess(*thread->machine);
    SetCurrentThreadRecord(thread);
    try {
        thread->startRoutine(context);
    } catch (const SystemThreadExit&) {
    }
    ThreadContext& here = Here();
    if (here.irql != PASSIVE_LEVEL)
        VerifierStop("system thread (start routine %p) ended at IRQL %u", RoutineAddress(thread->startRoutine),
                     here.irql);
    if (here.heldCount > 0)
        VerifierStop("system thread (start routine %p) ended holding spin lock %p",
                     RoutineAddress(thread->startRoutine), static_cast<void*>(here.held[here.heldCount - 1].lock));
    thread->Exit();
    SetCurrentThreadRecord(nullptr);
}

}  // namespace

ThreadRecord::ThreadRecord(bool system)
    : KernelObject(&body_, *PsThreadType),
      system_(system),
      id_(reinterpret_cast<HANDLE>(next_thread_id.fetch_add(4) + 4)) {
    DISPATCHER_HEADER& header = body_.Tcb.Header;
    header.Type = ::ThreadObject;
    header.Size = kThreadSize;
    header.SignalState = 0;
    InitializeListHead(&header.WaitListHead);
    body_.Tcb.Object = this;
    InitializeListHead(&ownedMutants);
}

ThreadRecord::~ThreadRecord() {
    if (host.joinable()) {
        if (host.get_id() == std::this_thread::get_id())
            host.detach();
        else
            host.join();
    }
}

bool ThreadRecord::IsRunning() const {
    std::lock_guard lock(DispatcherLock());
    return running;
}

void ThreadRecord::Terminate() {
    std::lock_guard lock(DispatcherLock());
    terminating = true;
    wake.notify_all();
}

void ThreadRecord::Exit() {
    std::lock_guard lock(DispatcherLock());
    const ULONG kernelMutexesHeld = AbandonMutants(*this);
    if (system_ && kernelMutexesHeld > 0)
        VerifierStop("system thread (start routine %p) ended holding %u kernel mutex(es)", RoutineAddress(startRoutine),
                     kernelMutexesHeld);
    running = false;
    body_.Tcb.Header.SignalState = 1;
    WakeWaiters(&body_.Tcb.Header);
}

ThreadRecord& CurrentThreadRecord() {
    ThreadContext& here = Here();
    if (here.thread == nullptr) {
        here.adopted = std::make_shared<ThreadRecord>(false);
        here.thread = here.adopted.get();
    }
    return *here.thread;
}

void SetCurrentThreadRecord(ThreadRecord* thread) { Here().thread = thread; }

bool IsWaiting(KTHREAD* thread) {
    std::lock_guard lock(DispatcherLock());
    return ThreadRecord::From(thread)->waiting;
}

void QueueUserApc(KTHREAD* thread, std::function<void()> routine) {
    std::lock_guard lock(DispatcherLock());
    ThreadRecord& target = *ThreadRecord::From(thread);
    target.userApcs.push_back(std::move(routine));
    if (target.waiting && target.alertableUserWait) target.wake.notify_one();
}

ULONG CurrentSessionId() {
    const ThreadContext& here = Here();
    if (here.sessionMachine != nullptr && here.sessionMachine == Machine::Current()) return here.session;
    const Process* process = CurrentProcessOrNull();
    return process != nullptr ? process->token().session : 0;
}

void SetCurrentSessionId(ULONG session) {
    Here().session = session;
    Here().sessionMachine = Machine::Current();
}

}  // namespace sim

NTSTATUS PsCreateSystemThread(HANDLE* threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
    (void)desiredAccess;
    (void)objectAttributes;
    (void)processHandle;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) sim::VerifierStop("PsCreateSystemThread at IRQL %u", KeGetCurrentIrql());
    if (startRoutine == nullptr) sim::VerifierStop("PsCreateSystemThread without a start routine");
    sim::Machine& machine = sim::CurrentMachine();
    auto thread = std::make_shared<sim::ThreadRecord>(true);
    thread->machine = &machine;
    thread->startRoutine = startRoutine;
    thread->running = true;
    *threadHandle = sim::InsertKernelModeHandle(thread, objectAttributes);
    if (clientId != nullptr) {
        clientId->UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR{4});  // the System process
        clientId->UniqueThread = thread->Id();
    }
    machine.kernel().AddSystemThread(thread);
    thread->host = std::thread(sim::SystemThreadRoot, thread.get(), startContext);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
    if (!sim::CurrentThreadRecord().IsSystemThread())
        sim::VerifierStop("PsTerminateSystemThread on a thread that is not a system thread");
    throw sim::SystemThreadExit{exitStatus};
}

PETHREAD PsGetCurrentThread() { return sim::CurrentThreadRecord().Ethread(); }

PKTHREAD KeGetCurrentThread() { return sim::CurrentThreadRecord().Kthread(); }

HANDLE PsGetCurrentThreadId() { return sim::CurrentThreadRecord().Id(); }

HANDLE PsGetThreadId(PETHREAD thread) { return thread->Tcb.Object->Id(); }

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority) {
    std::lock_guard lock(sim::DispatcherLock());
    sim::ThreadRecord& target = *sim::ThreadRecord::From(thread);
    const KPRIORITY old = target.priority;
    target.priority = priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread) {
    std::lock_guard lock(sim::DispatcherLock());
    return sim::ThreadRecord::From(thread)->priority;
}

// The processthreadsapi subset: threads, their exit codes, process exit.
#include "sim/user/user_threads.h"

#include "platform/io/irp.h"
#include "platform/win32/process.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/user/handles.h"
#include "sim/user/process.h"
#include "sim/user/user_call.h"
#include "sim/verifier.h"

namespace sim {

namespace {

void UserThreadRoot(std::shared_ptr<ThreadRecord> thread, Process* process, std::function<DWORD()> body) {
    ProcessScope scope(*process);
    SetCurrentThreadRecord(thread.get());
    {
        std::unique_lock lock(DispatcherLock());
        thread->wake.wait(lock, [&] { return thread->suspendCount == 0 || thread->terminating; });
    }
    DWORD code = 0;
    try {
        if (!thread->IsRunning()) throw UserThreadExit{thread->exitCode};
        bool terminated;
        {
            std::lock_guard lock(DispatcherLock());
            terminated = thread->terminating;
            code = thread->exitCode;
        }
        if (!terminated) code = body();
    } catch (const UserThreadExit& exit) {
        code = exit.code;
    }
    ThreadContext& here = Here();
    if (here.irql != PASSIVE_LEVEL) VerifierStop("user thread %p ended at IRQL %u", thread->Id(), here.irql);
    if (here.heldCount > 0) VerifierStop("user thread %p ended holding a spin lock", thread->Id());
    // Its requests still in drivers are cancelled, as at a thread's exit on
    // Windows.
    for (IRP* irp : process->Requests(thread.get())) IoCancelIrp(irp);
    {
        std::lock_guard lock(DispatcherLock());
        if (!thread->terminating || thread->exitCode == STILL_ACTIVE) thread->exitCode = code;
    }
    thread->Exit();
    SetCurrentThreadRecord(nullptr);
}

}  // namespace

std::shared_ptr<ThreadRecord> StartUserThread(Process& process, bool suspended, std::function<DWORD()> body) {
    auto thread = std::make_shared<ThreadRecord>(false);
    thread->process = &process;
    thread->userRoot = true;
    thread->running = true;
    thread->suspendCount = suspended ? 1 : 0;
    process.AddThread(thread);
    thread->host = std::thread(UserThreadRoot, thread, &process, std::move(body));
    return thread;
}

}  // namespace sim

using sim::EnterUserCall;
using sim::RefusedCall;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES threadAttributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    (void)threadAttributes;
    (void)stackSize;
    if (RefusedCall(EnterUserCall("CreateThread"))) return nullptr;
    if (startAddress == nullptr || (creationFlags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = sim::StartUserThread(sim::CurrentProcess(), (creationFlags & CREATE_SUSPENDED) != 0,
                                       [startAddress, parameter] { return startAddress(parameter); });
    if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(thread->Id()));
    return sim::InsertUserHandle(thread);
}

DWORD ResumeThread(HANDLE thread) {
    if (RefusedCall(EnterUserCall("ResumeThread"))) return static_cast<DWORD>(-1);
    auto record = sim::LookupUserHandleAs<sim::ThreadRecord>(thread);
    if (!record) return static_cast<DWORD>(-1);
    std::lock_guard lock(sim::DispatcherLock());
    const DWORD previous = record->suspendCount;
    if (previous > 0 && --record->suspendCount == 0) record->wake.notify_all();
    return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    if (RefusedCall(EnterUserCall("GetExitCodeThread"))) return FALSE;
    auto record = thread == GetCurrentThread() ? std::static_pointer_cast<sim::ThreadRecord>(
                                                     sim::CurrentThreadRecord().shared_from_this())
                                               : sim::LookupUserHandleAs<sim::ThreadRecord>(thread);
    if (!record) return FALSE;
    std::lock_guard lock(sim::DispatcherLock());
    *exitCode = record->Kthread()->Header.SignalState != 0 ? record->exitCode : STILL_ACTIVE;
    return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    if (RefusedCall(EnterUserCall("TerminateThread"))) return FALSE;
    auto record = sim::LookupUserHandleAs<sim::ThreadRecord>(thread);
    if (!record) return FALSE;
    {
        std::lock_guard lock(sim::DispatcherLock());
        if (record->Kthread()->Header.SignalState != 0) return TRUE;  // it has ended already
        if (!record->userRoot)
            sim::VerifierStop("TerminateThread on a running thread the simulator does not run (%p)", record->Id());
        record->exitCode = exitCode;
    }
    // The thread ends at its next wait or call: a host thread cannot be
    // killed where it stands, as Windows kills one.
    record->Terminate();
    return TRUE;
}

void ExitProcess(UINT exitCode) {
    sim::Process& process = sim::CurrentProcess();
    sim::ThreadRecord& self = sim::CurrentThreadRecord();
    {
        std::lock_guard lock(sim::DispatcherLock());
        if (!self.userRoot || self.process != &process)
            sim::VerifierStop("ExitProcess on a thread the simulator cannot end (use Process::Exit from a test)");
        self.exitCode = exitCode;
    }
    process.Exit(exitCode, true);
    throw sim::UserThreadExit{exitCode};
}

HANDLE GetCurrentThread() { return NtCurrentThread(); }

HANDLE GetCurrentProcess() { return NtCurrentProcess(); }

DWORD GetCurrentProcessId() { return sim::CurrentProcess().Id(); }

// Thread records. Every host thread that makes platform calls has one: system
// threads get theirs from PsCreateSystemThread, any other thread (a test's,
// the machine's DPC and worker threads, user-mode threads) adopts one on
// first use. The record carries the thread's wait state, the mutexes it owns
// and its user APC queue; its dispatcher header is signalled when it ends.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/thread.h"
#include "sim/kernel/object_ref.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

namespace sim {
class Machine;
class Process;
class ThreadRecord;
}  // namespace sim

struct KTHREAD {
    DISPATCHER_HEADER Header;
    sim::ThreadRecord* Object;
};
static_assert(offsetof(KTHREAD, Header) == 0);

struct ETHREAD {
    KTHREAD Tcb;
};

namespace sim {

class ThreadRecord final : public KernelObject {
public:
    explicit ThreadRecord(bool system);
    ~ThreadRecord() override;

    const char* TypeName() const override { return "Thread"; }
    DISPATCHER_HEADER* Waitable() override { return &body_.Tcb.Header; }

    KTHREAD* Kthread() { return &body_.Tcb; }
    ETHREAD* Ethread() { return &body_; }
    static ThreadRecord* From(KTHREAD* thread) { return thread->Object; }

    bool IsSystemThread() const { return system_; }
    HANDLE Id() const { return id_; }
    KPRIORITY priority = 8;

    // Wait state; guarded by the dispatcher lock.
    std::condition_variable wake;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    bool waiting = false;
    bool alertableUserWait = false;
    KWAIT_BLOCK* waitBlocks = nullptr;
    ULONG waitCount = 0;
    KWAIT_BLOCK ownBlocks[THREAD_WAIT_OBJECTS + 1] = {};
    LIST_ENTRY ownedMutants;  // KMUTANT::MutantListEntry
    ULONG kernelMutexes = 0;  // owned kernel (not user-mode) mutexes
    std::deque<std::function<void()>> userApcs;

    // System threads: the host thread and whether the start routine runs.
    std::thread host;
    Machine* machine = nullptr;
    PKSTART_ROUTINE startRoutine = nullptr;
    bool running = false;  // guarded by the dispatcher lock

    // User-mode threads (CreateThread, a process's main thread); guarded by
    // the dispatcher lock. `userRoot`: the simulator runs the thread's body
    // and can unwind it when its process ends.
    Process* process = nullptr;
    bool userRoot = false;
    ULONG suspendCount = 0;
    bool terminating = false;  // its process exited or TerminateThread: waits end
    DWORD exitCode = 259;      // STILL_ACTIVE

    bool IsRunning() const;
    // Ends the thread's waits; its next user-mode call unwinds it.
    void Terminate();

    // Ends the thread's life as a waitable object: signals it and abandons
    // or reports the mutexes it still owns.
    void Exit();

private:
    ETHREAD body_{};
    bool system_;
    HANDLE id_;
};

// The calling thread's record (adopted on first use).
ThreadRecord& CurrentThreadRecord();
// Makes `thread` the calling host thread's record (system threads).
void SetCurrentThreadRecord(ThreadRecord* thread);

// Whether `thread` is blocked in a wait now (tests use it to know a thread
// has reached its wait or sleep).
bool IsWaiting(KTHREAD* thread);

// Queues `routine` to run on `thread` during its next alertable user-mode
// wait, which then returns STATUS_USER_APC (WAIT_IO_COMPLETION).
void QueueUserApc(KTHREAD* thread, std::function<void()> routine);

// The session of the calling thread's process, for the named-object
// namespace. A test may make a thread act as one of another session on
// the current machine (SetCurrentSessionId).
ULONG CurrentSessionId();
void SetCurrentSessionId(ULONG session);

}  // namespace sim

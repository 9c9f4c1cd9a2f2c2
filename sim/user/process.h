// Simulated processes: what a Windows process is to the code that runs in
// it. A process is a kernel object (signalled when it has exited) with a
// pid, an image path and command line, a token (user SID, session, SYSTEM
// or not, administrator or not), its own handle table, its loaded images,
// its per-image globals and its threads.
//
// Exit (the main thread returns, ExitProcess, or Terminate as a crash
// stand-in) cancels the requests its threads still have in the drivers,
// gives its DLLs their detach call (not on Terminate), closes its handles
// (file objects see CLEANUP, and CLOSE once their last reference goes), and
// writes an exit report of what it leaked.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "sim/kernel/object_ref.h"
#include "sim/machine.h"
#include "sim/object.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct IRP;

namespace sim {

class Machine;
class ThreadRecord;

struct Token {
    std::u16string userSid;
    ULONG session = 1;
    bool system = false;  // LocalSystem
    bool admin = false;   // a member of the Administrators group, elevated
};

// The interactive user of session 1, and LocalSystem (services).
Token InteractiveUserToken();
Token LocalSystemToken();

struct ProcessOptions {
    std::u16string imagePath = u"C:\\Windows\\System32\\test.exe";
    std::u16string commandLine;
    Token token = InteractiveUserToken();
    // Misuse that the application verifier stops on (an invalid or foreign
    // handle, a critical section left by a thread that does not own it)
    // stops the test. The machine's own test process runs without it, so a
    // test can observe the plain Windows answers to misuse.
    bool applicationVerifier = true;
};

// What a process left behind when it exited. Tests assert it is empty.
struct ExitReport {
    DWORD exitCode = 0;
    std::vector<std::string> handles;    // handles still open at exit
    std::vector<std::string> threads;    // threads still running at exit
    std::vector<std::string> coTaskMem;  // CoTaskMem blocks not freed
    std::vector<std::string> irps;       // requests the drivers did not give back

    bool Empty() const { return handles.empty() && threads.empty() && coTaskMem.empty() && irps.empty(); }
    // One line per leak, for a failure message.
    std::string Text() const;
};

// The record behind a process handle and the process's waitable body.
struct KPROCESS_BODY {
    DISPATCHER_HEADER Header;
};

class Process final : public KernelObject {
public:
    Process(Machine& machine, DWORD pid, ProcessOptions options, bool kernelTable,
            std::atomic<std::uintptr_t>* handleValues);
    ~Process() override;

    const char* TypeName() const override { return "Process"; }
    DISPATCHER_HEADER* Waitable() override { return &body_.Header; }

    Machine& machine() const { return machine_; }
    DWORD Id() const { return pid_; }
    const std::u16string& ImagePath() const { return options_.imagePath; }
    const std::u16string& CommandLine() const { return options_.commandLine; }
    const Token& token() const { return options_.token; }
    bool Verified() const { return options_.applicationVerifier; }
    bool IsSystem() const { return pid_ == 4; }
    HandleTable& handles() { return handles_; }

    bool Exited() const;
    // Valid once Exited().
    ExitReport Report() const;
    DWORD ExitCode() const;

    // A slot for one per-process global of type `key`, made on first use.
    void* ImageStateSlot(const void* key, void* (*make)(), void (*destroy)(void*));

    // Loaded images: `detach` runs at an orderly exit, in reverse load order.
    void AddImage(std::u16string path, std::function<void()> detach);
    std::vector<std::u16string> Images() const;

    // Requests issued from this process that are still in a driver. The
    // user-mode I/O code adds and removes them; exit cancels them.
    void AddRequest(IRP* irp);
    void RemoveRequest(IRP* irp);
    std::vector<IRP*> Requests(const ThreadRecord* thread = nullptr) const;

    // Threads made by CreateThread or Start that run in this process.
    void AddThread(std::shared_ptr<ThreadRecord> thread);
    std::vector<std::shared_ptr<ThreadRecord>> Threads() const;

    // Simulator state that belongs to a record in the process's memory (a
    // critical section's lock): kept under the record's address until
    // dropped, or until the process is destroyed.
    void Keep(const void* key, std::shared_ptr<void> state);
    std::shared_ptr<void> Kept(const void* key) const;
    void Drop(const void* key);

    // The CoTaskMem ledger: blocks handed out and not yet freed.
    void RecordBlock(const void* block, std::size_t size);
    bool ForgetBlock(const void* block);

    // Runs the exit sequence once (see the file comment); later calls do
    // nothing. `orderly`: DLLs get their detach call.
    void Exit(DWORD code, bool orderly);

private:
    Machine& machine_;
    const DWORD pid_;
    const ProcessOptions options_;
    KPROCESS_BODY body_{};
    HandleTable handles_;

    mutable std::mutex mutex_;
    bool exiting_ = false;
    bool exited_ = false;
    ExitReport report_;
    struct Slot {
        void* state;
        void (*destroy)(void*);
    };
    std::vector<std::pair<const void*, Slot>> imageState_;
    struct Image {
        std::u16string path;
        std::function<void()> detach;
    };
    std::vector<Image> images_;
    std::vector<IRP*> requests_;
    std::vector<std::shared_ptr<ThreadRecord>> threads_;
    std::map<const void*, std::size_t> blocks_;
    std::map<const void*, std::shared_ptr<void>> kept_;

    void DestroyImageState();
};

// The process the calling thread runs in: the one it entered with a
// ProcessScope, the System process for the machine's own threads, else the
// machine's test process.
Process& CurrentProcess();
// As CurrentProcess, or null when the thread runs on no machine.
Process* CurrentProcessOrNull();

// Makes the calling thread act as a thread of `process` until the scope ends
// (and enters its machine).
class ProcessScope {
public:
    explicit ProcessScope(Process& process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    MachineScope machine_;
    Process* previous_;
};

// The machine's own threads (DPCs, workers, system threads) run in System.
void EnterSystemProcess(Machine& machine);

}  // namespace sim

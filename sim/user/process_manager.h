// The machine's processes: the System process (pid 4, whose handle table
// holds the kernel handles), the test process "test.exe" in session 1 that
// the machine's constructing thread runs in, and the processes a test
// creates or starts.
#pragma once

#include "platform/base/types.h"
#include "sim/user/process.h"

#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class Machine;

// An executable's entry: its wWinMain body, given the command line; the
// value it returns is the process's exit code.
using ExeEntry = DWORD (*)(PCWSTR commandLine);

struct ExeImage {
    std::u16string path;
    ExeEntry entry = nullptr;
};

class ProcessManager {
public:
    explicit ProcessManager(Machine& machine);
    ~ProcessManager();
    ProcessManager(const ProcessManager&) = delete;
    ProcessManager& operator=(const ProcessManager&) = delete;

    Process& System() { return *system_; }
    Process& TestProcess() { return *test_; }

    // A process a test acts as (through ProcessScope). It lives until it
    // exits: Exit(code) on it, or ExitProcess from one of its threads.
    std::shared_ptr<Process> Create(ProcessOptions options = {});
    // A process whose main thread runs `image`'s entry with `commandLine`;
    // the process exits when the entry returns.
    std::shared_ptr<Process> Start(const ExeImage& image, std::u16string commandLine, ProcessOptions options = {});

    std::shared_ptr<Process> Find(DWORD pid) const;
    std::vector<std::shared_ptr<Process>> All() const;

    // Machine teardown: every process still running exits (the test
    // process last), in an orderly way.
    void Shutdown();

private:
    Machine& machine_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Process>> processes_;
    DWORD nextPid_ = 0x100;
    std::atomic<std::uintptr_t> handleValues_{0x100};
    std::shared_ptr<Process> system_;
    std::shared_ptr<Process> test_;

    std::shared_ptr<Process> Make(ProcessOptions options, bool system);
};

}  // namespace sim

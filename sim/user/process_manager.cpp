#include "sim/user/process_manager.h"

#include "sim/user/user_threads.h"

namespace sim {

ProcessManager::ProcessManager(Machine& machine) : machine_(machine) {
    ProcessOptions system;
    system.imagePath = u"System";
    system.token = LocalSystemToken();
    system_ = Make(std::move(system), true);
    ProcessOptions test;
    test.applicationVerifier = false;
    test_ = Make(std::move(test), false);
}

ProcessManager::~ProcessManager() = default;

std::shared_ptr<Process> ProcessManager::Make(ProcessOptions options, bool system) {
    std::lock_guard lock(mutex_);
    const DWORD pid = system ? 4 : (nextPid_ += 4);
    auto process = std::make_shared<Process>(machine_, pid, std::move(options), system, &handleValues_);
    processes_.push_back(process);
    return process;
}

std::shared_ptr<Process> ProcessManager::Create(ProcessOptions options) { return Make(std::move(options), false); }

std::shared_ptr<Process> ProcessManager::Start(const ExeImage& image, std::u16string commandLine,
                                               ProcessOptions options) {
    options.imagePath = image.path;
    options.commandLine = commandLine;
    std::shared_ptr<Process> process = Make(std::move(options), false);
    const ExeEntry entry = image.entry;
    StartUserThread(*process, false, [entry, process] {
        const DWORD code = entry(process->CommandLine().c_str());
        process->Exit(code, true);
        return code;
    });
    return process;
}

std::shared_ptr<Process> ProcessManager::Find(DWORD pid) const {
    std::lock_guard lock(mutex_);
    for (const auto& process : processes_)
        if (process->Id() == pid) return process;
    return nullptr;
}

std::vector<std::shared_ptr<Process>> ProcessManager::All() const {
    std::lock_guard lock(mutex_);
    return processes_;
}

void ProcessManager::Shutdown() {
    for (const auto& process : All())
        if (process != test_ && process != system_) process->Exit(0, true);
    test_->Exit(0, true);
    system_->Exit(0, true);
}

}  // namespace sim

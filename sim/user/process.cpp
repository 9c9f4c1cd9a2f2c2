#include "sim/user/process.h"

#include "platform/io/irp.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/user/process_manager.h"
#include "sim/verifier.h"
#include "platform/win32/image_state.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {
OBJECT_TYPE process_type{"Process"};

std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}
}  // namespace

Token InteractiveUserToken() { return {std::u16string(Registry::kDefaultUserSid), 1, false, false}; }

Token LocalSystemToken() { return {u"S-1-5-18", 0, true, true}; }

std::string ExitReport::Text() const {
    std::string text;
    for (const auto& h : handles) text += "handle left open: " + h + "\n";
    for (const auto& t : threads) text += "thread still running: " + t + "\n";
    for (const auto& b : coTaskMem) text += "CoTaskMem block not freed: " + b + "\n";
    for (const auto& i : irps) text += "request not given back by its driver: " + i + "\n";
    return text;
}

Process::Process(Machine& machine, DWORD pid, ProcessOptions options, bool kernelTable,
                 std::atomic<std::uintptr_t>* handleValues)
    : KernelObject(&body_, &process_type),
      machine_(machine),
      pid_(pid),
      options_(std::move(options)),
      handles_(kernelTable, handleValues) {
    body_.Header.Type = EventNotificationObject;  // waitable like a notification event
    body_.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    body_.Header.SignalState = 0;
    InitializeListHead(&body_.Header.WaitListHead);
}

Process::~Process() { DestroyImageState(); }

bool Process::Exited() const {
    std::lock_guard lock(mutex_);
    return exited_;
}

ExitReport Process::Report() const {
    std::lock_guard lock(mutex_);
    return report_;
}

DWORD Process::ExitCode() const {
    std::lock_guard lock(mutex_);
    return exited_ ? report_.exitCode : 259;  // STILL_ACTIVE
}

void* Process::ImageStateSlot(const void* key, void* (*make)(), void (*destroy)(void*)) {
    std::lock_guard lock(mutex_);
    for (auto& [type, slot] : imageState_)
        if (type == key) return slot.state;
    void* state = make();
    imageState_.push_back({key, Slot{state, destroy}});
    return state;
}

void Process::DestroyImageState() {
    std::vector<std::pair<const void*, Slot>> slots;
    {
        std::lock_guard lock(mutex_);
        slots.swap(imageState_);
    }
    // Globals go in reverse order of first use, as a module's statics do.
    for (auto it = slots.rbegin(); it != slots.rend(); ++it) it->second.destroy(it->second.state);
}

void Process::AddImage(std::u16string path, std::function<void()> detach) {
    std::lock_guard lock(mutex_);
    images_.push_back({std::move(path), std::move(detach)});
}

std::vector<std::u16string> Process::Images() const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> paths;
    for (const auto& image : images_) paths.push_back(image.path);
    return paths;
}

void Process::AddRequest(IRP* irp) {
    std::lock_guard lock(mutex_);
    requests_.push_back(irp);
}

void Process::RemoveRequest(IRP* irp) {
    std::lock_guard lock(mutex_);
    std::erase(requests_, irp);
}

std::vector<IRP*> Process::Requests(const ThreadRecord* thread) const {
    std::lock_guard lock(mutex_);
    std::vector<IRP*> out;
    for (IRP* irp : requests_)
        if (thread == nullptr || irp->Tail.Overlay.Thread == const_cast<ThreadRecord*>(thread)->Ethread())
            out.push_back(irp);
    return out;
}

void Process::AddThread(std::shared_ptr<ThreadRecord> thread) {
    std::lock_guard lock(mutex_);
    std::erase_if(threads_, [](const auto& t) { return !t->IsRunning(); });
    threads_.push_back(std::move(thread));
}

std::vector<std::shared_ptr<ThreadRecord>> Process::Threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

void Process::Keep(const void* key, std::shared_ptr<void> state) {
    std::lock_guard lock(mutex_);
    kept_[key] = std::move(state);
}

std::shared_ptr<void> Process::Kept(const void* key) const {
    std::lock_guard lock(mutex_);
    auto it = kept_.find(key);
    return it == kept_.end() ? nullptr : it->second;
}

void Process::Drop(const void* key) {
    std::shared_ptr<void> released;
    std::lock_guard lock(mutex_);
    auto it = kept_.find(key);
    if (it == kept_.end()) return;
    released = std::move(it->second);
    kept_.erase(it);
}

void Process::RecordBlock(const void* block, std::size_t size) {
    std::lock_guard lock(mutex_);
    blocks_[block] = size;
}

bool Process::ForgetBlock(const void* block) {
    std::lock_guard lock(mutex_);
    return blocks_.erase(block) != 0;
}

void Process::Exit(DWORD code, bool orderly) {
    {
        std::lock_guard lock(mutex_);
        if (exiting_) return;
        exiting_ = true;
        report_.exitCode = code;
    }
    MachineScope scope(machine_);
    ExitReport report;
    report.exitCode = code;

    // Threads still running are ended: their waits return and their next
    // call unwinds them (see EnterUserCall). Windows kills them outright.
    const ThreadRecord* self = Here().thread;
    for (const auto& thread : Threads()) {
        if (thread.get() == self || !thread->IsRunning()) continue;
        report.threads.push_back("thread " + std::to_string(reinterpret_cast<ULONG_PTR>(thread->Id())));
        thread->Terminate();
    }

    if (orderly) {
        std::vector<Image> images;
        {
            std::lock_guard lock(mutex_);
            images = images_;
        }
        for (auto it = images.rbegin(); it != images.rend(); ++it)
            if (it->detach) it->detach();
    }

    // Requests still in a driver are cancelled; what the driver keeps after
    // the cancel and the handles' CLEANUP is a leak of the driver's.
    for (IRP* irp : Requests()) IoCancelIrp(irp);
    for (auto& [handle, object] : handles_.TakeAll()) {
        report.handles.push_back(object->Describe() + " (handle " + Pointer(handle) + ")");
        object.reset();  // a file handle's CLEANUP goes out here
    }
    for (IRP* irp : Requests()) {
        const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
        char text[96];
        std::snprintf(text, sizeof(text), "IRP %p (major 0x%02x)", static_cast<void*>(irp), stack->MajorFunction);
        report.irps.push_back(text);
    }
    machine_.kernel().tracing().UnregisterProcess(pid_);

    {
        std::lock_guard lock(mutex_);
        for (const auto& [block, size] : blocks_)
            report.coTaskMem.push_back(Pointer(block) + " (" + std::to_string(size) + " bytes)");
        blocks_.clear();
        report_ = std::move(report);
        exited_ = true;
    }
    DestroyImageState();
    std::lock_guard dispatcher(DispatcherLock());
    body_.Header.SignalState = 1;
    WakeWaiters(&body_.Header);
}

// ---- the calling thread's process ----

Process* CurrentProcessOrNull() {
    Machine* machine = Machine::Current();
    if (machine == nullptr) return nullptr;
    Process* entered = Here().process;
    if (entered != nullptr && &entered->machine() == machine) return entered;
    return &machine->processes().TestProcess();
}

Process& CurrentProcess() {
    Process* process = CurrentProcessOrNull();
    if (process == nullptr) VerifierStop("user-mode call on a thread that runs on no simulated machine");
    return *process;
}

ProcessScope::ProcessScope(Process& process) : machine_(process.machine()), previous_(Here().process) {
    Here().process = &process;
}

ProcessScope::~ProcessScope() { Here().process = previous_; }

void EnterSystemProcess(Machine& machine) { Here().process = &machine.processes().System(); }

}  // namespace sim

void* ImageStateSlot(const void* key, void* (*make)(), void (*destroy)(void*)) {
    return sim::CurrentProcess().ImageStateSlot(key, make, destroy);
}

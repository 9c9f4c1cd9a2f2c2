// User-mode threads: a process's main thread and the threads CreateThread
// makes. Each runs its body on its own host thread in its process; when the
// body ends (or the process ends it) the requests it still has in drivers
// are cancelled and its thread object is signalled.
#pragma once

#include "platform/base/types.h"

#include <functional>
#include <memory>

namespace sim {

class Process;
class ThreadRecord;

// Starts a thread of `process` that runs `body` (its return value is the
// thread's exit code), held until ResumeThread when `suspended`.
std::shared_ptr<ThreadRecord> StartUserThread(Process& process, bool suspended, std::function<DWORD()> body);

}  // namespace sim

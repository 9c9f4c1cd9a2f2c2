// Critical sections: a lock per record, owned by the record's process. The
// record's own fields show the owner and recursion as on Windows.
#include "platform/win32/synch.h"
#include "sim/user/process.h"
#include "sim/user/user_call.h"
#include "sim/verifier.h"

#include <condition_variable>
#include <mutex>

namespace {

struct Lock {
    std::mutex mutex;
    std::condition_variable released;
    DWORD owner = 0;
    LONG recursion = 0;
};

std::shared_ptr<Lock> LockOf(LPCRITICAL_SECTION section, const char* function) {
    auto lock = std::static_pointer_cast<Lock>(sim::CurrentProcess().Kept(section));
    if (!lock) sim::VerifierStop("%s on critical section %p, which is not initialised", function, (void*)section);
    return lock;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    (void)sim::EnterUserCall("InitializeCriticalSection");  // cannot fail since Windows Vista
    *section = {};
    section->LockCount = -1;
    sim::CurrentProcess().Keep(section, std::make_shared<Lock>());
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    (void)sim::EnterUserCall("EnterCriticalSection");
    auto lock = LockOf(section, "EnterCriticalSection");
    const DWORD self = GetCurrentThreadId();
    std::unique_lock guard(lock->mutex);
    if (lock->owner != self) {
        lock->released.wait(guard, [&] { return lock->owner == 0; });
        lock->owner = self;
        section->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(self));
    }
    section->RecursionCount = ++lock->recursion;
    ++section->LockCount;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    (void)sim::EnterUserCall("LeaveCriticalSection");
    auto lock = LockOf(section, "LeaveCriticalSection");
    std::unique_lock guard(lock->mutex);
    if (lock->owner != GetCurrentThreadId())
        sim::VerifierStop("application verifier: critical section %p released by thread %u, which does not own it",
                          (void*)section, static_cast<unsigned>(GetCurrentThreadId()));
    --section->LockCount;
    section->RecursionCount = --lock->recursion;
    if (lock->recursion == 0) {
        lock->owner = 0;
        section->OwningThread = nullptr;
        lock->released.notify_one();
    }
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    (void)sim::EnterUserCall("DeleteCriticalSection");
    auto lock = LockOf(section, "DeleteCriticalSection");
    {
        std::lock_guard guard(lock->mutex);
        if (lock->owner != 0 && lock->owner != GetCurrentThreadId())
            sim::VerifierStop("application verifier: critical section %p deleted while thread %u owns it",
                              (void*)section, static_cast<unsigned>(lock->owner));
    }
    sim::CurrentProcess().Drop(section);
    *section = {};
}

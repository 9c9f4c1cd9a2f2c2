// The synchapi subset over the kernel's dispatcher objects.
#include "platform/win32/synch.h"
#include "platform/win32/timeapi.h"

#include "platform/kernel/time.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/dispatcher.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/named_objects.h"
#include "sim/kernel/sync_objects.h"
#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/kernel/time_base.h"
#include "sim/machine.h"
#include "sim/user/handles.h"
#include "sim/user/user_call.h"
#include "sim/verifier.h"

#include <string>
#include <vector>

namespace sim {

namespace {
OBJECT_TYPE mutant_type{"Mutant"};
}

POBJECT_TYPE MutantType() { return &mutant_type; }

EventObject::EventObject(bool manualReset, bool initialState) : KernelObject(&event, *ExEventObjectType), event{} {
    KeInitializeEvent(&event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
}

MutexObject::MutexObject(bool initialOwner) : KernelObject(&mutant, MutantType()), mutant{} {
    InitializeMutant(&mutant, false, initialOwner);
}

SemaphoreObject::SemaphoreObject(LONG count, LONG limit)
    : KernelObject(&semaphore, *ExSemaphoreObjectType), semaphore{} {
    KeInitializeSemaphore(&semaphore, count, limit);
}

}  // namespace sim

namespace {

std::u16string NameOf(LPCWSTR name) { return name == nullptr ? std::u16string() : std::u16string(name); }

// Creates an object, or opens the named one that exists.
template <class T, class Make>
HANDLE CreateNamed(const char* function, LPCWSTR name, Make make) {
    if (sim::RefusedCall(sim::EnterUserCall(function))) return nullptr;
    sim::Machine& machine = sim::CurrentMachine();
    std::shared_ptr<sim::KernelObject> object;
    bool existed = false;
    if (name == nullptr || *name == 0) {
        object = make();
    } else {
        object = machine.kernel().namedObjects().OpenOrCreate(sim::NamedObjects::PathFor(NameOf(name)), make, &existed);
        if (!std::dynamic_pointer_cast<T>(object)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return sim::InsertUserHandle(object);
}

// Generic rights mapped to the specific rights of events, mutexes and
// semaphores (their generic mappings agree on the bits the package uses).
ACCESS_MASK MapSynchAccess(ACCESS_MASK desired, ACCESS_MASK all) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) granted |= READ_CONTROL | 0x0001;   // query state
    if (desired & GENERIC_WRITE) granted |= READ_CONTROL | 0x0002;  // modify state
    if (desired & GENERIC_EXECUTE) granted |= READ_CONTROL | SYNCHRONIZE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= all;
    return granted & all;
}

template <class T>
HANDLE OpenNamed(const char* function, LPCWSTR name, ACCESS_MASK access) {
    if (sim::RefusedCall(sim::EnterUserCall(function))) return nullptr;
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sim::Machine& machine = sim::CurrentMachine();
    std::shared_ptr<sim::KernelObject> object =
        machine.kernel().namedObjects().Open(sim::NamedObjects::PathFor(NameOf(name)));
    if (!object) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!std::dynamic_pointer_cast<T>(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return sim::InsertUserHandle(object, access);
}

template <class T>
std::shared_ptr<T> Lookup(const char* function, HANDLE handle, ACCESS_MASK access) {
    if (sim::RefusedCall(sim::EnterUserCall(function))) return nullptr;
    return sim::LookupUserHandleAs<T>(handle, access);
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES eventAttributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    (void)eventAttributes;
    return CreateNamed<sim::EventObject>(
        "CreateEventW", name, [&] { return std::make_shared<sim::EventObject>(manualReset != 0, initialState != 0); });
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES mutexAttributes, BOOL initialOwner, LPCWSTR name) {
    (void)mutexAttributes;
    return CreateNamed<sim::MutexObject>("CreateMutexW", name,
                                         [&] { return std::make_shared<sim::MutexObject>(initialOwner != 0); });
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES semaphoreAttributes, LONG initialCount, LONG maximumCount,
                        LPCWSTR name) {
    (void)semaphoreAttributes;
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateNamed<sim::SemaphoreObject>(
        "CreateSemaphoreW", name, [&] { return std::make_shared<sim::SemaphoreObject>(initialCount, maximumCount); });
}

HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    (void)desiredAccess;
    (void)inheritHandle;
    return OpenNamed<sim::EventObject>("OpenEventW", name, MapSynchAccess(desiredAccess, EVENT_ALL_ACCESS));
}

HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    (void)desiredAccess;
    (void)inheritHandle;
    return OpenNamed<sim::MutexObject>("OpenMutexW", name, MapSynchAccess(desiredAccess, MUTEX_ALL_ACCESS));
}

HANDLE OpenSemaphoreW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    (void)desiredAccess;
    (void)inheritHandle;
    return OpenNamed<sim::SemaphoreObject>("OpenSemaphoreW", name,
                                           MapSynchAccess(desiredAccess, SEMAPHORE_ALL_ACCESS));
}

BOOL SetEvent(HANDLE event) {
    auto object = Lookup<sim::EventObject>("SetEvent", event, EVENT_MODIFY_STATE);
    if (!object) return FALSE;
    KeSetEvent(&object->event, 0, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto object = Lookup<sim::EventObject>("ResetEvent", event, EVENT_MODIFY_STATE);
    if (!object) return FALSE;
    KeResetEvent(&object->event);
    return TRUE;
}

BOOL PulseEvent(HANDLE event) {
    auto object = Lookup<sim::EventObject>("PulseEvent", event, EVENT_MODIFY_STATE);
    if (!object) return FALSE;
    KePulseEvent(&object->event, 0, FALSE);
    return TRUE;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto object = Lookup<sim::MutexObject>("ReleaseMutex", mutex, 0);
    if (!object) return FALSE;
    LONG previous = 0;
    if (!sim::ReleaseMutant(&object->mutant, &previous)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    auto object = Lookup<sim::SemaphoreObject>("ReleaseSemaphore", semaphore, SEMAPHORE_MODIFY_STATE);
    if (!object) return FALSE;
    LONG previous = 0;
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!sim::ReleaseSemaphoreChecked(&object->semaphore, releaseCount, &previous)) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return FALSE;
    }
    if (previousCount != nullptr) *previousCount = previous;
    return TRUE;
}

namespace {

DWORD ToWaitResult(NTSTATUS status) {
    if (status == STATUS_PROCESS_IS_TERMINATING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return WAIT_FAILED;
    }
    if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
    if (status == STATUS_USER_APC) return WAIT_IO_COMPLETION;
    return static_cast<DWORD>(status);  // WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i
}

DWORD UserWait(const char* function, DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds,
               bool alertable) {
    if (sim::RefusedCall(sim::EnterUserCall(function))) return WAIT_FAILED;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep the objects alive while another thread closes
    // their handles, as the wait's own references do on Windows.
    std::vector<std::shared_ptr<sim::KernelObject>> objects;
    DISPATCHER_HEADER* headers[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<sim::KernelObject> object;
        if (handles[i] == NtCurrentThread())
            object = sim::CurrentThreadRecord().shared_from_this();
        else
            object = sim::LookupUserHandleAs<sim::KernelObject>(handles[i], SYNCHRONIZE);
        if (!object) return WAIT_FAILED;  // the lookup set the error
        headers[i] = object->Waitable();
        if (headers[i] == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        for (DWORD j = 0; waitAll && j < i; ++j)
            if (headers[j] == headers[i]) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        objects.push_back(std::move(object));
    }
    KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS];
    return ToWaitResult(sim::UserWaitForObjects(count, headers, waitAll ? WaitAll : WaitAny, alertable,
                                                milliseconds == 0, sim::DeadlineAfterMs(milliseconds), blocks));
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return UserWait("WaitForSingleObject", 1, &handle, false, milliseconds, false);
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable) {
    return UserWait("WaitForSingleObjectEx", 1, &handle, false, milliseconds, alertable != 0);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return UserWait("WaitForMultipleObjects", count, handles, waitAll != 0, milliseconds, false);
}

DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds, BOOL alertable) {
    return UserWait("WaitForMultipleObjectsEx", count, handles, waitAll != 0, milliseconds, alertable != 0);
}

BOOL CloseHandle(HANDLE object) {
    if (sim::RefusedCall(sim::EnterUserCall("CloseHandle"))) return FALSE;
    if (object == NtCurrentThread() || object == NtCurrentProcess()) return TRUE;
    return sim::CloseUserHandle(object) ? TRUE : FALSE;
}

DWORD GetLastError() { return sim::Here().lastError; }

void SetLastError(DWORD errorCode) { sim::Here().lastError = errorCode; }

void Sleep(DWORD milliseconds) { (void)SleepEx(milliseconds, FALSE); }

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
    if (sim::RefusedCall(sim::EnterUserCall("SleepEx"))) return 0;
    const NTSTATUS status = sim::UserWaitForObjects(0, nullptr, WaitAny, alertable != 0,
                                                    milliseconds == 0 && alertable == 0,
                                                    sim::DeadlineAfterMs(milliseconds), nullptr);
    return status == STATUS_USER_APC ? WAIT_IO_COMPLETION : 0;  // a terminated thread's sleep just ends
}

DWORD timeGetTime() {
    (void)sim::EnterUserCall("timeGetTime");
    return GetTickCount();
}

ULONGLONG GetTickCount64() {
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sim::MachineNow() - sim::BootTime()).count());
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* performanceCount) {
    *performanceCount = KeQueryPerformanceCounter(nullptr);
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    KeQueryPerformanceCounter(frequency);
    return TRUE;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(sim::CurrentThreadRecord().Id()));
}

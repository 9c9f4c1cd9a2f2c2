#include "sim/kernel/object_ref.h"

#include "sim/kernel/thread_record.h"
#include "sim/machine.h"
#include "sim/user/handles.h"
#include "sim/verifier.h"

#include <unordered_map>

namespace {

OBJECT_TYPE thread_type{"Thread"};
OBJECT_TYPE event_type{"Event"};
OBJECT_TYPE semaphore_type{"Semaphore"};
POBJECT_TYPE thread_type_pointer = &thread_type;
POBJECT_TYPE event_type_pointer = &event_type;
POBJECT_TYPE semaphore_type_pointer = &semaphore_type;

// Bodies are unique addresses across machines, so one table serves them all.
struct BodyTable {
    std::mutex mutex;
    std::unordered_map<void*, sim::ObjectBody*> owners;
};

BodyTable& Bodies() {
    static auto* table = new BodyTable;  // outlives every thread's objects
    return *table;
}

}  // namespace

POBJECT_TYPE* PsThreadType = &thread_type_pointer;
POBJECT_TYPE* ExEventObjectType = &event_type_pointer;
POBJECT_TYPE* ExSemaphoreObjectType = &semaphore_type_pointer;

namespace sim {

void RegisterObjectBody(void* body, ObjectBody* owner) {
    BodyTable& table = Bodies();
    std::lock_guard lock(table.mutex);
    if (!table.owners.emplace(body, owner).second) VerifierStop("object body %p registered twice", body);
}

void UnregisterObjectBody(void* body) {
    BodyTable& table = Bodies();
    std::lock_guard lock(table.mutex);
    table.owners.erase(body);
}

ObjectBody* FindObjectBody(void* body) {
    BodyTable& table = Bodies();
    std::lock_guard lock(table.mutex);
    auto it = table.owners.find(body);
    return it == table.owners.end() ? nullptr : it->second;
}

KernelObject::KernelObject(void* body, POBJECT_TYPE type) : body_(body), type_(type) { RegisterObjectBody(body, this); }

KernelObject::~KernelObject() { UnregisterObjectBody(body_); }

LONG_PTR KernelObject::Reference() {
    std::lock_guard lock(mutex_);
    if (pointerCount_ == 0) {
        self_ = weak_from_this().lock();
        if (!self_) VerifierStop("reference to %s object %p while it is being deleted", TypeName(), body_);
    }
    return ++pointerCount_;
}

LONG_PTR KernelObject::Dereference() {
    std::shared_ptr<KernelObject> last;  // released after the lock
    LONG_PTR count;
    {
        std::lock_guard lock(mutex_);
        if (pointerCount_ == 0) VerifierStop("ObDereferenceObject on %s object %p with no references", TypeName(), body_);
        count = --pointerCount_;
        if (count == 0) last = std::move(self_);
    }
    return count;
}

LONG_PTR KernelObject::PointerCount() const {
    std::lock_guard lock(mutex_);
    return pointerCount_;
}

}  // namespace sim

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation) {
    (void)accessMode;
    if (KeGetCurrentIrql() > APC_LEVEL) sim::VerifierStop("ObReferenceObjectByHandle above APC_LEVEL");
    *object = nullptr;
    std::shared_ptr<sim::KernelObject> target;
    if (handle == NtCurrentThread()) {
        target = sim::CurrentThreadRecord().shared_from_this();
    } else {
        std::shared_ptr<sim::Object> found = sim::LookupKernelModeHandle(handle);
        if (!found) return STATUS_INVALID_HANDLE;
        target = std::dynamic_pointer_cast<sim::KernelObject>(found);
        if (!target) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (objectType != nullptr && target->BodyType() != objectType) return STATUS_OBJECT_TYPE_MISMATCH;
    target->Reference();
    *object = target->Body();
    if (handleInformation != nullptr) {
        handleInformation->HandleAttributes = 0;
        handleInformation->GrantedAccess = desiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID object) {
    sim::ObjectBody* owner = sim::FindObjectBody(object);
    if (owner == nullptr) sim::VerifierStop("ObReferenceObject on %p, which is not an object", object);
    return owner->Reference();
}

LONG_PTR ObfDereferenceObject(PVOID object) {
    sim::ObjectBody* owner = sim::FindObjectBody(object);
    if (owner == nullptr) sim::VerifierStop("ObDereferenceObject on %p, which is not an object", object);
    return owner->Dereference();
}

NTSTATUS ZwClose(HANDLE handle) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) sim::VerifierStop("ZwClose at IRQL %u", KeGetCurrentIrql());
    if (handle == NtCurrentThread() || handle == NtCurrentProcess()) return STATUS_SUCCESS;
    if (!sim::CloseKernelModeHandle(handle)) sim::VerifierStop("ZwClose of handle %p, which is not open", handle);
    return STATUS_SUCCESS;
}

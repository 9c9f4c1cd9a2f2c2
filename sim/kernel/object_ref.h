// Objects the system holds by pointer: ObfReferenceObject and
// ObfDereferenceObject work on any object body registered here, and
// ObReferenceObjectByHandle on any KernelObject in the machine's handle
// table. Other parts of the machine (the I/O manager's device and file
// objects) register their bodies the same way.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "sim/object.h"

#include <memory>
#include <mutex>

// Object types are records the object manager compares by address.
struct OBJECT_TYPE {
    const char* Name;
};

namespace sim {

// Something that counts pointer references to a body.
class ObjectBody {
public:
    virtual ~ObjectBody() = default;
    virtual LONG_PTR Reference() = 0;    // returns the new count
    virtual LONG_PTR Dereference() = 0;  // returns the new count; may destroy
    virtual POBJECT_TYPE BodyType() const = 0;
};

// Makes `body` known to ObfReferenceObject/ObfDereferenceObject until it is
// unregistered. Registering a body twice is a verifier stop.
void RegisterObjectBody(void* body, ObjectBody* owner);
void UnregisterObjectBody(void* body);
// The owner of `body`, or null.
ObjectBody* FindObjectBody(void* body);

// A handle-table object with a body the system points at. Pointer references
// keep it alive like handles do: while its count is above zero it holds
// itself. Create it with std::make_shared.
class KernelObject : public Object, public ObjectBody, public std::enable_shared_from_this<KernelObject> {
public:
    KernelObject(void* body, POBJECT_TYPE type);
    ~KernelObject() override;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    void* Body() const { return body_; }
    POBJECT_TYPE BodyType() const override { return type_; }
    // The dispatcher header a wait on a handle of this object waits on, or
    // null when the object is not waitable.
    virtual DISPATCHER_HEADER* Waitable() { return nullptr; }

    LONG_PTR Reference() override;
    LONG_PTR Dereference() override;
    LONG_PTR PointerCount() const;

private:
    void* body_;
    POBJECT_TYPE type_;
    mutable std::mutex mutex_;
    LONG_PTR pointerCount_ = 0;
    std::shared_ptr<KernelObject> self_;  // set while pointerCount_ > 0
};

}  // namespace sim

// Event, mutex and semaphore objects reached through handles (user mode, or
// a kernel reference to a user event). Their bodies are the Ke records.
#pragma once

#include "platform/kernel/dispatcher.h"
#include "sim/kernel/object_ref.h"

namespace sim {

class EventObject final : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState);
    const char* TypeName() const override { return "Event"; }
    DISPATCHER_HEADER* Waitable() override { return &event.Header; }
    KEVENT event;
};

class MutexObject final : public KernelObject {
public:
    explicit MutexObject(bool initialOwner);
    const char* TypeName() const override { return "Mutant"; }
    DISPATCHER_HEADER* Waitable() override { return &mutant.Header; }
    KMUTANT mutant;
};

class SemaphoreObject final : public KernelObject {
public:
    SemaphoreObject(LONG count, LONG limit);
    const char* TypeName() const override { return "Semaphore"; }
    DISPATCHER_HEADER* Waitable() override { return &semaphore.Header; }
    KSEMAPHORE semaphore;
};

POBJECT_TYPE MutantType();

}  // namespace sim

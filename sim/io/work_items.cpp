// Work items tied to a device object: the device stays referenced from
// queuing until the routine has returned, so it cannot go away underneath.
#include "platform/io/device.h"
#include "platform/kernel/object.h"
#include "sim/verifier.h"

#include <atomic>
#include <cstdlib>

struct IO_WORKITEM {
    WORK_QUEUE_ITEM work;
    DEVICE_OBJECT* device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    std::atomic<bool> queued;
};

namespace {

void RunWorkItem(PVOID parameter) {
    auto* item = static_cast<IO_WORKITEM*>(parameter);
    DEVICE_OBJECT* device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    // Cleared before the call: the routine may queue the item again or free it.
    item->queued = false;
    routine(device, context);
    ObDereferenceObject(device);
}

}  // namespace

IO_WORKITEM* IoAllocateWorkItem(DEVICE_OBJECT* deviceObject) {
    auto* item = new (std::nothrow) IO_WORKITEM{};
    if (item != nullptr) item->device = deviceObject;
    return item;
}

void IoQueueWorkItem(IO_WORKITEM* item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType, PVOID context) {
    if (item->queued.exchange(true)) sim::VerifierStop("IoQueueWorkItem on a work item that is already queued");
    item->routine = routine;
    item->context = context;
    ObReferenceObject(item->device);
    ExInitializeWorkItem(&item->work, RunWorkItem, item);
    ExQueueWorkItem(&item->work, queueType);
}

void IoFreeWorkItem(IO_WORKITEM* item) {
    if (item->queued) sim::VerifierStop("IoFreeWorkItem on a work item that is still queued");
    delete item;
}

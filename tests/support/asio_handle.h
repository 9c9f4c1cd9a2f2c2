// "\asio" handle records as the handle dispatch builds them, and requests
// queued on them the way it does, for tests that drive the adapter's
// IAsioStreamControl (or the engine) directly.
#pragma once

#include "driver/stream/asio_file_context.h"
#include "platform/base/ntstatus.h"
#include "platform/io/irp.h"
#include "platform/kernel/spinlock.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

// Polls until `condition` holds; false after a generous bound, so a hang
// fails instead of blocking the suite.
inline bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// A request the driver completes: pending, transferred count 0, buffered
// I/O into `data`. Its completion is recorded, and the IRP stays the test's.
struct ReadRequest {
    IRP* irp = nullptr;
    std::vector<UCHAR> data;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    static NTSTATUS Completed(DEVICE_OBJECT*, IRP* irp, PVOID context) {
        auto* self = static_cast<ReadRequest*>(context);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->done.store(true);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // A pending IRP whose completion lands here.
    void Allocate() {
        irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoMarkIrpPending(irp);
    }
    // Direct I/O: the buffer goes by a memory descriptor.
    void Describe(void* buffer, ULONG length) {
        if (length == 0) return;
        IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        MmBuildMdlForNonPagedPool(irp->MdlAddress);
    }
    ~ReadRequest() {
        if (irp == nullptr) return;
        if (irp->MdlAddress != nullptr) IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
        IoFreeIrp(irp);
    }
};

// One "\asio" handle: the record and its file object.
struct AsioHandle {
    AsioFileContext context{};
    FILE_OBJECT file{};
    volatile LONG tick = 0;
    // The device object does direct I/O: requests carry memory descriptors
    // instead of system buffers (a device that PortCls made does neither
    // buffered I/O nor direct, and the driver then takes the descriptor).
    bool directIo = false;

    AsioHandle() {
        context.tag = kAsioHandleTag;
        context.inputReadPos = kNotSynchronised;
        context.outputWritePos = kNotSynchronised;
        InitializeListHead(&context.readQueue);
        InitializeListHead(&context.adapterLink);
        KeInitializeSpinLock(&context.readQueueLock);
        KeInitializeSpinLock(&context.tickLock);
        file.FsContext2 = &context;
    }
    ~AsioHandle() { Detach(); }
    AsioHandle(const AsioHandle&) = delete;
    AsioHandle& operator=(const AsioHandle&) = delete;

    // Links the record into `target`'s handle list (the adapter's
    // IAsioStreamControl, or the engine) until Detach or destruction.
    template <class Target>
    NTSTATUS Attach(Target& target) {
        const NTSTATUS status = target.AttachHandle(&context);
        if (NT_SUCCESS(status)) detach_ = [&target](AsioFileContext* c) { target.DetachHandle(c); };
        return status;
    }
    void Detach() {
        if (detach_) detach_(&context);
        detach_ = nullptr;
    }

    // What IOCTL_UAC2_ASIO_START does to the record before the engine runs.
    void MarkStarted() {
        context.running = 1;
        context.syncFlags = 1;
        context.inputReadPos = kNotSynchronised;
        context.outputWritePos = kNotSynchronised;
    }
    void MapTick() { context.tickWord = &tick; }
    // A pending IOCTL_UAC2_MAP_TICK_COUNTER with the word mapped, as the
    // dispatch records it.
    std::unique_ptr<ReadRequest> PendTick() {
        auto request = std::make_unique<ReadRequest>();
        request->Allocate();
        context.tickRequest = request->irp;
        MapTick();
        return request;
    }

    // A read as the dispatch queues it.
    std::unique_ptr<ReadRequest> QueueRead(ULONG length) {
        auto request = std::make_unique<ReadRequest>();
        request->data.assign(length, 0xEE);
        request->Allocate();
        IRP* irp = request->irp;
        IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_READ;
        stack->Parameters.Read.Length = length;
        stack->FileObject = &file;
        if (directIo) {
            request->Describe(request->data.data(), length);
        } else {
            irp->AssociatedIrp.SystemBuffer = request->data.data();
        }
        irp->IoStatus.Information = 0;
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&context.readQueueLock, &lock);
        InsertTailList(&context.readQueue, &irp->Tail.Overlay.ListEntry);
        KeReleaseInStackQueuedSpinLock(&lock);
        return request;
    }

    // A write as the dispatch hands it to `target`; returns (status, bytes).
    template <class Target>
    std::pair<NTSTATUS, ULONG_PTR> Write(Target& target, const void* data, ULONG length) {
        ReadRequest result;
        result.irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(result.irp, ReadRequest::Completed, &result, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(result.irp);
        IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(result.irp);
        stack->MajorFunction = IRP_MJ_WRITE;
        stack->Parameters.Write.Length = length;
        stack->FileObject = &file;
        if (directIo) {
            result.Describe(const_cast<void*>(data), length);
        } else {
            result.irp->AssociatedIrp.SystemBuffer = const_cast<void*>(data);
        }
        target.Write(result.irp);
        return {result.status, result.information};
    }

private:
    std::function<void(AsioFileContext*)> detach_;
};

}  // namespace test_support

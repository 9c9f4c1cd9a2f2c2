#include "tests/sim_user/test_device.h"

#include "platform/base/ntstatus.h"
#include "sim/io/io_manager.h"
#include "sim/strings.h"

#include <algorithm>
#include <cstring>

namespace user_test {

namespace {

TestDevice* Self(DEVICE_OBJECT* device) { return *static_cast<TestDevice**>(device->DeviceExtension); }

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

TestDevice::TestDevice(sim::Machine& machine, ULONG ioFlags) : machine_(machine) {
    driver_ = machine.io().CreateDriverObject(u"ovutest");
    for (auto& dispatch : driver_->MajorFunction)
        dispatch = [](DEVICE_OBJECT* device, IRP* irp) { return Self(device)->Dispatch(irp); };
    IoCreateDevice(driver_, sizeof(TestDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    *static_cast<TestDevice**>(device_->DeviceExtension) = this;
    device_->Flags |= ioFlags;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    machine.io().CreateSymbolicLink(u"\\??\\OvuTest", device_);
}

TestDevice::~TestDevice() {
    machine_.io().DeleteSymbolicLink(u"\\??\\OvuTest");
    IoDeleteDevice(device_);
}

std::vector<std::string> TestDevice::Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t TestDevice::Queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::vector<UCHAR> TestDevice::Written() {
    std::lock_guard lock(mutex_);
    return written_;
}

void TestDevice::Fill(IRP* irp, ULONG bytes) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* target = nullptr;
    if (irp->MdlAddress != nullptr)
        target = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
             METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_NEITHER)
        target = static_cast<UCHAR*>(irp->UserBuffer);
    else
        target = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < bytes; ++i) target[i] = Pattern(i);
}

void TestDevice::Cancel(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    TestDevice* self = Self(device);
    {
        std::lock_guard lock(self->mutex_);
        std::erase(self->queue_, irp);
    }
    Complete(irp, STATUS_CANCELLED, 0);
}

NTSTATUS TestDevice::Queue(IRP* irp) {
    IoMarkIrpPending(irp);
    std::lock_guard lock(mutex_);
    queue_.push_back(irp);
    if (cancelable) IoSetCancelRoutine(irp, Cancel);
    return STATUS_PENDING;
}

void TestDevice::CompleteOldest(NTSTATUS status, ULONG bytes) {
    IRP* irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return;
        irp = queue_.front();
        queue_.pop_front();
    }
    if (cancelable && IoSetCancelRoutine(irp, nullptr) == nullptr) return;  // being cancelled
    if (NT_SUCCESS(status)) Fill(irp, bytes);
    Complete(irp, status, NT_SUCCESS(status) ? bytes : 0);
}

NTSTATUS TestDevice::Dispatch(IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    static const char* const names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {
        "create", nullptr, "close", "read", "write", nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr,  nullptr, nullptr, nullptr, "ioctl", nullptr, nullptr, nullptr, "cleanup"};
    std::string call = names[stack->MajorFunction] != nullptr ? names[stack->MajorFunction] : "other";
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        const UNICODE_STRING& name = stack->FileObject->FileName;
        lastName.assign(name.Buffer, name.Length / 2);
        call += " " + sim::ToUtf8(lastName);
    }
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE: return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
        if (flushAtCleanup) {
            std::vector<IRP*> mine;
            {
                std::lock_guard lock(mutex_);
                for (IRP* queued : queue_)
                    if (IoGetCurrentIrpStackLocation(queued)->FileObject == stack->FileObject) mine.push_back(queued);
            }
            for (IRP* queued : mine) {
                if (cancelable && IoSetCancelRoutine(queued, nullptr) == nullptr) continue;
                {
                    std::lock_guard lock(mutex_);
                    std::erase(queue_, queued);
                }
                Complete(queued, STATUS_CANCELLED, 0);
            }
        }
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ: {
        const ULONG length = stack->Parameters.Read.Length;
        if (readsPend) return Queue(irp);
        Fill(irp, length);
        return Complete(irp, STATUS_SUCCESS, length);
    }
    case IRP_MJ_WRITE: {
        const ULONG length = stack->Parameters.Write.Length;
        const UCHAR* source = irp->MdlAddress != nullptr
                                  ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
                                  : static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        {
            std::lock_guard lock(mutex_);
            written_.assign(source, source + length);
        }
        return Complete(irp, STATUS_SUCCESS, length);
    }
    case IRP_MJ_DEVICE_CONTROL: {
        const auto& io = stack->Parameters.DeviceIoControl;
        switch (io.IoControlCode) {
        case kEchoNow: {
            // The input, byte-reversed, into the output.
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            const ULONG n = std::min(io.InputBufferLength, io.OutputBufferLength);
            std::reverse(buffer, buffer + io.InputBufferLength);
            return Complete(irp, STATUS_SUCCESS, n);
        }
        case kPend: return Queue(irp);
        case kFillDirect:
        case kFillNeither:
            Fill(irp, io.OutputBufferLength);
            return Complete(irp, STATUS_SUCCESS, io.OutputBufferLength);
        case kFailNow:
        default: return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // namespace user_test

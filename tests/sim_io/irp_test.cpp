// IRP completion through a device stack, threaded device-control IRPs and
// the verifier's IRP rules.
#include "platform/base/ntstatus.h"
#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "platform/kernel/dispatcher.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string>* trail = nullptr;

NTSTATUS CompleteAtBottom(DEVICE_OBJECT*, IRP* irp) {
    trail->push_back("bottom");
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 3;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS MiddleCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID) {
    trail->push_back(device != nullptr ? "middle-completion" : "middle-completion-null");
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS PassDown(DEVICE_OBJECT* device, IRP* irp) {
    trail->push_back("middle");
    auto* lower = *static_cast<DEVICE_OBJECT**>(device->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, MiddleCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

NTSTATUS KeepIrp(DEVICE_OBJECT* device, IRP*, PVOID context) {
    trail->push_back(device == nullptr ? "owner-completion" : "owner-completion-with-device");
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct TwoDeviceStack : ::testing::Test {
    sim::Machine machine;
    DRIVER_OBJECT* driver = nullptr;
    DEVICE_OBJECT* bottom = nullptr;
    DEVICE_OBJECT* middle = nullptr;
    std::vector<std::string> seen;

    void SetUp() override {
        trail = &seen;
        driver = machine.io().CreateDriverObject(u"stacktest");
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bottom), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateDevice(driver, sizeof(DEVICE_OBJECT*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle),
                  STATUS_SUCCESS);
        *static_cast<DEVICE_OBJECT**>(middle->DeviceExtension) = IoAttachDeviceToDeviceStack(middle, bottom);
        // One driver serves both: dispatch by device.
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](DEVICE_OBJECT* d, IRP* irp) -> NTSTATUS {
            return d->DeviceExtension != nullptr ? PassDown(d, irp) : CompleteAtBottom(d, irp);
        };
    }
    void TearDown() override {
        IoDetachDevice(bottom);
        IoDeleteDevice(middle);
        IoDeleteDevice(bottom);
        trail = nullptr;
    }
};

TEST_F(TwoDeviceStack, CompletionRoutinesRunBottomUpAndOwnerKeepsItsIrp) {
    EXPECT_EQ(middle->StackSize, 2);
    EXPECT_EQ(IoGetAttachedDeviceReference(bottom), middle);
    ObDereferenceObject(middle);
    EXPECT_EQ(IoGetDeviceAttachmentBaseRef(middle), bottom);
    ObDereferenceObject(bottom);

    IRP* irp = IoAllocateIrp(middle->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(middle, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"middle", "bottom", "middle-completion", "owner-completion"}));
    EXPECT_EQ(irp->IoStatus.Information, 3u);

    // The owner may send the same IRP again after reuse.
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
    EXPECT_EQ(machine.io().LiveIrpCount(), 0u);
}

TEST_F(TwoDeviceStack, ThreadedDeviceControlCopiesBufferedOutputAndSignals) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) -> NTSTATUS {
        IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(std::memcmp(buffer, "ping", 4), 0);
        std::memcpy(buffer, "pong!", 5);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 5;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char in[4] = {'p', 'i', 'n', 'g'};
    char out[8] = {};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    IRP* irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             bottom, in, sizeof(in), out, sizeof(out), FALSE, &done, &status);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(bottom, irp);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 5u);
    EXPECT_EQ(std::memcmp(out, "pong!", 5), 0);
    EXPECT_EQ(machine.io().LiveIrpCount(), 0u);  // the I/O manager freed it
}

TEST_F(TwoDeviceStack, DeletedWhileReferencedLivesUntilTheLastReference) {
    DEVICE_OBJECT* extra = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &extra), STATUS_SUCCESS);
    const auto before = machine.io().LiveDeviceCount();
    ObReferenceObject(extra);
    IoDeleteDevice(extra);
    EXPECT_EQ(machine.io().LiveDeviceCount(), before);
    ObDereferenceObject(extra);
    EXPECT_EQ(machine.io().LiveDeviceCount(), before - 1);
}

using IrpVerifierDeathTest = TwoDeviceStack;

TEST_F(IrpVerifierDeathTest, CompletingTwiceStops) {
    EXPECT_DEATH(
        {
            IRP* irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // no owner's routine to stop it
        },
        "completed past its top");
    EXPECT_DEATH(
        {
            IRP* irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            irp->IoStatus.Status = STATUS_PENDING;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "completed with STATUS_PENDING");
    EXPECT_DEATH(
        {
            IRP* irp = IoAllocateIrp(1, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // never sent: nothing to complete
        },
        "completed twice");
    EXPECT_DEATH(
        {
            IRP* irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "freed twice");
}

}  // namespace

// IOCTL_KS_PROPERTY on a filter handle: the request is copied into a kernel
// buffer (the caller's memory is never read twice or written beyond what the
// handler returned), looked up in the automation table of the filter or, for
// KSPROPERTY_TYPE_TOPOLOGY requests, of the addressed node, and handed to
// the miniport's handler as a PCPROPERTY_REQUEST.
#include "platform/base/ntstatus.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/description.h"
#include "sim/portcls/port.h"
#include "sim/verifier.h"

#include <cstring>

namespace sim::portcls {

namespace {

// Larger requests are refused rather than copied.
constexpr ULONG kMaxPropertyBuffer = 1u << 20;

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Basic support for an item whose handler does not serve it: its access
// flags, as a ULONG.
NTSTATUS DefaultBasicSupport(const PCPROPERTY_ITEM& item, PVOID value, ULONG valueSize, ULONG* written) {
    *written = sizeof(ULONG);
    if (valueSize == 0) return STATUS_BUFFER_OVERFLOW;
    if (valueSize < sizeof(ULONG)) {
        *written = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG access = (item.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) | KSPROPERTY_TYPE_BASICSUPPORT;
    std::memcpy(value, &access, sizeof(access));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AdapterDevice::HandleProperty(FilterHandle* filter, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const auto* input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    auto* output = static_cast<UCHAR*>(irp->UserBuffer);
    if (input == nullptr || inputLength < sizeof(KSPROPERTY)) return Complete(irp, STATUS_INVALID_BUFFER_SIZE);
    if (outputLength != 0 && output == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
    if (inputLength > kMaxPropertyBuffer || outputLength > kMaxPropertyBuffer)
        return Complete(irp, STATUS_INVALID_BUFFER_SIZE);

    // Rounded so that the value is as aligned as the property.
    const ULONG valueOffset = (inputLength + 7u) & ~7u;
    auto* buffer = static_cast<UCHAR*>(
        ExAllocatePoolZero(NonPagedPoolNx, static_cast<SIZE_T>(valueOffset) + outputLength + 1, kPcTagProperty));
    if (buffer == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    std::memcpy(buffer, input, inputLength);
    const auto* property = reinterpret_cast<const KSPROPERTY*>(buffer);
    const ULONG verb = property->Flags;
    const ULONG action = verb & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
    UCHAR* value = outputLength != 0 ? buffer + valueOffset : nullptr;
    if (action == KSPROPERTY_TYPE_SET && outputLength != 0) std::memcpy(value, output, outputLength);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG returned = 0;
    PortTarget target;
    const PCPROPERTY_ITEM* item = nullptr;
    ULONG node = ULONG(-1);
    ULONG instanceOffset = sizeof(KSPROPERTY);
    if (action != KSPROPERTY_TYPE_GET && action != KSPROPERTY_TYPE_SET && action != KSPROPERTY_TYPE_BASICSUPPORT) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!filter->subdevice->port()->AcquireTarget(&target)) {
        status = STATUS_DEVICE_REMOVED;  // the subdevice was unregistered under this handle
    } else {
        const PCFILTER_DESCRIPTOR& description = *target.description;
        const PCAUTOMATION_TABLE* table = description.AutomationTable;
        if (verb & KSPROPERTY_TYPE_TOPOLOGY) {
            if (inputLength < sizeof(KSNODEPROPERTY)) {
                status = STATUS_INVALID_BUFFER_SIZE;
            } else {
                node = reinterpret_cast<const KSNODEPROPERTY*>(buffer)->NodeId;
                instanceOffset = sizeof(KSNODEPROPERTY);
                if (node >= description.NodeCount)
                    status = STATUS_INVALID_PARAMETER;
                else
                    table = NodeAt(description, node).AutomationTable;
            }
        }
        if (NT_SUCCESS(status)) {
            item = FindPropertyItem(table, property->Set, property->Id);
            if (item == nullptr) status = STATUS_NOT_FOUND;
        }
        if (NT_SUCCESS(status) && (item->Flags & action) == 0) {
            if (action == KSPROPERTY_TYPE_BASICSUPPORT)
                status = DefaultBasicSupport(*item, value, outputLength, &returned);
            else
                status = STATUS_INVALID_DEVICE_REQUEST;
            item = nullptr;  // answered here
        }
        if (item != nullptr) {
            PCPROPERTY_REQUEST request{};
            request.MajorTarget = target.majorTarget;
            request.MinorTarget = nullptr;
            request.Node = node;
            request.PropertyItem = item;
            request.Verb = verb;
            request.InstanceSize = inputLength - instanceOffset;
            request.Instance = request.InstanceSize != 0 ? buffer + instanceOffset : nullptr;
            request.ValueSize = outputLength;
            request.Value = value;
            request.Irp = irp;
            status = item->Handler(&request);
            if (status == STATUS_PENDING)
                VerifierStop("property handler %p returned STATUS_PENDING, which the simulated PortCls does not "
                             "complete later",
                             (void*)item->Handler);
            returned = request.ValueSize;
            if (NT_SUCCESS(status) && returned > outputLength)
                VerifierStop("property handler %p returned %u bytes in a %u-byte value buffer", (void*)item->Handler,
                             returned, outputLength);
        }
        Port::ReleaseTarget(&target);
    }

    ULONG_PTR information = 0;
    if (NT_SUCCESS(status)) {
        if (returned != 0 && action != KSPROPERTY_TYPE_SET) std::memcpy(output, value, returned);
        information = returned;
    } else if (status == STATUS_BUFFER_OVERFLOW) {
        information = returned;  // the size the caller needs
    }
    ExFreePoolWithTag(buffer, kPcTagProperty);
    return Complete(irp, status, information);
}

}  // namespace sim::portcls

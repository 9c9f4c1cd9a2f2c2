// The driver's layer over six major functions: requests on "\asio" handles
// are the driver's own; everything else goes to PortCls. All at
// PASSIVE_LEVEL in the caller's thread.
#include "driver/adapter/driver_entry.h"
#include "driver/core/adapter_interfaces.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_services.h"
#include "driver/core/usb_trace.h"
#include "driver/stream/asio_file_context.h"
#include "platform/base/ntstatus.h"
#include "platform/base/unicode.h"
#include "platform/portcls/portcls.h"

namespace {

NTSTATUS CompleteWith(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsAsioName(const FILE_OBJECT* file) {
    if (file == nullptr) return false;
    UNICODE_STRING asio;
    RtlInitUnicodeString(&asio, u"\\asio");
    return RtlEqualUnicodeString(&file->FileName, &asio, TRUE) != 0;
}

PDRIVER_DISPATCH AsioRoutine(UCHAR major) {
    const AsioHandleRoutines* asio = Services().Asio;
    if (asio == nullptr) return nullptr;
    switch (major) {
    case IRP_MJ_CREATE: return asio->Create;
    case IRP_MJ_CLEANUP: return asio->Cleanup;
    case IRP_MJ_CLOSE: return asio->Close;
    case IRP_MJ_READ: return asio->Read;
    case IRP_MJ_WRITE: return asio->Write;
    case IRP_MJ_DEVICE_CONTROL: return asio->DeviceControl;
    default: return nullptr;
    }
}

}  // namespace

NTSTATUS DispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        IAdapterCommon* adapter = ExtensionOf(deviceObject)->Adapter;
        if (adapter != nullptr) adapter->SurpriseRemoval();
    }
    return PcDispatchIrp(deviceObject, irp);
}

NTSTATUS DispatchCreate(DEVICE_OBJECT* deviceObject, IRP* irp) {
    if (!IsAsioName(IoGetCurrentIrpStackLocation(irp)->FileObject)) return PcDispatchIrp(deviceObject, irp);
    PDRIVER_DISPATCH create = AsioRoutine(IRP_MJ_CREATE);
    if (create == nullptr) {
        MODEL_TRACE(TRACE_LEVEL_WARNING, "\\asio create refused: this build serves no \\asio handles");
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return create(deviceObject, irp);
}

NTSTATUS DispatchAsioOrPortClass(DEVICE_OBJECT* deviceObject, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const FILE_OBJECT* file = stack->FileObject;
    const auto* context = file != nullptr ? static_cast<const AsioFileContext*>(file->FsContext2) : nullptr;
    bool asio = context != nullptr;
    // Read, write and device control also check the record's tag.
    if (asio && stack->MajorFunction != IRP_MJ_CLEANUP && stack->MajorFunction != IRP_MJ_CLOSE)
        asio = context->tag == kAsioHandleTag;
    if (!asio) return PcDispatchIrp(deviceObject, irp);
    PDRIVER_DISPATCH routine = AsioRoutine(stack->MajorFunction);
    if (routine == nullptr) return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    return routine(deviceObject, irp);
}

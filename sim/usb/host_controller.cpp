#include "sim/usb/host_controller.h"

#include "platform/base/ntstatus.h"
#include "platform/io/irp.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/workitem.h"
#include "platform/usb/usbioctl.h"
#include "platform/usb/descriptors.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/strings.h"
#include "sim/verifier.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>

namespace sim::usb {

namespace {

struct PipeRecord {
    UCHAR endpoint = 0;
};

// The PDO's device extension. A PDO outlives nothing: once its device is
// gone (unplugged, or replaced by a re-enumeration) every request fails.
struct PdoExtension {
    UsbPort* port = nullptr;
    std::atomic<bool> gone{false};
};

}  // namespace

struct UsbPort {
    HostController* controller = nullptr;
    Machine* machine = nullptr;
    int number = 0;
    std::shared_ptr<VirtualDevice> device;
    DEVICE_OBJECT* pdo = nullptr;
    PnpNode* node = nullptr;
    unsigned enumerations = 0;
    // Held while the port's device arrives or is re-enumerated: a driver may
    // cycle the port from its own start, before Arrive has returned the node.
    std::mutex enumerationMutex;
    std::mutex pipesMutex;
    std::map<UCHAR, std::unique_ptr<PipeRecord>> pipes;  // by endpoint address; handles stay valid

    PipeRecord* Pipe(UCHAR endpoint) {
        std::lock_guard lock(pipesMutex);
        auto& slot = pipes[endpoint];
        if (!slot) slot = std::make_unique<PipeRecord>(PipeRecord{endpoint});
        return slot.get();
    }
    bool OwnsPipe(const void* handle) {
        std::lock_guard lock(pipesMutex);
        for (auto& [address, pipe] : pipes)
            if (pipe.get() == handle) return true;
        return false;
    }
};

namespace {

PdoExtension& Extension(DEVICE_OBJECT* pdo) { return *static_cast<PdoExtension*>(pdo->DeviceExtension); }

NTSTATUS ToNtStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return STATUS_UNSUCCESSFUL;
    }
}

UCHAR* TransferBuffer(PVOID buffer, MDL* mdl) {
    if (buffer != nullptr) return static_cast<UCHAR*>(buffer);
    if (mdl != nullptr) return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

ControlResult StandardRequest(VirtualDevice& device, UCHAR requestType, UCHAR request, USHORT value, USHORT index,
                              std::span<UCHAR> data) {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{requestType, request, value, index, static_cast<USHORT>(data.size())};
    return device.Control(setup, data);
}

USBD_STATUS FillInterface(UsbPort& port, USBD_INTERFACE_INFORMATION* info, bool selectAlways) {
    const auto& model = port.device->Model();
    const InterfaceModel* iface = model.Interface(info->InterfaceNumber);
    const AltSettingModel* alt = iface != nullptr ? iface->Alternate(info->AlternateSetting) : nullptr;
    if (alt == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    const ULONG pipes = static_cast<ULONG>(alt->endpoints.size());
    if (info->Length < GET_USBD_INTERFACE_SIZE(pipes)) return USBD_STATUS_BUFFER_TOO_SMALL;
    if (selectAlways || info->AlternateSetting != 0) {
        const ControlResult r = StandardRequest(*port.device, 0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting,
                                                info->InterfaceNumber, {});
        if (!USBD_SUCCESS(r.status)) return r.status;
    }
    info->Class = alt->interfaceClass;
    info->SubClass = alt->interfaceSubClass;
    info->Protocol = alt->interfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(static_cast<std::uintptr_t>(0x1000 + info->InterfaceNumber));
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        const EndpointModel& ep = alt->endpoints[i];
        USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        pipe.MaximumPacketSize = ep.maxPacketSize;
        pipe.EndpointAddress = ep.address;
        pipe.Interval = ep.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep.TransferType());
        pipe.PipeHandle = port.Pipe(ep.address);
        pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        pipe.PipeFlags = 0;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectConfiguration(UsbPort& port, URB* urb) {
    auto& request = urb->UrbSelectConfiguration;
    if (request.ConfigurationDescriptor == nullptr) {
        request.ConfigurationHandle = nullptr;
        return StandardRequest(*port.device, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, {}).status;
    }
    const ControlResult r = StandardRequest(*port.device, 0x00, USB_REQUEST_SET_CONFIGURATION,
                                            request.ConfigurationDescriptor->bConfigurationValue, 0, {});
    if (!USBD_SUCCESS(r.status)) return r.status;
    auto* next = reinterpret_cast<UCHAR*>(&request.Interface);
    const UCHAR* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    while (next + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(next);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || next + info->Length > end)
            return USBD_STATUS_INVALID_PARAMETER;
        const USBD_STATUS status = FillInterface(port, info, false);
        if (!USBD_SUCCESS(status)) return status;
        next += info->Length;
    }
    request.ConfigurationHandle = &port;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS ClassOrVendor(UsbPort& port, URB* urb) {
    auto& request = urb->UrbControlVendorClassRequest;
    UCHAR type;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE: type = 0x40; break;
    case URB_FUNCTION_VENDOR_INTERFACE: type = 0x41; break;
    case URB_FUNCTION_VENDOR_ENDPOINT: type = 0x42; break;
    case URB_FUNCTION_VENDOR_OTHER: type = 0x43; break;
    case URB_FUNCTION_CLASS_DEVICE: type = 0x20; break;
    case URB_FUNCTION_CLASS_INTERFACE: type = 0x21; break;
    case URB_FUNCTION_CLASS_ENDPOINT: type = 0x22; break;
    default: type = 0x23; break;  // URB_FUNCTION_CLASS_OTHER
    }
    if (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) type |= 0x80;
    type |= request.RequestTypeReservedBits;
    UCHAR* buffer = TransferBuffer(request.TransferBuffer, request.TransferBufferMDL);
    if (request.TransferBufferLength != 0 && buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
    if (request.TransferBufferLength > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
    USB_DEFAULT_PIPE_SETUP_PACKET setup{type, request.Request, request.Value, request.Index,
                                        static_cast<USHORT>(request.TransferBufferLength)};
    const ControlResult r = port.device->Control(setup, {buffer, request.TransferBufferLength});
    request.TransferBufferLength = USBD_SUCCESS(r.status) ? r.bytes : 0;
    return r.status;
}

USBD_STATUS GetDescriptor(UsbPort& port, URB* urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    UCHAR* buffer = TransferBuffer(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr || request.TransferBufferLength > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
    const ControlResult r =
        StandardRequest(*port.device, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                        static_cast<USHORT>((request.DescriptorType << 8) | request.Index), request.LanguageId,
                        {buffer, request.TransferBufferLength});
    request.TransferBufferLength = USBD_SUCCESS(r.status) ? r.bytes : 0;
    return r.status;
}

void CompleteUrb(IRP* irp, URB* urb, USBD_STATUS status) {
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = ToNtStatus(status);
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS BulkTransfer(UsbPort& port, IRP* irp, URB* urb) {
    auto& request = urb->UrbBulkOrInterruptTransfer;
    if (!port.OwnsPipe(request.PipeHandle)) {
        request.TransferBufferLength = 0;
        CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        return STATUS_INVALID_PARAMETER;
    }
    const UCHAR endpoint = static_cast<PipeRecord*>(request.PipeHandle)->endpoint;
    UCHAR* buffer = TransferBuffer(request.TransferBuffer, request.TransferBufferMDL);
    if (buffer == nullptr && request.TransferBufferLength != 0) {
        request.TransferBufferLength = 0;
        CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    Machine* machine = port.machine;
    IoMarkIrpPending(irp);
    port.device->SubmitBulk(endpoint, buffer, request.TransferBufferLength, request.TransferFlags,
                            [machine, irp, urb](USBD_STATUS status, ULONG bytes) {
                                MachineScope scope(*machine);
                                KIRQL previous = KfRaiseIrql(DISPATCH_LEVEL);
                                urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
                                CompleteUrb(irp, urb, status);
                                KeLowerIrql(previous);
                            });
    return STATUS_PENDING;
}

USBD_STATUS PipeRequest(UsbPort& port, URB* urb) {
    void* handle = urb->UrbPipeRequest.PipeHandle;
    if (!port.OwnsPipe(handle)) return USBD_STATUS_INVALID_PIPE_HANDLE;
    const UCHAR endpoint = static_cast<PipeRecord*>(handle)->endpoint;
    // Transfers cancelled here complete on this thread, as on the
    // controller's context: at DISPATCH_LEVEL.
    KIRQL previous = KfRaiseIrql(DISPATCH_LEVEL);
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) port.device->AbortPipe(endpoint);
    else port.device->ResetPipe(endpoint);
    KeLowerIrql(previous);
    return USBD_STATUS_SUCCESS;
}

ULONG FrameNumber(const UsbPort& port) {
    const ULONG rate = port.device->SampleRate();
    return rate == 0 ? 0 : static_cast<ULONG>(port.device->ClockFrame() * 1000 / rate);
}

NTSTATUS SubmitUrb(DEVICE_OBJECT* pdo, IRP* irp) {
    PdoExtension& ext = Extension(pdo);
    UsbPort& port = *ext.port;
    auto* urb = static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (ext.gone) {
        CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    USBD_STATUS status;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return BulkTransfer(port, irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: status = SelectConfiguration(port, urb); break;
    case URB_FUNCTION_SELECT_INTERFACE: {
        auto* info = &urb->UrbSelectInterface.Interface;
        const std::size_t room = urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface);
        status = info->Length > room ? USBD_STATUS_INVALID_PARAMETER : FillInterface(port, info, true);
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: status = GetDescriptor(port, urb); break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: status = ClassOrVendor(port, urb); break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: status = PipeRequest(port, urb); break;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = FrameNumber(port);
        status = USBD_STATUS_SUCCESS;
        break;
    default: status = USBD_STATUS_INVALID_URB_FUNCTION; break;
    }
    const NTSTATUS result = ToNtStatus(status);
    CompleteUrb(irp, urb, status);
    return result;
}

// ---- the bus interface ----

void BusReference(PVOID) {}
void BusDereference(PVOID) {}
void BusGetVersion(PVOID, PUSBD_VERSION_INFORMATION version, ULONG* capabilities) {
    if (version != nullptr) {
        version->USBDI_Version = 0x600;
        version->Supported_USB_Version = 0x300;
    }
    if (capabilities != nullptr) *capabilities = 0;
}
NTSTATUS BusQueryTime(PVOID context, ULONG* frame) {
    if (frame == nullptr) return STATUS_INVALID_PARAMETER;
    *frame = FrameNumber(*static_cast<UsbPort*>(context));
    return STATUS_SUCCESS;
}
NTSTATUS BusSubmitIsoOut(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }
NTSTATUS BusQueryInformation(PVOID, ULONG, PVOID, ULONG*, ULONG*) { return STATUS_NOT_SUPPORTED; }
BOOLEAN BusIsHighSpeed(PVOID context) {
    return static_cast<UsbPort*>(context)->device->Speed() != BusSpeed::Full ? TRUE : FALSE;
}

NTSTATUS QueryInterface(DEVICE_OBJECT* pdo, IO_STACK_LOCATION* stack, NTSTATUS current) {
    auto& q = stack->Parameters.QueryInterface;
    if (q.InterfaceType == nullptr || !(*q.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID)) return current;
    if (q.Interface == nullptr || q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || q.Version < USB_BUSIF_USBDI_VERSION_1)
        return STATUS_NOT_SUPPORTED;
    auto* bus = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(q.Interface);
    std::memset(bus, 0, sizeof(*bus));
    bus->Size = sizeof(*bus);
    bus->Version = USB_BUSIF_USBDI_VERSION_1;
    bus->BusContext = Extension(pdo).port;
    bus->InterfaceReference = BusReference;
    bus->InterfaceDereference = BusDereference;
    bus->GetUSBDIVersion = BusGetVersion;
    bus->QueryBusTime = BusQueryTime;
    bus->SubmitIsoOutUrb = BusSubmitIsoOut;
    bus->QueryBusInformation = BusQueryInformation;
    bus->IsDeviceHighSpeed = BusIsHighSpeed;
    return STATUS_SUCCESS;
}

// ---- the PDO's dispatch routines ----

NTSTATUS PdoInternalDeviceControl(DEVICE_OBJECT* pdo, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(pdo, irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
        PdoExtension& ext = Extension(pdo);
        if (ext.gone) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            ext.port->controller->CyclePort(ext.port);
            status = STATUS_SUCCESS;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PdoPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    bool deleteNow = false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        deleteNow = Extension(pdo).gone;
        break;
    case IRP_MN_QUERY_INTERFACE: status = QueryInterface(pdo, stack, status); break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps != nullptr) {
            caps->Removable = 1;
            caps->UniqueID = 0;
            caps->Address = static_cast<ULONG>(Extension(pdo).port->number);
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
        }
        status = STATUS_SUCCESS;
        break;
    }
    default: break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (deleteNow) {
        delete &Extension(pdo);
        IoDeleteDevice(pdo);
    }
    return status;
}

NTSTATUS PdoPower(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

std::uint32_t Fnv1a(const std::u16string& text) {
    std::uint32_t h = 2166136261u;
    for (char16_t c : text) {
        h = (h ^ (c & 0xFF)) * 16777619u;
        h = (h ^ (c >> 8)) * 16777619u;
    }
    return h;
}

std::u16string SerialNumber(const VirtualDevice& device) {
    const auto& d = device.Descriptors();
    if (d.device.size() < 18 || d.device[16] == 0) return {};
    return d.StringText(d.device[16]).value_or(std::u16string());
}

sim::DeviceIdentity IdentityOf(const VirtualDevice& device, int portNumber) {
    const auto& d = device.Descriptors();
    auto word = [&](std::size_t at) { return d.device.size() >= at + 2 ? (d.device[at] | (d.device[at + 1] << 8)) : 0; };
    const unsigned vid = word(8), pid = word(10), rev = word(12);
    const bool composite = d.configuration.size() >= 9 && d.configuration[4] > 1;
    char base[64], withRev[64];
    std::snprintf(base, sizeof(base), "USB\\VID_%04X&PID_%04X", vid, pid);
    std::snprintf(withRev, sizeof(withRev), "USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev);
    sim::DeviceIdentity id;
    const std::u16string function = composite ? u"&MI_00" : u"";
    id.deviceId = ToU16(base) + function;
    id.hardwareIds = {ToU16(withRev) + function, ToU16(base) + function};
    const InterfaceModel* first = device.Model().interfaces.empty() ? nullptr : &device.Model().interfaces.front();
    if (first != nullptr && !first->alternates.empty()) {
        const auto& alt = first->alternates.front();
        char c1[64], c2[64], c3[64];
        std::snprintf(c1, sizeof(c1), "USB\\Class_%02X&SubClass_%02X&Prot_%02X", alt.interfaceClass,
                      alt.interfaceSubClass, alt.interfaceProtocol);
        std::snprintf(c2, sizeof(c2), "USB\\Class_%02X&SubClass_%02X", alt.interfaceClass, alt.interfaceSubClass);
        std::snprintf(c3, sizeof(c3), "USB\\Class_%02X", alt.interfaceClass);
        id.compatibleIds = {ToU16(c1), ToU16(c2), ToU16(c3)};
    }
    const std::u16string serial = SerialNumber(device);
    const std::uint32_t hash = Fnv1a(id.deviceId + u"|" + serial);
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), "7&%08x&0&%04d", hash, portNumber);
    id.instanceSuffix = ToU16(suffix);
    // The container id follows the device, not the port, when it has a
    // serial number (as Windows groups a device's functions).
    const std::uint32_t containerHash = serial.empty() ? hash ^ static_cast<std::uint32_t>(portNumber) : Fnv1a(serial);
    id.containerId = GUID{containerHash, static_cast<std::uint16_t>(vid), static_cast<std::uint16_t>(pid),
                          {0x8a, 0x5c, 0x00, 0x00, static_cast<std::uint8_t>(hash), static_cast<std::uint8_t>(hash >> 8),
                           static_cast<std::uint8_t>(hash >> 16), static_cast<std::uint8_t>(hash >> 24)}};
    id.description = u"USB Audio Device";
    return id;
}

void ReenumerateWork(PVOID parameter);

struct ReenumerateItem {
    WORK_QUEUE_ITEM work;
    UsbPort* port;
};

}  // namespace

HostController::HostController(Machine& machine) : machine_(machine) {
    bus_ = machine_.io().CreateDriverObject(u"usbhub");
    for (auto& dispatch : bus_->MajorFunction)
        dispatch = [](DEVICE_OBJECT*, IRP* irp) -> NTSTATUS {
            const NTSTATUS status = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        };
    bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoInternalDeviceControl;
    bus_->MajorFunction[IRP_MJ_PNP] = PdoPnp;
    bus_->MajorFunction[IRP_MJ_POWER] = PdoPower;
}

HostController::~HostController() = default;

UsbPort* HostController::Plug(std::shared_ptr<VirtualDevice> device, int number) {
    UsbPort* port;
    {
        std::lock_guard lock(mutex_);
        if (number <= 0) {
            number = 1;
            while (std::any_of(ports_.begin(), ports_.end(), [&](const auto& p) { return p->number == number; })) ++number;
        } else if (std::any_of(ports_.begin(), ports_.end(), [&](const auto& p) { return p->number == number; })) {
            VerifierStop("USB port %d already has a device plugged in", number);
        }
        auto record = std::make_unique<UsbPort>();
        record->controller = this;
        record->machine = &machine_;
        record->number = number;
        record->device = std::move(device);
        port = record.get();
        ports_.push_back(std::move(record));
    }
    {
        std::lock_guard lock(port->enumerationMutex);
        Enumerate(port);
    }
    return port;
}

void HostController::Enumerate(UsbPort* port) {
    DEVICE_OBJECT* pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
        VerifierStop("cannot create the PDO of USB port %d", port->number);
    // Each PDO has its own record, so that an old PDO keeps its "gone" state
    // after the port has a new one.
    auto* ext = new PdoExtension;
    ext->port = port;
    pdo->DeviceExtension = ext;
    pdo->Flags |= DO_POWER_PAGABLE;
    {
        std::lock_guard lock(port->pipesMutex);
        port->pipes.clear();
    }
    port->pdo = pdo;
    ++port->enumerations;
    port->node = machine_.pnp().Arrive(pdo, IdentityOf(*port->device, port->number));
}

void HostController::Unplug(UsbPort* port) {
    port->device->Unplug();
    Extension(port->pdo).gone = true;
    machine_.pnp().Depart(port->node, true);
    std::lock_guard lock(mutex_);
    std::erase_if(ports_, [port](const auto& p) { return p.get() == port; });
}

void HostController::CyclePort(UsbPort* port) {
    {
        std::lock_guard lock(mutex_);
        ++pendingEnumerations_;
    }
    // The request arrives inside the driver's own dispatch (often its start):
    // the removal and the new arrival run later on a worker thread.
    auto* item = new ReenumerateItem{{}, port};
    ExInitializeWorkItem(&item->work, ReenumerateWork, item);
    ExQueueWorkItem(&item->work, DelayedWorkQueue);
}

namespace {
void ReenumerateWork(PVOID parameter) {
    auto* item = static_cast<ReenumerateItem*>(parameter);
    UsbPort* port = item->port;
    delete item;
    port->controller->Reenumerate(port);
}
}  // namespace

void HostController::Reenumerate(UsbPort* port) {
    {
        std::lock_guard enumeration(port->enumerationMutex);
        Extension(port->pdo).gone = true;
        machine_.pnp().Depart(port->node, true);
        // After the bus reset the device is unconfigured.
        StandardRequest(*port->device, 0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, {});
        Enumerate(port);
    }
    std::lock_guard lock(mutex_);
    --pendingEnumerations_;
    idle_.notify_all();
}

void HostController::WaitForEnumeration() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pendingEnumerations_ == 0; });
}

std::vector<UsbPort*> HostController::Ports() const {
    std::lock_guard lock(mutex_);
    std::vector<UsbPort*> out;
    for (auto& p : ports_) out.push_back(p.get());
    return out;
}

DEVICE_OBJECT* HostController::Pdo(const UsbPort* port) { return port->pdo; }
PnpNode* HostController::Node(const UsbPort* port) { return port->node; }
VirtualDevice& HostController::Device(const UsbPort* port) { return *port->device; }
unsigned HostController::Enumerations(const UsbPort* port) { return port->enumerations; }

void HostController::Shutdown() {
    WaitForEnumeration();
    // PnP has removed every function driver by now; the PDOs go with the bus.
    while (bus_->DeviceObject != nullptr) {
        DEVICE_OBJECT* pdo = bus_->DeviceObject;
        delete &Extension(pdo);
        IoDeleteDevice(pdo);
    }
    {
        std::lock_guard lock(mutex_);
        ports_.clear();
    }
    machine_.io().UnloadDriver(bus_);
    bus_ = nullptr;
}

}  // namespace sim::usb

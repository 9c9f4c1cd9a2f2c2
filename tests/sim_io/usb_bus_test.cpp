// A device plugged into the simulated machine: PnP binds a small function
// driver, which talks to the device through URBs on its PDO, as the real
// driver will.
#include "platform/base/ntstatus.h"
#include "platform/io/device.h"
#include "platform/io/pnp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/pool.h"
#include "platform/usb/usbdlib.h"
#include "platform/usb/usbioctl.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

using sim::usb::BusSpeed;
using sim::usb::HostController;
using sim::usb::VirtualDevice;

// ---- a minimal function driver ----

struct FunctionExtension {
    DEVICE_OBJECT* lower;
    DEVICE_OBJECT* pdo;
};

std::vector<std::string>* events = nullptr;
DEVICE_OBJECT* started_fdo = nullptr;

NTSTATUS SignalEvent(DEVICE_OBJECT*, IRP*, PVOID context) {
    KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(DEVICE_OBJECT* lower, IRP* irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS FunctionPnp(DEVICE_OBJECT* fdo, IRP* irp) {
    auto* ext = static_cast<FunctionExtension*>(fdo->DeviceExtension);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) {
        const NTSTATUS status = ForwardAndWait(ext->lower, irp);
        events->push_back("start");
        started_fdo = fdo;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) events->push_back("surprise");
    if (minor == IRP_MN_REMOVE_DEVICE) {
        events->push_back("remove");
        DEVICE_OBJECT* lower = ext->lower;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        if (started_fdo == fdo) started_fdo = nullptr;
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS FunctionAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    DEVICE_OBJECT* fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FunctionExtension*>(fdo->DeviceExtension);
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void FunctionUnload(DRIVER_OBJECT*) { events->push_back("unload"); }

NTSTATUS FunctionEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    events->push_back("entry:" + sim::ToUtf8({registryPath->Buffer, registryPath->Length / 2u}));
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->DriverUnload = FunctionUnload;
    return STATUS_SUCCESS;
}

// ---- URBs from the test thread ----

NTSTATUS SubmitSync(DEVICE_OBJECT* pdo, URB* urb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return io.Status;
}

struct Plugged : ::testing::Test {
    sim::Machine machine;
    // Lives as long as the driver can run: the machine removes devices after
    // the fixture's own members are gone.
    static inline std::vector<std::string> seen;

    void SetUp() override {
        seen.clear();
        events = &seen;
        machine.pnp().InstallDriver(u"testfn", FunctionEntry, {u"USB\\VID_7A3C&PID_0B51&MI_00"});
    }

    sim::usb::UsbPort* PlugMaker(BusSpeed speed) {
        sim::usb::MakerDeviceOptions options;
        options.speed = speed;
        return machine.usb().Plug(std::make_shared<VirtualDevice>(sim::usb::MakerDevice(options)));
    }
};

TEST_F(Plugged, PnpBindsTheDriverByHardwareIdAndWritesTheEnumEntries) {
    auto* port = PlugMaker(BusSpeed::High);
    sim::PnpNode* node = HostController::Node(port);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->state(), sim::NodeState::Started);
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "entry:\\Registry\\Machine\\System\\CurrentControlSet\\Services\\testfn", "start"}));
    const std::u16string key = node->EnumKeyPath();
    EXPECT_EQ(key.rfind(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_7A3C&PID_0B51&MI_00\\", 0), 0u);
    auto& reg = machine.registry();
    const auto ids = reg.GetMultiString(key, u"HardwareID");
    ASSERT_TRUE(ids);
    ASSERT_EQ(ids->size(), 2u);
    EXPECT_EQ((*ids)[0].rfind(u"USB\\VID_7A3C&PID_0B51&REV_", 0), 0u);
    EXPECT_EQ((*ids)[0].substr((*ids)[0].size() - 6), u"&MI_00");
    EXPECT_EQ((*ids)[1], u"USB\\VID_7A3C&PID_0B51&MI_00");
    EXPECT_EQ(reg.GetString(key, u"Service"), u"testfn");
    EXPECT_TRUE(reg.KeyExists(key + u"\\Device Parameters"));
    const auto container = reg.GetString(key, u"ContainerID");
    ASSERT_TRUE(container);

    // What the driver reads through IoGetDeviceProperty is what the Enum key says.
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    WCHAR text[64] = {};
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyContainerID, sizeof(text), text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(text), *container);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 4, text, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, ((*ids)[0].size() + 1 + (*ids)[1].size() + 1 + 1) * 2);
}

TEST_F(Plugged, BusInterfaceAndDescriptorsReflectTheSpeed) {
    for (BusSpeed speed : {BusSpeed::Full, BusSpeed::High, BusSpeed::Super}) {
        auto* port = PlugMaker(speed);
        DEVICE_OBJECT* pdo = HostController::Pdo(port);

        // IRP_MN_QUERY_INTERFACE for the USBDI bus interface.
        USB_BUS_INTERFACE_USBDI_V1 bus{};
        IO_STACK_LOCATION query{};
        query.Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
        query.Parameters.QueryInterface.Size = sizeof(bus);
        query.Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
        query.Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(&bus);
        ASSERT_EQ(machine.pnp().SendPnp(HostController::Node(port), IRP_MN_QUERY_INTERFACE, &query), STATUS_SUCCESS);
        EXPECT_EQ(bus.Size, 72);
        EXPECT_EQ(bus.IsDeviceHighSpeed(bus.BusContext), speed != BusSpeed::Full);

        USB_DEVICE_DESCRIPTOR device{};
        URB urb{};
        UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                     &device, nullptr, sizeof(device), nullptr);
        ASSERT_EQ(SubmitSync(pdo, &urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
        EXPECT_EQ(device.idVendor, 0x7A3C);
        EXPECT_EQ(device.bMaxPacketSize0 == 9, speed == BusSpeed::Super);
        machine.usb().Unplug(port);
    }
}

struct BulkResult {
    std::atomic<int> completions{0};
    NTSTATUS status = 0;
    KIRQL irql = 0;
    ULONG bytes = 0;
    URB urb{};
};

NTSTATUS BulkDone(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* result = static_cast<BulkResult*>(context);
    result->status = irp->IoStatus.Status;
    result->irql = KeGetCurrentIrql();
    result->bytes = result->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    result->completions++;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Plugged, BulkInCompletesAtDispatchLevelWhenTheDeviceClockFillsIt) {
    auto* port = PlugMaker(BusSpeed::High);
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    auto& device = HostController::Device(port);

    // Configure, then pick the capture interface's first streaming setting.
    std::vector<UCHAR> config = device.Descriptors().configuration;
    auto* cd = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    int n = 0;
    for (UCHAR number : {0, 1, 2})
        list[n++].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, number, 0, -1, -1, -1);
    URB* select = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(SubmitSync(pdo, select), STATUS_SUCCESS);
    USBD_CONFIGURATION_HANDLE handle = select->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(select);

    // The request is shorter than the URB union; the storage is not, so the
    // URB type may be used on it.
    const USHORT requestSize = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
    std::vector<UCHAR> buffer(std::max<std::size_t>(requestSize, sizeof(URB)));
    auto* si = reinterpret_cast<URB*>(buffer.data());
    UsbBuildSelectInterfaceRequest(si, requestSize, handle, 2, 1);
    ASSERT_EQ(SubmitSync(pdo, si), STATUS_SUCCESS);
    const USBD_PIPE_INFORMATION& pipe = si->UrbSelectInterface.Interface.Pipes[0];
    EXPECT_EQ(pipe.EndpointAddress, 0x81);
    EXPECT_EQ(pipe.MaximumPacketSize, 512);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);

    // One 6-chunk IN transfer (24 frames at 48 kHz: 4 frames per chunk).
    BulkResult result;
    std::vector<UCHAR> data(6 * 512);
    IRP* irp = IoAllocateIrp(pdo->StackSize, FALSE);
    UsbBuildInterruptOrBulkTransferRequest(&result.urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe.PipeHandle,
                                           data.data(), nullptr, static_cast<ULONG>(data.size()),
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &result.urb;
    IoSetCompletionRoutine(irp, BulkDone, &result, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    device.AdvanceFrames(23);
    EXPECT_EQ(result.completions, 0);
    device.AdvanceFrames(1);
    EXPECT_EQ(result.completions, 1);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.irql, DISPATCH_LEVEL);
    EXPECT_EQ(result.bytes, 6u * 512);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);

    // Surprise removal: the function driver sees it, and the PDO goes.
    const auto devicesBefore = machine.io().LiveDeviceCount();
    machine.usb().Unplug(port);
    EXPECT_EQ(seen.back(), "unload");
    EXPECT_EQ(seen[seen.size() - 3], "surprise");
    EXPECT_EQ(machine.io().LiveDeviceCount(), devicesBefore - 2);
}

TEST_F(Plugged, PersistentPropertiesSurviveReplugAndVolatileOnesDoNot) {
    const DEVPROPKEY key{{0x1c5d1e42, 0x7d0f, 0x4a51, {0x9b, 0x6e, 0x13, 0x52, 0x3a, 0x66, 0x90, 0x0d}}, 3};
    const DEVPROPKEY scratch{key.fmtid, 9};
    ULONG value = 38;
    auto* port = PlugMaker(BusSpeed::High);
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    ASSERT_EQ(IoSetDevicePropertyData(pdo, &key, LOCALE_NEUTRAL, PLUGPLAY_PROPERTY_PERSISTENT, DEVPROP_TYPE_UINT32,
                                      sizeof(value), &value),
              STATUS_SUCCESS);
    ASSERT_EQ(IoSetDevicePropertyData(pdo, &scratch, LOCALE_NEUTRAL, 0, DEVPROP_TYPE_UINT32, sizeof(value), &value),
              STATUS_SUCCESS);
    const std::u16string enumKey = HostController::Node(port)->EnumKeyPath();
    auto stored = machine.registry().GetValue(enumKey + u"\\Properties\\{1c5d1e42-7d0f-4a51-9b6e-13523a66900d}\\0003", u"");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, 0xFFFF0007u);
    machine.usb().Unplug(port);

    port = PlugMaker(BusSpeed::High);
    pdo = HostController::Pdo(port);
    EXPECT_EQ(HostController::Node(port)->EnumKeyPath(), enumKey);  // same device, same port: same node
    ULONG read = 0, size = 0;
    DEVPROPTYPE type = 0;
    EXPECT_EQ(IoGetDevicePropertyData(pdo, &key, LOCALE_NEUTRAL, 0, sizeof(read), &read, &size, &type), STATUS_SUCCESS);
    EXPECT_EQ(read, 38u);
    EXPECT_EQ(type, DEVPROP_TYPE_UINT32);
    EXPECT_EQ(IoGetDevicePropertyData(pdo, &scratch, LOCALE_NEUTRAL, 0, sizeof(read), &read, &size, &type),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoGetDevicePropertyData(pdo, &key, LOCALE_NEUTRAL, 0, 2, &read, &size, &type), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4u);
}

TEST_F(Plugged, CyclePortReenumeratesTheDevice) {
    auto* port = PlugMaker(BusSpeed::High);
    DEVICE_OBJECT* oldPdo = HostController::Pdo(port);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, oldPdo, nullptr, 0, nullptr, 0, TRUE,
                                             &done, &io);
    IoCallDriver(oldPdo, irp);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    machine.usb().WaitForEnumeration();
    EXPECT_EQ(HostController::Enumerations(port), 2u);
    EXPECT_NE(HostController::Pdo(port), oldPdo);
    EXPECT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "start"), 2);
}

TEST_F(Plugged, DeviceInterfacesResolveToThePdoWithTheirReferenceString) {
    auto* port = PlugMaker(BusSpeed::High);
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    const GUID audio{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    UNICODE_STRING ref, link;
    RtlInitUnicodeString(&ref, u"Wave");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &audio, &ref, &link), STATUS_SUCCESS);
    const std::u16string text(link.Buffer, link.Length / 2);
    EXPECT_EQ(text.rfind(u"\\??\\USB#VID_7A3C&PID_0B51&MI_00#7&", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 44), u"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave");
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(machine.io().ResolveSymbolicLink(text.substr(0, text.size() - 5)), pdo);
    RtlFreeUnicodeString(&link);
    ASSERT_EQ(machine.pnp().Interfaces(&audio).size(), 1u);
    EXPECT_TRUE(machine.pnp().Interfaces(&audio)[0].enabled);
}

// Enabling, disabling and the device's removal are broadcast in order, on
// the notifier's thread, never on the driver's.
TEST_F(Plugged, InterfaceArrivalAndRemovalAreBroadcastInOrder) {
    auto* port = PlugMaker(BusSpeed::High);
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    const std::u16string instance = HostController::Node(port)->InstanceId();
    std::mutex mutex;
    std::vector<std::pair<std::u16string, bool>> events;
    std::thread::id caller = std::this_thread::get_id();
    bool onCallerThread = false;
    const int id = machine.pnp().interfaceEvents().Add([&](const sim::InterfaceEvent& e) {
        std::lock_guard lock(mutex);
        if (std::this_thread::get_id() == caller) onCallerThread = true;
        EXPECT_EQ(e.instanceId, instance);
        events.emplace_back(e.symbolicLink.substr(e.symbolicLink.size() - 4), e.arrived);
    });
    const GUID audio{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    UNICODE_STRING ref, wave, asio;
    RtlInitUnicodeString(&ref, u"Wave");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &audio, &ref, &wave), STATUS_SUCCESS);
    RtlInitUnicodeString(&ref, u"asio");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &audio, &ref, &asio), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&wave, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&asio, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&wave, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&wave, FALSE), STATUS_SUCCESS);  // no change: no broadcast
    RtlFreeUnicodeString(&wave);
    RtlFreeUnicodeString(&asio);
    machine.usb().Unplug(port);
    machine.pnp().interfaceEvents().WaitDelivered();
    machine.pnp().interfaceEvents().Remove(id);
    std::lock_guard lock(mutex);
    EXPECT_FALSE(onCallerThread);
    EXPECT_EQ(events, (std::vector<std::pair<std::u16string, bool>>{
                          {u"Wave", true}, {u"asio", true}, {u"Wave", false}, {u"asio", false}}));
}

}  // namespace

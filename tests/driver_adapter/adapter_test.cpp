// The driver loaded by PnP on a plugged device: driver entry, start-device,
// the adapter's interfaces, subdevice choice, request routing, power and
// removal.
#include "driver/adapter/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/adapter/driver_entry.h"
#include "driver/core/driver_services.h"
#include "driver/stream/asio_file_context.h"
#include "platform/base/ntstatus.h"
#include "platform/ks/ks.h"
#include "platform/registry/registry_types.h"
#include "sim/io/file_objects.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/debug_output.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "tests/support/machine_test.h"
#include "tests/support/wave_miniport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::usb::BusSpeed;
using sim::usb::HostController;

// ---- a MIDI test miniport: just enough for PortCls to register a subdevice ----

PCFILTER_DESCRIPTOR EmptyFilter() {
    PCFILTER_DESCRIPTOR d{};
    d.Version = 0;
    return d;
}

// The MIDI test miniport registers for power notifications as the real one does.
struct MidiPower final : IPowerNotify {
    static inline std::vector<DEVICE_POWER_STATE> seen;
    NTSTATUS QueryInterface(REFIID, PVOID*) override { return STATUS_INVALID_PARAMETER; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    void PowerChangeNotify(POWER_STATE state) override { seen.push_back(state.DeviceState); }
};
MidiPower midi_power;

class MidiMiniport final : public IMiniportMidi {
public:
    static inline int live = 0;
    MidiMiniport() { ++live; }
    NTSTATUS QueryInterface(REFIID iid, PVOID* object) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportMidi) {
            *object = static_cast<IMiniportMidi*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            if (adapter_ != nullptr) {
                adapter_->RegisterMidiMiniport(nullptr);
                adapter_->Release();
            }
            --live;
            delete this;
        }
        return left;
    }
    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override {
        *description = &filter_;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN adapter, IResourceList*, IPortMidi*, IServiceGroup** serviceGroup) override {
        if (serviceGroup != nullptr) *serviceGroup = nullptr;
        NTSTATUS status = adapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&adapter_));
        if (NT_SUCCESS(status)) adapter_->RegisterMidiMiniport(&midi_power);
        return status;
    }
    void Service() override {}
    NTSTATUS NewStream(IMiniportMidiStream**, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, KSDATAFORMAT*,
                       IServiceGroup**) override {
        return STATUS_NOT_SUPPORTED;
    }

private:
    ~MidiMiniport() = default;
    ULONG refs_ = 1;
    IAdapterCommon* adapter_ = nullptr;
    PCFILTER_DESCRIPTOR filter_ = EmptyFilter();
};

template <class T>
NTSTATUS Factory(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE) {
    *miniport = new T();
    return STATUS_SUCCESS;
}

// ---- test "\asio" routines: record what reached them ----

std::vector<std::string> asio_calls;
AsioFileContext test_context;

NTSTATUS Finish(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS AsioCreate(DEVICE_OBJECT*, IRP* irp) {
    asio_calls.push_back("create");
    test_context = {};
    test_context.tag = kAsioHandleTag;
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2 = &test_context;
    return Finish(irp, STATUS_SUCCESS);
}
NTSTATUS AsioOther(DEVICE_OBJECT*, IRP* irp) {
    static const char* names[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    names[IRP_MJ_CLEANUP] = "cleanup";
    names[IRP_MJ_CLOSE] = "close";
    names[IRP_MJ_READ] = "read";
    names[IRP_MJ_WRITE] = "write";
    names[IRP_MJ_DEVICE_CONTROL] = "ioctl";
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    asio_calls.push_back(names[stack->MajorFunction]);
    if (stack->MajorFunction == IRP_MJ_CLOSE) stack->FileObject->FsContext2 = nullptr;
    return Finish(irp, STATUS_SUCCESS);
}
const AsioHandleRoutines kTestAsio = {AsioCreate, AsioOther, AsioOther, AsioOther, AsioOther, AsioOther};

constexpr char16_t kMidiId[] = u"USB\\VID_1209&PID_0003&MI_00";

DriverServices TestServices() { return {&kTestAsio, test_support::NewWaveMiniport, Factory<MidiMiniport>}; }

struct DriverLoaded : test_support::MachineTest {
    void SetUp() override {
        asio_calls.clear();
        MidiPower::seen.clear();
        test_support::WaveMiniports() = {};
        // The package, and the MIDI test device installed beside it.
        InstallPackage(TestServices(), {.extraHardwareIds = {kMidiId}});
    }

    static sim::usb::Description Maker(BusSpeed speed) {
        sim::usb::MakerDeviceOptions options;
        options.speed = speed;
        return sim::usb::MakerDevice(options);
    }
    std::vector<std::u16string> References() {
        std::vector<std::u16string> out;
        for (const auto& i : machine.pnp().Interfaces()) out.push_back(i.referenceString);
        return out;
    }
};

TEST_F(DriverLoaded, StartsAtEverySpeedWithTheWaveSubdeviceAndUnloadsClean) {
    for (BusSpeed speed : {BusSpeed::Full, BusSpeed::High, BusSpeed::Super}) {
        machine.kernel().debugger().Clear();
        auto* port = Plug(Maker(speed));
        ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started) << sim::usb::BusSpeedName(speed);
        EXPECT_EQ(machine.kernel().debugger().Text(), "UsbAudio!DriverEntry\n");
        DeviceExtension* extension = ExtensionOf(Fdo(port));
        ASSERT_NE(extension->Adapter, nullptr);
        EXPECT_EQ(extension->MidiMode, 0u);
        UsbAudioDevice* device = extension->Adapter->GetUsbDevice();
        EXPECT_EQ(device->IsUac2, 1);
        EXPECT_NE(device->PlaybackInterface, nullptr);
        EXPECT_NE(device->CaptureInterface, nullptr);
        EXPECT_EQ(References(), (std::vector<std::u16string>(References().size(), u"Wave")));
        EXPECT_FALSE(References().empty());
        EXPECT_EQ(test_support::WaveMiniports().live, 1);

        machine.usb().Unplug(port);
        EXPECT_EQ(machine.kernel().debugger().Text(), "UsbAudio!DriverEntry\nUsbAudio!DriverUnload\n");
        EXPECT_EQ(test_support::WaveMiniports().live, 0);
        EXPECT_EQ(LiveBlocks("PcCr"), 0u);
        EXPECT_EQ(LiveBlocks("USBA"), 0u);
        EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
    }
}

TEST_F(DriverLoaded, AMidiDeviceGetsOnlyTheMidiSubdevice) {
    auto* port = Plug(sim::usb::MidiDevice());
    ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_EQ(ExtensionOf(Fdo(port))->MidiMode, 1u);
    EXPECT_EQ(MidiMiniport::live, 1);
    EXPECT_EQ(test_support::WaveMiniports().live, 0);
    for (const auto& ref : References()) EXPECT_EQ(ref, u"Midi");

    // Power changes reach the registered MIDI miniport.
    ASSERT_EQ(machine.pnp().SetDevicePower(HostController::Node(port), PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(machine.pnp().SetDevicePower(HostController::Node(port), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(MidiPower::seen, (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
}

TEST_F(DriverLoaded, QueryInterfaceAnswersExactlyTheFourInterfaces) {
    auto* port = Plug(Maker(BusSpeed::High));
    IAdapterCommon* adapter = ExtensionOf(Fdo(port))->Adapter;
    for (const GUID* iid : {&IID_IUnknown, &IID_IAdapterCommon, &IID_IAdapterPowerManagement, &IID_IAsioStreamControl}) {
        PVOID object = nullptr;
        EXPECT_EQ(adapter->QueryInterface(*iid, &object), STATUS_SUCCESS);
        ASSERT_NE(object, nullptr);
        static_cast<IUnknown*>(object)->Release();
    }
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(adapter->QueryInterface(IID_IAdapterWaveExtension, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(adapter->QueryInterface(IID_IMiniportWaveRT, &object), STATUS_INVALID_PARAMETER);
}

TEST_F(DriverLoaded, OnlyTheAsioNameReachesTheAsioRoutines) {
    auto* port = Plug(Maker(BusSpeed::High));
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    FILE_OBJECT* asio = nullptr;
    ASSERT_EQ(sim::OpenFileObject(pdo, u"\\ASIO", &asio), STATUS_SUCCESS);
    EXPECT_EQ(asio_calls, (std::vector<std::string>{"create"}));
    EXPECT_EQ(sim::SendFileRequest(asio, IRP_MJ_DEVICE_CONTROL, 0x222014, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(asio_calls.back(), "ioctl");

    // A record without the tag is not an "\asio" handle for read, write
    // and device control: PortCls gets them.
    test_context.tag = 0;
    sim::SendFileRequest(asio, IRP_MJ_DEVICE_CONTROL, 0x222014, nullptr, 0, nullptr, 0);
    EXPECT_EQ(asio_calls.size(), 2u);
    test_context.tag = kAsioHandleTag;
    sim::CloseFileObject(asio);
    EXPECT_EQ(asio_calls, (std::vector<std::string>{"create", "ioctl", "cleanup", "close"}));

    // Any other name, the empty one included, goes to PortCls: it opens its
    // "Wave" filter and knows no other name.
    const struct {
        const char16_t* name;
        NTSTATUS status;
    } others[] = {{u"\\asio2", STATUS_OBJECT_NAME_NOT_FOUND}, {u"", STATUS_OBJECT_NAME_NOT_FOUND},
                  {u"\\Wave", STATUS_SUCCESS}};
    for (const auto& other : others) {
        FILE_OBJECT* file = nullptr;
        EXPECT_EQ(sim::OpenFileObject(pdo, other.name, &file), other.status);
        if (file == nullptr) continue;
        EXPECT_EQ(LiveBlocks("PcFh"), 1u);  // PortCls's filter handle
        // Its requests, device control included, are PortCls's too.
        sim::SendFileRequest(file, IRP_MJ_DEVICE_CONTROL, 0x222014, nullptr, 0, nullptr, 0);
        sim::CloseFileObject(file);
        EXPECT_EQ(LiveBlocks("PcFh"), 0u);
    }
    EXPECT_EQ(asio_calls.size(), 4u);

    // Without the "\asio" layer in the build the name is refused.
    DriverServices withoutAsio = TestServices();
    withoutAsio.Asio = nullptr;
    const DriverServicesOverride scope(withoutAsio);
    FILE_OBJECT* refused = nullptr;
    EXPECT_EQ(sim::OpenFileObject(pdo, u"\\asio", &refused), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(refused, nullptr);
}

TEST_F(DriverLoaded, TheInstallationsMarginsSetTheOutputMarginAtStart) {
    // The installation's high-speed table (three rate classes of four
    // {limit, multiplier, divisor, addend}): at 48 kHz, up to 4096 frames,
    // the buffer size plus 7.
    ULONG highSpeed[3][4][4] = {};
    highSpeed[0][0][0] = 4096;
    highSpeed[0][0][1] = 1;
    highSpeed[0][0][2] = 1;
    highSpeed[0][0][3] = 7;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(highSpeed);
    machine.registry().SetValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovuac2audio\\Parameters",
                                u"Margin Formula HS", REG_BINARY, {bytes, bytes + sizeof(highSpeed)});
    const struct {
        BusSpeed speed;
        ULONG margin;
    } cases[] = {{BusSpeed::High, 256 + 7}, {BusSpeed::Super, 256 * 3 / 4 + 48}};  // SuperSpeed: built-in
    for (const auto& c : cases) {
        auto* port = Plug(Maker(c.speed));
        ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
        IAsioStreamControl* control = nullptr;
        ASSERT_EQ(ExtensionOf(Fdo(port))->Adapter->QueryInterface(IID_IAsioStreamControl,
                                                                  reinterpret_cast<PVOID*>(&control)),
                  STATUS_SUCCESS);
        ASSERT_EQ(control->SetBufferSize(256), STATUS_SUCCESS);
        ASSERT_EQ(control->SetOutputMargin(4000), STATUS_SUCCESS);
        ASSERT_EQ(control->Start(), STATUS_SUCCESS) << sim::usb::BusSpeedName(c.speed);
        ULONG margin = 0;
        EXPECT_EQ(control->GetOutputMargin(&margin), STATUS_SUCCESS);
        EXPECT_EQ(margin, c.margin) << sim::usb::BusSpeedName(c.speed);
        EXPECT_EQ(control->Stop(), STATUS_SUCCESS);
        control->Release();
    }
}

TEST_F(DriverLoaded, ADeviceTheModelRefusesFailsToStartAndLeavesNothing) {
    sim::usb::GenericUac2Options options;
    options.extraUnits = {sim::usb::ExtraUnit::Mixer};
    options.vendorId = 0x7A3C;
    options.productId = 0x0B51;
    auto description = sim::usb::GenericUac2Device(options);
    auto* port = Plug(description);
    EXPECT_EQ(HostController::Node(port)->state(), sim::NodeState::StartFailed);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(DriverLoaded, AdapterAllocationFailureFailsTheStart) {
    machine.kernel().pool().FailNthAllocation(PoolTag("PcCr"), 1);
    auto* port = Plug(Maker(BusSpeed::High));
    EXPECT_EQ(HostController::Node(port)->state(), sim::NodeState::StartFailed);
    EXPECT_EQ(HostController::Node(port)->startStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

}  // namespace

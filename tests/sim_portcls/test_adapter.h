// A small port-class adapter driver for the tests, on a test bus.
//
// The bus driver owns one PDO and logs what reaches it; the adapter driver
// is written the way ovuac2audio is: DriverEntry -> PcInitializeAdapterDriver,
// AddDevice -> PcAddAdapterDevice, StartDevice creating a reference-counted
// adapter (IAdapterPowerManagement) and one subdevice whose miniport (WaveRT
// or MIDI) holds its port and the adapter. Everything the driver allocates
// comes from pool with the tags below, so the pool shows what is left.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/portcls/portcls.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/port_class.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace portcls_test {

inline constexpr ULONG kAdapterTag = PoolTag("TsAd");
inline constexpr ULONG kMiniportTag = PoolTag("TsMp");

enum class MiniportKind { Wave, Midi };
// Where the test driver gets its miniport: its own class, PcNewMiniport, or
// its own factory failing.
enum class MiniportSource { Own, PortClass, OwnFailing };

// The test driver's filter records: pins and nodes carry a trailing field
// of the driver's own, as ovuac2audio's do, so PortCls must use the strides.
struct PinRecord {
    PCPIN_DESCRIPTOR pin;
    ULONG ownIndex;
};
struct NodeRecord {
    PCNODE_DESCRIPTOR node;
    ULONG ownIndex;
};

// Descriptions, by shape. Wave: render and capture streaming pins, two
// bridge pins, DAC, volume (with a node property) and ADC nodes.
const PCFILTER_DESCRIPTOR& WaveDescription();
const PCFILTER_DESCRIPTOR& CaptureOnlyDescription();
const PCFILTER_DESCRIPTOR& ExplicitCategoriesDescription();  // lists KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY
const PCFILTER_DESCRIPTOR& MidiDescription();

// The filter's and the volume node's property items (to compare with the
// request's PropertyItem).
const PCPROPERTY_ITEM* ComponentIdItem();  // KSPROPSETID_General / COMPONENTID, get + basic support
const PCPROPERTY_ITEM* GetOnlyItem();      // KSPROPSETID_Audio / LATENCY, get only
const PCPROPERTY_ITEM* OverflowItem();     // KSPROPSETID_Audio / SAMPLING_RATE: always wants 16 bytes
const PCPROPERTY_ITEM* VolumeItem();       // node 1: KSPROPSETID_Audio / VOLUMELEVEL

// What the driver and the bus saw.
struct World {
    // Configuration, read by the driver.
    MiniportKind kind = MiniportKind::Wave;
    const PCFILTER_DESCRIPTOR* description = nullptr;
    const char16_t* subdeviceName = u"Wave";
    MiniportSource miniportSource = MiniportSource::Own;
    NTSTATUS miniportInitResult = STATUS_SUCCESS;
    NTSTATUS queryPowerResult = STATUS_SUCCESS;

    // Observations.
    std::vector<std::string> log;
    DEVICE_OBJECT* fdo = nullptr;
    ULONG resourceEntries = 0xFFFFFFFF;
    NTSTATUS registerStatus = STATUS_PENDING;
    std::atomic<int> liveAdapters{0};
    std::atomic<int> liveMiniports{0};
    std::atomic<int> serviceCalls{0};
    KIRQL serviceIrql = 0xFF;
    IPort* lastPort = nullptr;          // the newest miniport's port (not referenced)
    PUNKNOWN lastMajorTarget = nullptr; // the newest miniport's port-specific interface
    IServiceGroup* lastGroup = nullptr; // the MIDI miniport's group (not referenced)
    PUNKNOWN adapterUnknown = nullptr;  // while the adapter lives

    // The last property request a handler saw, and its instance bytes
    // (handlers may run on several threads).
    std::mutex requestLock;
    PCPROPERTY_REQUEST request{};
    std::vector<UCHAR> instance;
    std::atomic<int> handlerCalls{0};

    std::vector<sim::SubdeviceEvent> events;
};

World& TheWorld();
// A fresh world for the next test (the previous machine is gone by then).
World& ResetWorld();

// Registers the configured subdevice again on an adapter device that is
// started (what a sample-rate change does); returns PcRegisterSubdevice's
// status.
NTSTATUS InstallSubdevice(DEVICE_OBJECT* fdo, IRP* irp, IResourceList* resources);

struct Completion {
    NTSTATUS status;
    ULONG_PTR information;
};

// A file object as the I/O manager makes one for a CreateFile on
// "<interface>\<name>".
struct TestFile {
    explicit TestFile(std::u16string path);
    FILE_OBJECT file{};
    std::u16string name;
};

class PortClsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The device arrives: PnP loads the driver, adds and starts the device.
    void Arrive();
    void Depart(bool surprise = false);
    // A new physical device on the test bus (the bus deletes a PDO when its
    // device is removed).
    void NewPdo();

    Completion SendToDevice(UCHAR major, FILE_OBJECT* file, ULONG ioControl = 0, PVOID input = nullptr,
                            ULONG inputLength = 0, PVOID output = nullptr, ULONG outputLength = 0);
    Completion Create(TestFile& file) { return SendToDevice(IRP_MJ_CREATE, &file.file); }
    Completion Close(TestFile& file) { return SendToDevice(IRP_MJ_CLOSE, &file.file); }
    Completion Property(TestFile& file, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
        return SendToDevice(IRP_MJ_DEVICE_CONTROL, &file.file, IOCTL_KS_PROPERTY, input, inputLength, output,
                            outputLength);
    }
    // Live pool blocks of PortCls's tags and the test driver's.
    std::size_t LiveBlocks() const;
    std::vector<sim::DeviceInterface> EnabledInterfaces() const;

    sim::Machine machine;
    World& world = ResetWorld();
    DRIVER_OBJECT* bus = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    sim::PnpNode* node = nullptr;
};

}  // namespace portcls_test

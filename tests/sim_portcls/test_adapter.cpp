#include "test_adapter.h"

#include "platform/io/device.h"
#include "platform/io/pnp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/object.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"

#include <cstring>
#include <memory>
#include <new>

namespace portcls_test {

namespace {

World* world_instance = nullptr;

void Log(std::string text) { TheWorld().log.push_back(std::move(text)); }

std::string PowerText(POWER_STATE state) {
    std::string text = "D";
    text += std::to_string(state.DeviceState - PowerDeviceD0);
    return text;
}

template <class T, class... Args>
T* New(ULONG tag, Args&&... args) {
    void* memory = ExAllocatePoolZero(NonPagedPoolNx, sizeof(T), tag);
    return memory == nullptr ? nullptr : new (memory) T(std::forward<Args>(args)...);
}

template <class T>
void Delete(T* object, ULONG tag) {
    object->~T();
    ExFreePoolWithTag(object, tag);
}

// ---- property handlers ----

void Record(PCPROPERTY_REQUEST* request) {
    World& world = TheWorld();
    std::lock_guard lock(world.requestLock);
    world.request = *request;
    const auto* bytes = static_cast<const UCHAR*>(request->Instance);
    world.instance.assign(bytes, bytes + request->InstanceSize);
    ++world.handlerCalls;
}

NTSTATUS ComponentIdHandler(PCPROPERTY_REQUEST* request) {
    Record(request);
    if (request->ValueSize < sizeof(KSCOMPONENTID)) {
        request->ValueSize = sizeof(KSCOMPONENTID);
        return STATUS_BUFFER_OVERFLOW;
    }
    KSCOMPONENTID id{};
    id.Manufacturer = KSDATAFORMAT_TYPE_AUDIO;
    id.Version = 1;
    id.Revision = 7;
    std::memcpy(request->Value, &id, sizeof(id));
    request->ValueSize = sizeof(id);
    return STATUS_SUCCESS;
}

NTSTATUS GetOnlyHandler(PCPROPERTY_REQUEST* request) {
    Record(request);
    request->ValueSize = 0;
    return STATUS_SUCCESS;
}

NTSTATUS OverflowHandler(PCPROPERTY_REQUEST* request) {
    Record(request);
    request->ValueSize = 16;
    return STATUS_BUFFER_OVERFLOW;
}

NTSTATUS VolumeHandler(PCPROPERTY_REQUEST* request) {
    Record(request);
    if (request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
    const LONG level = -0x60000;
    std::memcpy(request->Value, &level, sizeof(level));
    request->ValueSize = sizeof(level);
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM kFilterItems[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     ComponentIdHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, PCPROPERTY_ITEM_FLAG_GET, GetOnlyHandler},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_SAMPLING_RATE, PCPROPERTY_ITEM_FLAG_GET, OverflowHandler},
};
const PCAUTOMATION_TABLE kFilterTable = {sizeof(PCPROPERTY_ITEM), 3, kFilterItems, 0, 0, nullptr, 0, 0, nullptr, 0};

const PCPROPERTY_ITEM kVolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, VolumeHandler},
};
const PCAUTOMATION_TABLE kVolumeTable = {sizeof(PCPROPERTY_ITEM), 1, kVolumeItems, 0, 0, nullptr, 0, 0, nullptr, 0};

// ---- descriptions ----

const KSDATARANGE_AUDIO kPcmRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
      KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
    2, 16, 32, 44100, 48000};
const KSDATARANGE kBridgeRange = {
    {sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};
const KSDATARANGE_MUSIC kMidiRange = {
    {{sizeof(KSDATARANGE_MUSIC), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI,
      KSDATAFORMAT_SPECIFIER_NONE}},
    KSMUSIC_TECHNOLOGY_PORT, 0, 0, 0xFFFF};
const KSDATARANGE kMidiBusRange = {
    {sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI_BUS,
     KSDATAFORMAT_SPECIFIER_NONE}};

PKSDATARANGE const kPcmRanges[] = {const_cast<KSDATARANGE*>(&kPcmRange.DataRange)};
PKSDATARANGE const kBridgeRanges[] = {const_cast<KSDATARANGE*>(&kBridgeRange)};
PKSDATARANGE const kMidiRanges[] = {const_cast<KSDATARANGE*>(&kMidiRange.DataRange)};
PKSDATARANGE const kMidiBusRanges[] = {const_cast<KSDATARANGE*>(&kMidiBusRange)};

PinRecord Pin(ULONG index, KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication, PKSDATARANGE const* ranges,
              const GUID* category) {
    PinRecord record{};
    const bool streaming = communication == KSPIN_COMMUNICATION_SINK;
    record.pin.MaxGlobalInstanceCount = streaming ? 1 : 0;
    record.pin.MaxFilterInstanceCount = streaming ? 1 : 0;
    record.pin.KsPinDescriptor.DataRangesCount = 1;
    record.pin.KsPinDescriptor.DataRanges = ranges;
    record.pin.KsPinDescriptor.DataFlow = flow;
    record.pin.KsPinDescriptor.Communication = communication;
    record.pin.KsPinDescriptor.Category = category;
    record.ownIndex = index;
    return record;
}

NodeRecord Node(ULONG index, const GUID* type, const PCAUTOMATION_TABLE* table = nullptr) {
    NodeRecord record{};
    record.node.Type = type;
    record.node.AutomationTable = table;
    record.ownIndex = index;
    return record;
}

// Pins: 0 render (in, sink), 1 speaker bridge (out), 2 microphone bridge
// (in), 3 capture (out, sink). Nodes: 0 DAC, 1 volume, 2 ADC.
const PinRecord kWavePins[] = {
    Pin(0, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, kPcmRanges, &KSCATEGORY_AUDIO),
    Pin(1, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, kBridgeRanges, &KSNODETYPE_SPEAKER),
    Pin(2, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, kBridgeRanges, &KSNODETYPE_MICROPHONE),
    Pin(3, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, kPcmRanges, &KSCATEGORY_AUDIO),
};
const NodeRecord kWaveNodes[] = {Node(0, &KSNODETYPE_DAC), Node(1, &KSNODETYPE_VOLUME, &kVolumeTable),
                                 Node(2, &KSNODETYPE_ADC)};
const PCCONNECTION_DESCRIPTOR kWaveConnections[] = {
    {PCFILTER_NODE, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, PCFILTER_NODE, 1},  // render
    {PCFILTER_NODE, 2, 2, 1}, {2, 0, PCFILTER_NODE, 3},                // capture
};

const PCFILTER_DESCRIPTOR kWave = {0,           &kFilterTable, sizeof(PinRecord),  4, &kWavePins[0].pin,
                                   sizeof(NodeRecord), 3,      &kWaveNodes[0].node, 5, kWaveConnections,
                                   0,           nullptr};

const PinRecord kCapturePins[] = {
    Pin(0, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, kBridgeRanges, &KSNODETYPE_MICROPHONE),
    Pin(1, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, kPcmRanges, &KSCATEGORY_AUDIO),
};
const PCCONNECTION_DESCRIPTOR kCaptureConnections[] = {{PCFILTER_NODE, 0, PCFILTER_NODE, 1}};
const PCFILTER_DESCRIPTOR kCaptureOnly = {0, nullptr, sizeof(PinRecord), 2,       &kCapturePins[0].pin,
                                          0, 0,       nullptr,           1,       kCaptureConnections,
                                          0, nullptr};

const GUID kExplicitCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
const PCFILTER_DESCRIPTOR kExplicit = {0, nullptr, sizeof(PinRecord), 4,         &kWavePins[0].pin,
                                       0, 0,       nullptr,           0,         nullptr,
                                       2, kExplicitCategories};

// One render and one capture jack: render streaming pin 0, capture bridge 1,
// capture streaming 2, render bridge 3 (the layout of ovuac2audio's MIDI
// filter).
const PinRecord kMidiPins[] = {
    Pin(0, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, kMidiRanges, &KSNODETYPE_SYNTHESIZER),
    Pin(1, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, kMidiBusRanges, &KSCATEGORY_AUDIO),
    Pin(2, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, kMidiRanges, &KSNODETYPE_SYNTHESIZER),
    Pin(3, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, kMidiBusRanges, &KSCATEGORY_AUDIO),
};
const PCFILTER_DESCRIPTOR kMidi = {0, nullptr, sizeof(PinRecord), 4, &kMidiPins[0].pin, 0, 0, nullptr, 0, nullptr,
                                   0, nullptr};

// ---- the adapter ----

class Adapter final : public IAdapterPowerManagement {
public:
    Adapter() {
        ++TheWorld().liveAdapters;
        TheWorld().adapterUnknown = this;
    }
    ~Adapter() {
        --TheWorld().liveAdapters;
        TheWorld().adapterUnknown = nullptr;
        Log("adapter destroyed");
    }

    NTSTATUS QueryInterface(REFIID id, PVOID* object) override {
        if (id == IID_IUnknown || id == IID_IAdapterPowerManagement) {
            *object = static_cast<IAdapterPowerManagement*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override {
        const LONG left = --references_;
        if (left == 0) Delete(this, kAdapterTag);
        return static_cast<ULONG>(left);
    }

    void PowerChangeState(POWER_STATE state) override { Log("adapter set " + PowerText(state)); }
    NTSTATUS QueryPowerChangeState(POWER_STATE state) override {
        Log("adapter query " + PowerText(state));
        return TheWorld().queryPowerResult;
    }
    NTSTATUS QueryDeviceCapabilities(DEVICE_CAPABILITIES* caps) override {
        Log("adapter caps, address " + std::to_string(caps->Address));
        caps->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }

private:
    std::atomic<LONG> references_{1};
};

// ---- miniports ----

// What both miniports share: the port and adapter references and the
// description.
class MiniportBase {
protected:
    MiniportBase() { ++TheWorld().liveMiniports; }
    ~MiniportBase() {
        if (port_ != nullptr) port_->Release();
        if (adapter_ != nullptr) adapter_->Release();
        --TheWorld().liveMiniports;
        Log("miniport destroyed");
    }
    void Keep(PUNKNOWN adapter, IPort* port) {
        adapter_ = adapter;
        if (adapter_ != nullptr) adapter_->AddRef();
        port_ = port;
        port_->AddRef();
        TheWorld().lastPort = port;
    }
    NTSTATUS Describe(PCFILTER_DESCRIPTOR** description) {
        *description = const_cast<PCFILTER_DESCRIPTOR*>(TheWorld().description);
        return STATUS_SUCCESS;
    }

    std::atomic<LONG> references_{1};
    IPort* port_ = nullptr;
    PUNKNOWN adapter_ = nullptr;
};

class WaveMiniport final : public IMiniportWaveRT, public IPowerNotify, MiniportBase {
public:
    NTSTATUS QueryInterface(REFIID id, PVOID* object) override {
        if (id == IID_IUnknown || id == IID_IMiniport || id == IID_IMiniportWaveRT) {
            *object = static_cast<IMiniportWaveRT*>(this);
        } else if (id == IID_IPowerNotify) {
            *object = static_cast<IPowerNotify*>(this);
        } else {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override {
        const LONG left = --references_;
        if (left == 0) Delete(this, kMiniportTag);
        return static_cast<ULONG>(left);
    }

    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override { return Describe(description); }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN adapter, IResourceList*, IPortWaveRT* port) override {
        if (!NT_SUCCESS(TheWorld().miniportInitResult)) return TheWorld().miniportInitResult;
        Keep(adapter, port);
        TheWorld().lastMajorTarget = static_cast<IMiniportWaveRT*>(this);
        Log("wave miniport init");
        return STATUS_SUCCESS;
    }
    NTSTATUS NewStream(IMiniportWaveRTStream**, IPortWaveRTStream*, ULONG, BOOLEAN, KSDATAFORMAT*) override {
        return STATUS_NOT_SUPPORTED;  // streams are not under test here
    }
    NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION*) override { return STATUS_SUCCESS; }
    void PowerChangeNotify(POWER_STATE state) override { Log("miniport notify " + PowerText(state)); }
};

class MidiMiniport final : public IMiniportMidi, MiniportBase {
public:
    ~MidiMiniport() {
        if (group_ != nullptr) group_->Release();
    }
    NTSTATUS QueryInterface(REFIID id, PVOID* object) override {
        if (id == IID_IUnknown || id == IID_IMiniport || id == IID_IMiniportMidi) {
            *object = static_cast<IMiniportMidi*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG Release() override {
        const LONG left = --references_;
        if (left == 0) Delete(this, kMiniportTag);
        return static_cast<ULONG>(left);
    }

    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override { return Describe(description); }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN adapter, IResourceList*, IPortMidi* port, IServiceGroup** group) override {
        const NTSTATUS status = PcNewServiceGroup(&group_, nullptr);
        if (!NT_SUCCESS(status)) return status;
        Keep(adapter, port);
        TheWorld().lastMajorTarget = static_cast<IMiniportMidi*>(this);
        TheWorld().lastGroup = group_;
        group_->AddRef();
        *group = group_;
        Log("midi miniport init");
        return STATUS_SUCCESS;
    }
    void Service() override {
        TheWorld().serviceIrql = KeGetCurrentIrql();
        ++TheWorld().serviceCalls;
    }
    NTSTATUS NewStream(IMiniportMidiStream**, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, KSDATAFORMAT*,
                       IServiceGroup**) override {
        return STATUS_NOT_SUPPORTED;
    }

private:
    IServiceGroup* group_ = nullptr;
};

// ---- the adapter driver ----

NTSTATUS StartDevice(DEVICE_OBJECT* fdo, IRP* irp, IResourceList* resources) {
    Log("start device");
    World& world = TheWorld();
    world.resourceEntries = resources->NumberOfEntries();
    Adapter* adapter = New<Adapter>(kAdapterTag);
    if (adapter == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = PcRegisterAdapterPowerManagement(static_cast<IAdapterPowerManagement*>(adapter), fdo);
    if (NT_SUCCESS(status)) {
        // As ovuac2audio does: a subdevice that fails leaves the device
        // started without a filter.
        world.registerStatus = InstallSubdevice(fdo, irp, resources);
    }
    adapter->Release();
    return status;
}

NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice) {
    DEVICE_OBJECT* before = driver->DeviceObject;
    const NTSTATUS status = PcAddAdapterDevice(driver, physicalDevice, StartDevice, 2, 528);
    if (NT_SUCCESS(status) && driver->DeviceObject != before) TheWorld().fdo = driver->DeviceObject;
    return status;
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

// ---- the bus ----

NTSTATUS CompleteHere(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Log("bus start");
        return CompleteHere(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
        Log("bus caps");
        stack->Parameters.DeviceCapabilities.Capabilities->Address = 7;
        return CompleteHere(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return CompleteHere(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        Log("bus remove");
        CompleteHere(irp, STATUS_SUCCESS);
        IoDeleteDevice(pdo);  // the child is gone
        return STATUS_SUCCESS;
    default:
        return CompleteHere(irp, irp->IoStatus.Status);
    }
}

NTSTATUS BusPower(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE state = stack->Parameters.Power.State;
    Log(std::string(stack->MinorFunction == IRP_MN_SET_POWER ? "bus set " : "bus query ") + PowerText(state));
    return CompleteHere(irp, STATUS_SUCCESS);
}

NTSTATUS Captured(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* result = static_cast<std::pair<Completion, KEVENT>*>(context);
    result->first = {irp->IoStatus.Status, irp->IoStatus.Information};
    KeSetEvent(&result->second, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

World& TheWorld() { return *world_instance; }

World& ResetWorld() {
    delete world_instance;
    world_instance = new World;
    return *world_instance;
}

const PCFILTER_DESCRIPTOR& WaveDescription() { return kWave; }
const PCFILTER_DESCRIPTOR& CaptureOnlyDescription() { return kCaptureOnly; }
const PCFILTER_DESCRIPTOR& ExplicitCategoriesDescription() { return kExplicit; }
const PCFILTER_DESCRIPTOR& MidiDescription() { return kMidi; }
const PCPROPERTY_ITEM* ComponentIdItem() { return &kFilterItems[0]; }
const PCPROPERTY_ITEM* GetOnlyItem() { return &kFilterItems[1]; }
const PCPROPERTY_ITEM* OverflowItem() { return &kFilterItems[2]; }
const PCPROPERTY_ITEM* VolumeItem() { return &kVolumeItems[0]; }

NTSTATUS InstallSubdevice(DEVICE_OBJECT* fdo, IRP* irp, IResourceList* resources) {
    World& world = TheWorld();
    const bool wave = world.kind == MiniportKind::Wave;
    IPort* port = nullptr;
    NTSTATUS status = PcNewPort(&port, wave ? CLSID_PortWaveRT : CLSID_PortMidi);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = nullptr;
    if (world.miniportSource == MiniportSource::PortClass) {
        PMINIPORT made = nullptr;
        status = PcNewMiniport(&made, wave ? CLSID_PortWaveRT : CLSID_PortMidi);
        if (!NT_SUCCESS(status)) {
            port->Release();
            return status;
        }
        miniport = made;
    } else if (world.miniportSource == MiniportSource::Own) {
        if (wave) {
            if (auto* m = New<WaveMiniport>(kMiniportTag)) miniport = static_cast<IMiniportWaveRT*>(m);
        } else {
            if (auto* m = New<MidiMiniport>(kMiniportTag)) miniport = static_cast<IMiniportMidi*>(m);
        }
    }
    if (miniport == nullptr) {
        port->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = port->Init(fdo, irp, miniport, world.adapterUnknown, resources);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, world.subdeviceName, port);
    miniport->Release();
    port->Release();
    return status;
}

TestFile::TestFile(std::u16string path) : name(std::move(path)) {
    file.FileName.Buffer = name.data();
    file.FileName.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
    file.FileName.MaximumLength = file.FileName.Length;
}

void PortClsTest::SetUp() {
    world.description = &WaveDescription();
    World* w = &world;
    machine.portcls().AddListener([w](const sim::SubdeviceEvent& event) { w->events.push_back(event); });
    bus = machine.io().CreateDriverObject(u"testbus");
    bus->MajorFunction[IRP_MJ_PNP] = BusPnp;
    bus->MajorFunction[IRP_MJ_POWER] = BusPower;
    NewPdo();
    machine.pnp().InstallDriver(u"testaudio", DriverEntry, {u"TEST\\AUDIO"});
}

void PortClsTest::NewPdo() {
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
              STATUS_SUCCESS);
}

void PortClsTest::TearDown() {
    if (node != nullptr) Depart();
    if (pdo != nullptr) IoDeleteDevice(pdo);  // never arrived
    pdo = nullptr;
}

void PortClsTest::Arrive() {
    sim::DeviceIdentity identity;
    identity.deviceId = u"TEST\\AUDIO";
    identity.instanceSuffix = std::u16string(1, u'1');  // GCC 12 -O3 misreads assigning u"1" (-Wrestrict)
    identity.hardwareIds = {u"TEST\\AUDIO"};
    node = machine.pnp().Arrive(pdo, identity);
}

void PortClsTest::Depart(bool surprise) {
    machine.pnp().Depart(node, surprise);
    node = nullptr;
    pdo = nullptr;  // the bus deleted it
    world.fdo = nullptr;
}

Completion PortClsTest::SendToDevice(UCHAR major, FILE_OBJECT* file, ULONG ioControl, PVOID input,
                                     ULONG inputLength, PVOID output, ULONG outputLength) {
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        next->Parameters.DeviceIoControl.IoControlCode = ioControl;
        next->Parameters.DeviceIoControl.Type3InputBuffer = input;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        irp->UserBuffer = output;
    }
    auto result = std::make_unique<std::pair<Completion, KEVENT>>();
    KeInitializeEvent(&result->second, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Captured, result.get(), TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&result->second, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(top);
    IoFreeIrp(irp);
    return result->first;
}

std::size_t PortClsTest::LiveBlocks() const {
    auto& pool = const_cast<sim::Machine&>(machine).kernel().pool();
    std::size_t blocks = pool.Stats(kAdapterTag).liveBlocks + pool.Stats(kMiniportTag).liveBlocks;
    for (ULONG tag : sim::kPcTags) blocks += pool.Stats(tag).liveBlocks;
    return blocks;
}

std::vector<sim::DeviceInterface> PortClsTest::EnabledInterfaces() const {
    std::vector<sim::DeviceInterface> out;
    for (auto& i : const_cast<sim::Machine&>(machine).pnp().Interfaces())
        if (i.enabled) out.push_back(i);
    return out;
}

}  // namespace portcls_test

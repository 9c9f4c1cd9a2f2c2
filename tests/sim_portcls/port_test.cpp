// Ports and their subdevices: creation, binding, MIDI servicing,
// unregistration and registration again, and what happens when pool or the
// description fails.
#include "test_adapter.h"

#include "sim/kernel/kernel.h"
#include "sim/portcls/wavert_stream.h"

#include <cstring>

namespace portcls_test {
namespace {

TEST(PortFactory, MakesTheWaveRTAndMidiPortsOnly) {
    sim::Machine machine;
    struct Case {
        const char* what;
        const GUID* classId;
        NTSTATUS status;
        const GUID* portInterface;  // answered by QueryInterface when created
        const GUID* otherPort;      // refused by QueryInterface
    };
    const Case cases[] = {
        {"WaveRT", &CLSID_PortWaveRT, STATUS_SUCCESS, &IID_IPortWaveRT, &IID_IPortMidi},
        {"MIDI", &CLSID_PortMidi, STATUS_SUCCESS, &IID_IPortMidi, &IID_IPortWaveRT},
        {"topology", &CLSID_PortTopology, STATUS_INVALID_PARAMETER, nullptr, nullptr},
        {"wave cyclic", &CLSID_PortWaveCyclic, STATUS_INVALID_PARAMETER, nullptr, nullptr},
        {"a miniport's class", &CLSID_MiniportDriverUart, STATUS_INVALID_PARAMETER, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IPort* port = reinterpret_cast<IPort*>(0x1);
        ASSERT_EQ(PcNewPort(&port, *c.classId), c.status);
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(port, nullptr);
            continue;
        }
        PVOID object = nullptr;
        for (const GUID* id : {c.portInterface, &IID_IPort, &IID_IUnknown}) {
            ASSERT_EQ(port->QueryInterface(*id, &object), STATUS_SUCCESS);
            EXPECT_EQ(object, port);
            static_cast<IUnknown*>(object)->Release();
        }
        EXPECT_EQ(port->QueryInterface(*c.otherPort, &object), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(object, nullptr);
        ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, &object), STATUS_SUCCESS);
        static_cast<IUnregisterSubdevice*>(object)->Release();
        EXPECT_EQ(port->Release(), 0u);
    }
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagPort).liveBlocks, 0u);

    // No built-in miniports: the package brings its own.
    IMiniport* miniport = reinterpret_cast<IMiniport*>(0x1);
    EXPECT_EQ(PcNewMiniport(&miniport, CLSID_MiniportDriverUart), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(miniport, nullptr);
}

TEST_F(PortClsTest, UninitialisedPortsCannotBeRegistered) {
    Arrive();
    IPort* port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveRT), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(world.fdo, u"Other", port), STATUS_INVALID_DEVICE_REQUEST);
    // Nor is any device object but a PortCls adapter device's.
    EXPECT_EQ(port->Init(pdo, nullptr, world.adapterUnknown, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PcRegisterSubdevice(pdo, u"Other", port), STATUS_INVALID_PARAMETER);
    port->Release();
}

TEST_F(PortClsTest, MidiPortServicesItsMiniportThroughTheServiceGroup) {
    world.kind = MiniportKind::Midi;
    world.description = &MidiDescription();
    world.subdeviceName = u"Midi";
    Arrive();
    ASSERT_EQ(world.registerStatus, STATUS_SUCCESS);
    ASSERT_NE(world.lastGroup, nullptr);
    IPortMidi* port = nullptr;
    ASSERT_EQ(world.lastPort->QueryInterface(IID_IPortMidi, reinterpret_cast<PVOID*>(&port)), STATUS_SUCCESS);

    port->Notify(nullptr);  // the port's own group: the one the miniport's Init returned
    EXPECT_EQ(world.serviceCalls, 1);
    EXPECT_EQ(world.serviceIrql, DISPATCH_LEVEL);
    port->Notify(world.lastGroup);
    EXPECT_EQ(world.serviceCalls, 2);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);  // as from a completion routine
    port->Notify(nullptr);
    KeLowerIrql(irql);
    EXPECT_EQ(world.serviceCalls, 3);
    port->Release();

    Depart();
    EXPECT_EQ(world.liveMiniports, 0);
    EXPECT_EQ(world.liveAdapters, 0);
    EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(PortClsTest, UnregisteredSubdeviceCanBeRegisteredAgain) {
    Arrive();
    const auto before = EnabledInterfaces();
    ASSERT_EQ(before.size(), 4u);
    TestFile stale(u"\\Wave");
    ASSERT_EQ(Create(stale).status, STATUS_SUCCESS);

    IUnregisterSubdevice* unregister = nullptr;
    ASSERT_EQ(world.lastPort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
              STATUS_SUCCESS);
    IPort* oldPort = world.lastPort;
    ASSERT_EQ(unregister->UnregisterSubdevice(world.fdo, oldPort), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(world.fdo, oldPort), STATUS_NOT_FOUND);
    EXPECT_TRUE(EnabledInterfaces().empty());
    EXPECT_TRUE(machine.portcls().Subdevices().empty());
    ASSERT_EQ(world.events.size(), 2u);
    EXPECT_EQ(world.events[1].kind, sim::SubdeviceEvent::Kind::Unregistered);
    // PortCls let go of the miniport, and the miniport of its port.
    EXPECT_EQ(world.liveMiniports, 0);
    unregister->Release();

    // A handle opened before answers nothing more, and still closes.
    KSPROPERTY property{{KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET}};
    KSCOMPONENTID id{};
    EXPECT_EQ(Property(stale, &property, sizeof(property), &id, sizeof(id)).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(Close(stale).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagPort).liveBlocks, 0u);
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagSubdevice).liveBlocks, 0u);

    // What a sample-rate change does next: a new port and miniport under the
    // same name, on the same interfaces.
    ASSERT_EQ(InstallSubdevice(world.fdo, nullptr, nullptr), STATUS_SUCCESS);
    const auto after = EnabledInterfaces();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].symbolicLink, before[i].symbolicLink);
    ASSERT_EQ(world.events.size(), 3u);
    EXPECT_EQ(world.events[2].kind, sim::SubdeviceEvent::Kind::Registered);
    TestFile fresh(u"\\Wave");
    ASSERT_EQ(Create(fresh).status, STATUS_SUCCESS);
    EXPECT_EQ(Property(fresh, &property, sizeof(property), &id, sizeof(id)).status, STATUS_SUCCESS);
    EXPECT_EQ(world.request.MajorTarget, world.lastMajorTarget);
    EXPECT_EQ(Close(fresh).status, STATUS_SUCCESS);
}

TEST_F(PortClsTest, SubdeviceNamesAreUniqueAndSlotsLimited) {
    Arrive();
    world.subdeviceName = u"WAVE";
    EXPECT_EQ(InstallSubdevice(world.fdo, nullptr, nullptr), STATUS_OBJECT_NAME_COLLISION);
    world.subdeviceName = u"Second";
    EXPECT_EQ(InstallSubdevice(world.fdo, nullptr, nullptr), STATUS_SUCCESS);
    world.subdeviceName = u"Third";  // PcAddAdapterDevice allowed two
    EXPECT_EQ(InstallSubdevice(world.fdo, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    world.subdeviceName = u"a\\b";
    EXPECT_EQ(InstallSubdevice(world.fdo, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine.portcls().Subdevices().size(), 2u);

    // Every port and miniport that failed to register is released with the
    // device all the same.
    Depart();
    EXPECT_EQ(world.liveMiniports, 0);
    EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(PortClsTest, PoolFailuresWhileRegisteringLeaveNothingBehind) {
    struct Case {
        const char* what;
        ULONG tag;
        unsigned nth;
    };
    const Case cases[] = {
        {"subdevice record", sim::kPcTagSubdevice, 1},
        {"second interface link", PoolTag("IoSl"), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        machine.kernel().pool().FailNthAllocation(c.tag, c.nth);
        Arrive();
        EXPECT_EQ(node->state(), sim::NodeState::Started);  // the driver starts without a filter
        EXPECT_EQ(world.registerStatus, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(EnabledInterfaces().empty());
        EXPECT_TRUE(machine.portcls().Subdevices().empty());
        EXPECT_TRUE(world.events.empty());
        Depart();
        EXPECT_EQ(world.liveMiniports, 0);
        EXPECT_EQ(world.liveAdapters, 0);
        EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
        machine.kernel().pool().ClearFailures();
        NewPdo();
    }
}

TEST(PortWaveRTStream, AllocatesPageAlignedBuffersBelowTheLimitAndFreesThem) {
    sim::Machine machine;
    IPortWaveRTStream* stream = sim::portcls::NewPortWaveRTStream();
    ASSERT_NE(stream, nullptr);
    PHYSICAL_ADDRESS below4G;
    below4G.QuadPart = 0xFFFFFFFF;
    MDL* mdl = stream->AllocatePagesForMdl(below4G, 10000);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 10000u);
    ASSERT_EQ(stream->GetPhysicalPagesCount(mdl), 3u);
    for (ULONG page = 0; page < 3; ++page) {
        const LONGLONG physical = stream->GetPhysicalPageAddress(mdl, page).QuadPart;
        EXPECT_EQ(physical % 4096, 0);
        EXPECT_LE(physical + 4095, below4G.QuadPart);
        if (page != 0) {
            EXPECT_EQ(physical, stream->GetPhysicalPageAddress(mdl, 0).QuadPart + page * 4096);
        }
    }
    auto* bytes = static_cast<UCHAR*>(stream->MapAllocatedPages(mdl, MmCached));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(bytes) % 4096, 0u);
    std::memset(bytes, 0x5A, 10000);  // the whole buffer is the driver's
    stream->UnmapAllocatedPages(bytes, mdl);
    stream->FreePagesFromMdl(mdl);

    // A limit the simulated pages cannot meet, and an empty request.
    PHYSICAL_ADDRESS tooLow;
    tooLow.QuadPart = 0xFFFF;
    EXPECT_EQ(stream->AllocatePagesForMdl(tooLow, 4096), nullptr);
    EXPECT_EQ(stream->AllocatePagesForMdl(below4G, 0), nullptr);
    machine.kernel().pool().FailNthAllocation(sim::kPcTagWaveRtBuffer, 1);
    EXPECT_EQ(stream->AllocatePagesForMdl(below4G, 4096), nullptr);
    EXPECT_EQ(stream->Release(), 0u);
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagWaveRtBuffer).liveBlocks, 0u);
}

TEST(PortWaveRTStreamDeathTest, BuffersMustBeUnmappedAndFreedInOrder) {
    sim::Machine machine;
    PHYSICAL_ADDRESS below4G;
    below4G.QuadPart = 0xFFFFFFFF;
    EXPECT_DEATH(
        {
            IPortWaveRTStream* stream = sim::portcls::NewPortWaveRTStream();
            MDL* mdl = stream->AllocatePagesForMdl(below4G, 4096);
            stream->MapAllocatedPages(mdl, MmCached);
            stream->FreePagesFromMdl(mdl);
        },
        "VERIFIER STOP: FreePagesFromMdl on a WaveRT buffer that is still mapped");
    EXPECT_DEATH(
        {
            IPortWaveRTStream* stream = sim::portcls::NewPortWaveRTStream();
            stream->AllocatePagesForMdl(below4G, 4096);
            stream->Release();
        },
        "VERIFIER STOP: WaveRT port stream released with a 4096-byte buffer still allocated");
}

using PortClsDeathTest = PortClsTest;

TEST_F(PortClsDeathTest, MalformedDescriptionStops) {
    static PCFILTER_DESCRIPTOR shortPins = WaveDescription();
    shortPins.PinSize = 8;
    world.description = &shortPins;
    EXPECT_DEATH(Arrive(), "VERIFIER STOP: filter description of the WaveRT miniport .*: PinSize 8 below 112");

    static PCCONNECTION_DESCRIPTOR badConnection[] = {{PCFILTER_NODE, 9, 0, 1}};
    static PCFILTER_DESCRIPTOR strayPin = WaveDescription();
    strayPin.ConnectionCount = 1;
    strayPin.Connections = badConnection;
    world.description = &strayPin;
    EXPECT_DEATH(Arrive(), "connection 0: bad source 4294967295/9");
}

}  // namespace
}  // namespace portcls_test

// The adapter device's life under PnP: start, subdevice publication, filter
// handles, property requests, power and removal.
#include "test_adapter.h"

#include "platform/io/device.h"
#include "sim/kernel/kernel.h"
#include "sim/strings.h"

#include <algorithm>
#include <cstring>

namespace portcls_test {
namespace {

bool Contains(const std::vector<std::string>& log, const std::string& entry) {
    return std::find(log.begin(), log.end(), entry) != log.end();
}

// The position of `entry` in the log (the log's size when absent).
std::size_t Where(const std::vector<std::string>& log, const std::string& entry) {
    return static_cast<std::size_t>(std::find(log.begin(), log.end(), entry) - log.begin());
}

std::u16string Tail(const std::u16string& text, std::size_t n) {
    return text.size() < n ? text : text.substr(text.size() - n);
}

TEST_F(PortClsTest, StartDeviceRunsOnceTheLowerStackHasStarted) {
    Arrive();
    ASSERT_EQ(node->state(), sim::NodeState::Started);
    const auto& log = world.log;
    ASSERT_TRUE(Contains(log, "bus start"));
    ASSERT_TRUE(Contains(log, "start device"));
    EXPECT_LT(Where(log, "bus start"), Where(log, "start device"));
    EXPECT_EQ(world.resourceEntries, 0u);
    EXPECT_EQ(world.registerStatus, STATUS_SUCCESS);

    // The functional device: attached over the PDO, initialised, with the
    // extension the driver asked for.
    ASSERT_NE(world.fdo, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, world.fdo);
    EXPECT_EQ(world.fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(world.fdo->Size, sizeof(DEVICE_OBJECT) + 528);
    EXPECT_EQ(machine.portcls().AdapterDeviceCount(), 1u);
}

TEST_F(PortClsTest, RegisteredSubdeviceHasEnabledInterfacesWithItsNameAsReferenceString) {
    Arrive();
    const auto interfaces = EnabledInterfaces();
    std::vector<GUID> classes;
    for (const auto& i : interfaces) {
        classes.push_back(i.interfaceClass);
        EXPECT_EQ(i.referenceString, u"Wave");
        EXPECT_EQ(Tail(i.symbolicLink, 5), u"\\Wave");
    }
    EXPECT_EQ(classes, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE,
                                          KSCATEGORY_REALTIME}));

    // Listeners and the simulator's view agree with what PnP holds.
    ASSERT_EQ(world.events.size(), 1u);
    const sim::SubdeviceEvent& event = world.events[0];
    EXPECT_EQ(event.kind, sim::SubdeviceEvent::Kind::Registered);
    EXPECT_EQ(event.subdevice.name, u"Wave");
    EXPECT_EQ(event.subdevice.port, sim::PortType::WaveRT);
    EXPECT_EQ(event.subdevice.functionalDevice, world.fdo);
    EXPECT_EQ(event.subdevice.physicalDevice, pdo);
    EXPECT_EQ(event.subdevice.categories, classes);
    ASSERT_EQ(event.subdevice.interfaces.size(), interfaces.size());
    for (std::size_t i = 0; i < interfaces.size(); ++i)
        EXPECT_EQ(event.subdevice.interfaces[i], interfaces[i].symbolicLink);
    const auto published = machine.portcls().Subdevices();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].interfaces, event.subdevice.interfaces);
}

// A subdevice the adapter did not get is recorded with the step that
// failed; a healthy one records nothing.
TEST_F(PortClsTest, SubdevicesThatFailedToInstallAreRecordedWithTheFailingStep) {
    struct Case {
        const char* what;
        MiniportKind kind;
        MiniportSource source;
        const char16_t* name;
        NTSTATUS initResult;
        std::vector<sim::SubdeviceFailure> failures;
    };
    const Case cases[] = {
        {"installed", MiniportKind::Wave, MiniportSource::Own, u"Wave", STATUS_SUCCESS, {}},
        {"no miniport from PortCls", MiniportKind::Midi, MiniportSource::PortClass, u"Midi", STATUS_SUCCESS,
         {{sim::PortType::Midi, u"", "PcNewMiniport", STATUS_INVALID_PARAMETER}}},
        {"the driver's own factory fails", MiniportKind::Wave, MiniportSource::OwnFailing, u"Wave", STATUS_SUCCESS,
         {{sim::PortType::WaveRT, u"", "miniport", std::nullopt}}},
        {"the miniport refuses Init", MiniportKind::Wave, MiniportSource::Own, u"Wave", STATUS_DEVICE_NOT_READY,
         {{sim::PortType::WaveRT, u"", "Init", STATUS_DEVICE_NOT_READY}}},
        {"a name PortCls refuses", MiniportKind::Wave, MiniportSource::Own, u"Wa\\ve", STATUS_SUCCESS,
         {{sim::PortType::WaveRT, u"Wa\\ve", "PcRegisterSubdevice", STATUS_INVALID_PARAMETER}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world.kind = c.kind;
        world.description = c.kind == MiniportKind::Wave ? &WaveDescription() : &MidiDescription();
        world.miniportSource = c.source;
        world.subdeviceName = c.name;
        world.miniportInitResult = c.initResult;
        Arrive();
        const auto failures = machine.portcls().SubdeviceFailures(world.fdo);
        ASSERT_EQ(failures.size(), c.failures.size());
        for (std::size_t i = 0; i < failures.size(); ++i) {
            EXPECT_EQ(failures[i].port, c.failures[i].port);
            EXPECT_EQ(failures[i].name, c.failures[i].name);
            EXPECT_EQ(failures[i].step, c.failures[i].step);
            EXPECT_EQ(failures[i].status, c.failures[i].status);
        }
        EXPECT_EQ(machine.portcls().Subdevices().size(), c.failures.empty() ? 1u : 0u);
        Depart();
        NewPdo();
    }
}

struct CategoryCase {
    const char* shape;
    MiniportKind kind;
    const PCFILTER_DESCRIPTOR& (*description)();
    std::vector<GUID> categories;
};

TEST_F(PortClsTest, InterfaceCategoriesFollowTheFilterPins) {
    const CategoryCase cases[] = {
        {"capture-only wave", MiniportKind::Wave, CaptureOnlyDescription,
         {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, KSCATEGORY_REALTIME}},
        {"midi", MiniportKind::Midi, MidiDescription, {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE}},
        {"listed by the filter", MiniportKind::Wave, ExplicitCategoriesDescription,
         {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        world.kind = c.kind;
        world.description = &c.description();
        Arrive();
        ASSERT_EQ(world.registerStatus, STATUS_SUCCESS);
        std::vector<GUID> classes;
        for (const auto& i : EnabledInterfaces()) classes.push_back(i.interfaceClass);
        EXPECT_EQ(classes, c.categories);
        Depart();
        NewPdo();
    }
}

TEST_F(PortClsTest, CreateOpensAFilterOnlyForTheSubdeviceName) {
    Arrive();
    TestFile wave(u"\\WAVE");  // names compare without case
    ASSERT_EQ(Create(wave).status, STATUS_SUCCESS);
    EXPECT_NE(wave.file.FsContext, nullptr);
    EXPECT_EQ(wave.file.FsContext2, nullptr);  // the driver's own field

    for (const char16_t* name : {u"", u"\\", u"Wave", u"\\Midi", u"\\Wave\\", u"\\Wav", u"\\Waves"}) {
        SCOPED_TRACE(sim::ToUtf8(name));
        TestFile other(name);
        EXPECT_EQ(Create(other).status, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(other.file.FsContext, nullptr);
        // Not a filter: device control does not reach any miniport.
        KSPROPERTY property{{KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET}};
        KSCOMPONENTID id{};
        EXPECT_EQ(Property(other, &property, sizeof(property), &id, sizeof(id)).status, STATUS_INVALID_DEVICE_REQUEST);
    }
    EXPECT_EQ(world.handlerCalls, 0);
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagFilter).liveBlocks, 1u);
    EXPECT_EQ(Close(wave).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.kernel().pool().Stats(sim::kPcTagFilter).liveBlocks, 0u);
}

TEST_F(PortClsTest, FilterPropertyReachesTheHandlerWithTheRequestFields) {
    Arrive();
    TestFile filter(u"\\Wave");
    ASSERT_EQ(Create(filter).status, STATUS_SUCCESS);

    struct {
        KSPROPERTY property;
        ULONG instance[2];
    } input{{{KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET}}, {0x11223344, 0x55667788}};
    KSCOMPONENTID id{};
    const Completion done = Property(filter, &input, sizeof(input), &id, sizeof(id));
    ASSERT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, sizeof(KSCOMPONENTID));
    EXPECT_EQ(id.Revision, 7u);
    EXPECT_EQ(id.Manufacturer, KSDATAFORMAT_TYPE_AUDIO);

    const PCPROPERTY_REQUEST& request = world.request;
    EXPECT_EQ(request.MajorTarget, world.lastMajorTarget);
    EXPECT_EQ(request.MinorTarget, nullptr);
    EXPECT_EQ(request.Node, ULONG(-1));
    EXPECT_EQ(request.PropertyItem, ComponentIdItem());
    EXPECT_EQ(request.Verb, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(request.ValueSize, sizeof(KSCOMPONENTID));  // as the handler left it
    EXPECT_NE(request.Irp, nullptr);
    ASSERT_EQ(world.instance.size(), 8u);
    ULONG instance[2];
    std::memcpy(instance, world.instance.data(), sizeof(instance));
    EXPECT_EQ(instance[0], 0x11223344u);
    EXPECT_EQ(instance[1], 0x55667788u);
    // The handler worked on PortCls's copy, not on the caller's buffers.
    EXPECT_NE(request.Instance, static_cast<void*>(&input.instance));
    EXPECT_NE(request.Value, static_cast<void*>(&id));
    EXPECT_EQ(Close(filter).status, STATUS_SUCCESS);
}

TEST_F(PortClsTest, NodePropertyReachesTheNodesHandler) {
    Arrive();
    TestFile filter(u"\\Wave");
    ASSERT_EQ(Create(filter).status, STATUS_SUCCESS);
    KSNODEPROPERTY_AUDIO_CHANNEL input{};
    input.NodeProperty.Property.Set = KSPROPSETID_Audio;
    input.NodeProperty.Property.Id = KSPROPERTY_AUDIO_VOLUMELEVEL;
    input.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
    input.NodeProperty.NodeId = 1;
    input.Channel = 1;
    LONG level = 0;
    const Completion done = Property(filter, &input, sizeof(input), &level, sizeof(level));
    ASSERT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, sizeof(LONG));
    EXPECT_EQ(level, -0x60000);
    EXPECT_EQ(world.request.Node, 1u);
    EXPECT_EQ(world.request.PropertyItem, VolumeItem());
    EXPECT_EQ(world.request.Verb, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
    ASSERT_EQ(world.instance.size(), 8u);  // Channel and Reserved
    LONG channel;
    std::memcpy(&channel, world.instance.data(), sizeof(channel));
    EXPECT_EQ(channel, 1);
    EXPECT_EQ(Close(filter).status, STATUS_SUCCESS);
}

struct PropertyCase {
    const char* what;
    GUID set;
    ULONG id;
    ULONG flags;
    ULONG node;            // for KSPROPERTY_TYPE_TOPOLOGY requests
    ULONG inputLength;     // 0: the whole record
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
    bool reachesHandler;
};

TEST_F(PortClsTest, PropertyRequestsThePortAnswersItself) {
    Arrive();
    TestFile filter(u"\\Wave");
    ASSERT_EQ(Create(filter).status, STATUS_SUCCESS);
    const ULONG get = KSPROPERTY_TYPE_GET;
    const ULONG topology = KSPROPERTY_TYPE_TOPOLOGY;
    const PropertyCase cases[] = {
        {"unknown set", KSPROPSETID_Pin, 0, get, 0, 0, 4, STATUS_NOT_FOUND, 0, false},
        {"unknown id", KSPROPSETID_General, 9, get, 0, 0, 4, STATUS_NOT_FOUND, 0, false},
        {"shorter than KSPROPERTY", KSPROPSETID_General, 0, get, 0, sizeof(KSPROPERTY) - 1, 4,
         STATUS_INVALID_BUFFER_SIZE, 0, false},
        {"no verb", KSPROPSETID_General, 0, 0, 0, 0, 4, STATUS_INVALID_PARAMETER, 0, false},
        {"two verbs", KSPROPSETID_General, 0, get | KSPROPERTY_TYPE_SET, 0, 0, 4, STATUS_INVALID_PARAMETER, 0, false},
        {"set on a get-only item", KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_SET, 0, 0, 4,
         STATUS_INVALID_DEVICE_REQUEST, 0, false},
        {"basic support the item leaves to the port", KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY,
         KSPROPERTY_TYPE_BASICSUPPORT, 0, 0, 4, STATUS_SUCCESS, 4, false},
        {"handler wants a bigger buffer", KSPROPSETID_Audio, KSPROPERTY_AUDIO_SAMPLING_RATE, get, 0, 0, 4,
         STATUS_BUFFER_OVERFLOW, 16, true},
        {"filter property addressed to a node", KSPROPSETID_General, 0, get | topology, 1, 0, 72, STATUS_NOT_FOUND,
         0, false},
        {"node past the last", KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, get | topology, 3, 0, 4,
         STATUS_INVALID_PARAMETER, 0, false},
        {"node without automation", KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, get | topology, 0, 0, 4,
         STATUS_NOT_FOUND, 0, false},
        {"node request shorter than KSNODEPROPERTY", KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, get | topology,
         1, sizeof(KSPROPERTY), 4, STATUS_INVALID_BUFFER_SIZE, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KSNODEPROPERTY input{};
        input.Property.Set = c.set;
        input.Property.Id = c.id;
        input.Property.Flags = c.flags;
        input.NodeId = c.node;
        const ULONG length = c.inputLength != 0 ? c.inputLength
                                                : ((c.flags & topology) ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY));
        UCHAR value[72];
        std::memset(value, 0xEE, sizeof(value));
        const int calls = world.handlerCalls;
        const Completion done = Property(filter, &input, length, value, c.outputLength);
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(done.information, c.information);
        EXPECT_EQ(world.handlerCalls - calls, c.reachesHandler ? 1 : 0);
        if (done.status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_EQ(value[0], 0xEE);  // nothing copied
        }
    }
    // The default basic support answers the item's access flags.
    KSPROPERTY basic{{KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, KSPROPERTY_TYPE_BASICSUPPORT}};
    ULONG access = 0;
    ASSERT_EQ(Property(filter, &basic, sizeof(basic), &access, sizeof(access)).status, STATUS_SUCCESS);
    EXPECT_EQ(access, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT);
    EXPECT_EQ(Close(filter).status, STATUS_SUCCESS);
}

TEST_F(PortClsTest, PowerRequestsReachTheAdapterAndTheMiniportInOrder) {
    Arrive();
    world.log.clear();
    ASSERT_EQ(machine.pnp().SetDevicePower(node, PowerDeviceD3), STATUS_SUCCESS);
    // Down: the query, then miniport, adapter, and the bus last.
    EXPECT_EQ(world.log, (std::vector<std::string>{"adapter query D3", "bus query D3", "miniport notify D3",
                                                   "adapter set D3", "bus set D3"}));
    world.log.clear();
    ASSERT_EQ(machine.pnp().SetDevicePower(node, PowerDeviceD0), STATUS_SUCCESS);
    // Up: the bus first, then adapter and miniport.
    EXPECT_EQ(world.log, (std::vector<std::string>{"adapter query D0", "bus query D0", "bus set D0",
                                                   "adapter set D0", "miniport notify D0"}));

    // The adapter may refuse a transition; the bus then never sees it.
    world.queryPowerResult = STATUS_UNSUCCESSFUL;
    world.log.clear();
    EXPECT_EQ(machine.pnp().SetDevicePower(node, PowerDeviceD2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(world.log, (std::vector<std::string>{"adapter query D2"}));
}

TEST_F(PortClsTest, CapabilitiesGoToTheBusThenToTheAdapter) {
    Arrive();
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    IO_STACK_LOCATION query{};
    query.Parameters.DeviceCapabilities.Capabilities = &caps;
    world.log.clear();
    ASSERT_EQ(machine.pnp().SendPnp(node, IRP_MN_QUERY_CAPABILITIES, &query), STATUS_SUCCESS);
    EXPECT_EQ(world.log, (std::vector<std::string>{"bus caps", "adapter caps, address 7"}));
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
}

TEST_F(PortClsTest, RemoveReleasesEveryReference) {
    Arrive();
    EXPECT_EQ(world.liveAdapters, 1);
    EXPECT_EQ(world.liveMiniports, 1);
    TestFile filter(u"\\Wave");
    ASSERT_EQ(Create(filter).status, STATUS_SUCCESS);
    ASSERT_EQ(Close(filter).status, STATUS_SUCCESS);
    Depart();

    EXPECT_EQ(world.liveAdapters, 0);
    EXPECT_EQ(world.liveMiniports, 0);
    EXPECT_LT(Where(world.log, "miniport destroyed"), Where(world.log, "adapter destroyed"));
    EXPECT_LT(Where(world.log, "adapter destroyed"), Where(world.log, "bus remove"));
    EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
    EXPECT_EQ(machine.portcls().AdapterDeviceCount(), 0u);
    EXPECT_TRUE(machine.portcls().Subdevices().empty());
    ASSERT_EQ(world.events.size(), 2u);
    EXPECT_EQ(world.events[1].kind, sim::SubdeviceEvent::Kind::Unregistered);
    EXPECT_EQ(world.events[1].subdevice.interfaces, world.events[0].subdevice.interfaces);
}

TEST_F(PortClsTest, SurpriseRemovalWithdrawsTheSubdeviceAtOnce) {
    Arrive();
    ASSERT_EQ(machine.pnp().SendPnp(node, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(EnabledInterfaces().empty());
    ASSERT_EQ(world.events.size(), 2u);
    EXPECT_EQ(world.events[1].kind, sim::SubdeviceEvent::Kind::Unregistered);
    TestFile filter(u"\\Wave");
    EXPECT_EQ(Create(filter).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(world.liveMiniports, 1);  // held until the removal

    Depart();
    EXPECT_EQ(world.events.size(), 2u);  // no second withdrawal
    EXPECT_EQ(world.liveAdapters, 0);
    EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(PortClsTest, OpenFiltersVetoAnOrderlyRemoval) {
    Arrive();
    TestFile filter(u"\\Wave");
    ASSERT_EQ(Create(filter).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.pnp().SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    ASSERT_EQ(Close(filter).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.pnp().SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
}

using PortClsDeathTest = PortClsTest;

TEST_F(PortClsDeathTest, RemovalWithAFilterStillOpenStops) {
    EXPECT_DEATH(
        {
            Arrive();
            TestFile filter(u"\\Wave");
            Create(filter);
            machine.pnp().SendPnp(node, IRP_MN_REMOVE_DEVICE);
        },
        "VERIFIER STOP: IRP_MN_REMOVE_DEVICE .* with 1 filter handles still open");
}

}  // namespace
}  // namespace portcls_test

// The filter description built from the descriptor model: pins and their
// data ranges, nodes and their types, the two chains and their connections,
// the build's failures and its pool, the lookups the miniport makes, and
// descriptions of real devices checked against chains written down by hand
// from their dumps.
#include "filter_fixture.h"

#include "driver/core/usb_trace.h"
#include "sim/portcls/description.h"

#include <algorithm>
#include <cstring>

namespace {

using usb::BusSpeed;

usb::Entity* FindEntity(usb::Description& d, std::uint8_t id) {
    for (usb::Entity& e : d.entities)
        if (e.id == id) return &e;
    return nullptr;
}

using FilterDescriptionTest = FilterTest;

// The maker's device, high speed, 44100 Hz:
//   entities   clocks, IT 1 (USB streaming), FU 2 <- 1, OT 3 (speaker) <- 2,
//              IT 4 (microphone), FU 5 <- 4, OT 6 (USB streaming) <- 5
//   pins       0 IT 1 render streaming, 1 OT 3 bridge, 2 IT 4 bridge,
//              3 OT 6 capture streaming
//   nodes      0 ADC, 1 DAC, 2 mute FU 2, 3 volume FU 2, 4 mute FU 5,
//              5 volume FU 5
TEST_F(FilterDescriptionTest, MakerDeviceHasFourPinsSixNodesAndTwoChains) {
    Plug(usb::MakerDevice());
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::DescriptionFault(description.Filter), nullptr);
    const PCFILTER_DESCRIPTOR& f = description.Filter;
    EXPECT_EQ(f.PinSize, sizeof(FilterPin));
    EXPECT_EQ(f.NodeSize, sizeof(FilterNode));
    ASSERT_EQ(f.PinCount, 4u);
    ASSERT_EQ(f.NodeCount, 6u);

    EXPECT_EQ(Capture(), "pin 2, ADC 0, VOLUME 5, MUTE 4, pin 3");
    EXPECT_EQ(Render(), "pin 0, VOLUME 3, MUTE 2, DAC 1, pin 1");
    EXPECT_EQ(ConnectionsText(), "F2>0.1 0.0>5.1 5.0>4.1 4.0>F3 F0>3.1 3.0>2.1 2.0>1.1 1.0>F1");

    struct PinCase {
        UCHAR terminal;
        KSPIN_DATAFLOW flow;
        KSPIN_COMMUNICATION communication;
        const GUID* category;
        ULONG maxInstances;
    };
    const PinCase pins[] = {
        {usb::kMakerPlaybackInputTerminal, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1},
        {usb::kMakerPlaybackOutputTerminal, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, &KSNODETYPE_SPEAKER, 0},
        {usb::kMakerCaptureInputTerminal, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, &KSNODETYPE_MICROPHONE, 0},
        {usb::kMakerCaptureOutputTerminal, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1},
    };
    for (ULONG n = 0; n < 4; ++n) {
        SCOPED_TRACE(n);
        const FilterPin& pin = Pin(n);
        const KSPIN_DESCRIPTOR& ks = pin.Descriptor.KsPinDescriptor;
        EXPECT_EQ(pin.Element.Entity, model->FindEntity(pins[n].terminal));
        EXPECT_EQ(pin.Element.Number, n);
        EXPECT_EQ(ks.DataFlow, pins[n].flow);
        EXPECT_EQ(ks.Communication, pins[n].communication);
        ASSERT_NE(ks.Category, nullptr);
        EXPECT_EQ(*ks.Category, *pins[n].category);
        EXPECT_EQ(pin.Descriptor.MaxGlobalInstanceCount, pins[n].maxInstances);
        EXPECT_EQ(pin.Descriptor.MaxFilterInstanceCount, pins[n].maxInstances);
        EXPECT_EQ(pin.Descriptor.MinFilterInstanceCount, 0u);
        EXPECT_EQ(pin.Descriptor.AutomationTable, nullptr);
        EXPECT_EQ(ks.InterfacesCount + ks.MediumsCount, 0u);
        EXPECT_EQ(ks.Name, nullptr);
        if (pins[n].communication == KSPIN_COMMUNICATION_SINK) {
            EXPECT_EQ(PinFormats(n), "2ch/16/44100 2ch/24/44100 2ch/32/44100");
        } else {
            ASSERT_EQ(ks.DataRangesCount, 1u);
            const KSDATARANGE& bridge = *ks.DataRanges[0];
            EXPECT_EQ(bridge.FormatSize, 64u);
            EXPECT_EQ(bridge.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
            EXPECT_EQ(bridge.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
            EXPECT_EQ(bridge.Specifier, KSDATAFORMAT_SPECIFIER_NONE);
        }
    }

    // Mute and volume nodes carry one property each, served by the
    // miniport's handler; converters stand for no entity and have none.
    struct NodeCase {
        const GUID* type;
        UCHAR unit;  // 0: none
        ULONG property;
    };
    const NodeCase nodes[] = {
        {&KSNODETYPE_ADC, 0, 0},
        {&KSNODETYPE_DAC, 0, 0},
        {&KSNODETYPE_MUTE, usb::kMakerPlaybackFeatureUnit, KSPROPERTY_AUDIO_MUTE},
        {&KSNODETYPE_VOLUME, usb::kMakerPlaybackFeatureUnit, KSPROPERTY_AUDIO_VOLUMELEVEL},
        {&KSNODETYPE_MUTE, usb::kMakerCaptureFeatureUnit, KSPROPERTY_AUDIO_MUTE},
        {&KSNODETYPE_VOLUME, usb::kMakerCaptureFeatureUnit, KSPROPERTY_AUDIO_VOLUMELEVEL},
    };
    for (ULONG n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        const FilterNode& node = Node(n);
        EXPECT_EQ(*node.Descriptor.Type, *nodes[n].type);
        EXPECT_EQ(node.Descriptor.Flags, 0u);
        EXPECT_EQ(node.Descriptor.Name, nullptr);
        EXPECT_EQ(node.Element.Number, n);
        EXPECT_EQ(node.Element.Entity, nodes[n].unit != 0 ? model->FindEntity(nodes[n].unit) : nullptr);
        EXPECT_EQ(FilterNodeFeatureUnit(&description, n), node.Element.Entity);
        const PCAUTOMATION_TABLE* table = node.Descriptor.AutomationTable;
        if (nodes[n].property == 0) {
            EXPECT_EQ(table, nullptr);
            continue;
        }
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->PropertyCount, 1u);
        EXPECT_EQ(table->MethodCount + table->EventCount, 0u);
        const PCPROPERTY_ITEM& item = table->Properties[0];
        EXPECT_EQ(*item.Set, KSPROPSETID_Audio);
        EXPECT_EQ(item.Id, nodes[n].property);
        EXPECT_EQ(item.Flags, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT);
        EXPECT_EQ(item.Handler, &TestNodeHandler);
    }
    EXPECT_EQ(FilterNodeFeatureUnit(&description, 6), nullptr);
    EXPECT_EQ(FilterNodeFeatureUnit(nullptr, 2), nullptr);

    bool capture = false;
    EXPECT_TRUE(IsStreamingPin(description, 0, &capture));
    EXPECT_FALSE(capture);
    EXPECT_TRUE(IsStreamingPin(description, 3, &capture));
    EXPECT_TRUE(capture);
    EXPECT_FALSE(IsStreamingPin(description, 1));
    EXPECT_FALSE(IsStreamingPin(description, 4));
}

TEST_F(FilterDescriptionTest, StreamingPinsOfferThePinTableEntriesAtTheCurrentRate) {
    struct Case {
        BusSpeed speed;
        ULONG rate;
        const char* formats;
    };
    for (const Case c : {Case{BusSpeed::High, 44100, "2ch/16/44100 2ch/24/44100 2ch/32/44100"},
                         Case{BusSpeed::High, 192000, "2ch/16/192000 2ch/24/192000 2ch/32/192000"},
                         Case{BusSpeed::Super, 96000, "2ch/16/96000 2ch/24/96000 2ch/32/96000"},
                         Case{BusSpeed::Full, 44100, "2ch/16/44100 2ch/24/44100 2ch/32/44100"}}) {
        SCOPED_TRACE(testing::Message() << usb::BusSpeedName(c.speed) << " " << c.rate);
        Replug(usb::MakerDevice({.speed = c.speed}));
        ASSERT_EQ(Build(c.rate), STATUS_SUCCESS);
        EXPECT_EQ(PinFormats(0), c.formats);
        EXPECT_EQ(PinFormats(3), c.formats);
    }
}

TEST_F(FilterDescriptionTest, NoPinFormatsAtTheRateFailsTheBuild) {
    // The full-speed pin table holds 44100 Hz only.
    Plug(usb::MakerDevice({.speed = BusSpeed::Full}));
    const FilterDescription zero{};
    for (ULONG rate : {48000u, 32000u}) {
        EXPECT_EQ(Build(rate), STATUS_UNSUCCESSFUL) << rate;
        EXPECT_EQ(std::memcmp(&description, &zero, sizeof(zero)), 0);
        EXPECT_EQ(DescriptionBlocks(), 0u);
    }
    PinRangeList list{};
    ASSERT_EQ(BuildPinRanges(*model->PlaybackInterface, model->BusSpeed(), 48000, &list), STATUS_SUCCESS);
    EXPECT_EQ(list.Count, 0u);
    ASSERT_EQ(BuildPinRanges(*model->PlaybackInterface, model->BusSpeed(), 44100, &list), STATUS_SUCCESS);
    EXPECT_EQ(list.Count, 3u);
    // Rebuilding replaces the old list.
    ASSERT_EQ(BuildPinRanges(*model->PlaybackInterface, model->BusSpeed(), 44100, &list), STATUS_SUCCESS);
    EXPECT_EQ(DescriptionBlocks(), 1u);
    FreePinRanges(&list);
}

TEST_F(FilterDescriptionTest, AStreamingTerminalWithoutItsInterfaceFailsTheBuild) {
    // The capture streaming interface is gone; its USB-streaming output
    // terminal is still described.
    usb::Description d = usb::MakerDevice();
    d.streaming.pop_back();
    Plug(d);
    ASSERT_EQ(model->CaptureInterface, nullptr);
    EXPECT_EQ(Build(44100), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(description.Filter.PinCount, 0u);
}

// One row per device shape: the chains written down from its entities.
TEST_F(FilterDescriptionTest, ChainsOfTheProfiles) {
    struct Case {
        const char* name;
        usb::Description device;
        ULONG rate;
        const char* nodeTypes;  // in node order
        const char* capture;
        const char* render;
    };
    // IT 1 -> FU 7 -> FU 2 -> OT 3: the second unit's nodes go right after
    // the first node of FU 7, its volume node.
    usb::Description twoUnits = usb::GenericUac2Device({.capture = false});
    FindEntity(twoUnits, 2)->sources = {7};
    twoUnits.entities.insert(twoUnits.entities.begin() + 2,
                             usb::FeatureUnit(7, 1, 2, usb::Uac2MuteVolume(USB_AUDIO20_CONTROL_READ_WRITE),
                                              usb::Uac2MuteVolume(USB_AUDIO20_CONTROL_READ_WRITE)));
    // A second input-terminal bridge (line in) that feeds a monitor output:
    // capture reads line-in bridge last, so FU 8 has no source to follow and
    // stands in no chain; the ADC follows the first input bridge only.
    usb::Description monitor = usb::GenericUac2Device();
    const std::uint32_t muteVolume = usb::Uac2MuteVolume(USB_AUDIO20_CONTROL_READ_WRITE);
    monitor.entities.push_back(usb::InputTerminal(7, USB_AUDIO_TERMINAL_EXTERNAL_LINE, 2, 0x20));
    monitor.entities.push_back(usb::FeatureUnit(8, 7, 2, muteVolume, muteVolume));
    monitor.entities.push_back(usb::OutputTerminal(9, USB_AUDIO_TERMINAL_SPEAKER, 8, 0x20));
    Case cases[] = {
        {"render only", usb::MakerDevice({.capture = false}), 44100, "DAC MUTE VOLUME", "",
         "pin 0, VOLUME 2, MUTE 1, DAC 0, pin 1"},
        {"capture only", usb::MakerDevice({.captureInterface = 1, .playback = false}), 44100, "ADC MUTE VOLUME",
         "pin 0, ADC 0, VOLUME 2, MUTE 1, pin 1", ""},
        {"generic 2.0", usb::GenericUac2Device(), 48000, "ADC DAC MUTE VOLUME MUTE VOLUME",
         "pin 2, ADC 0, VOLUME 5, MUTE 4, pin 3", "pin 0, VOLUME 3, MUTE 2, DAC 1, pin 1"},
        // 1.0: every non-terminal is a unit. The processing unit names no
        // source, so its node, and the nodes of the unit it feeds, stand in
        // no chain.
        {"1.0 with a processing unit", usb::GenericUac1Device({.processingUnit = true}), 44100,
         "ADC DAC DEV_SPECIFIC MUTE VOLUME MUTE VOLUME", "pin 2, ADC 0, VOLUME 6, MUTE 5, pin 3",
         "pin 0, DAC 1, pin 1"},
        {"a monitor path", monitor, 48000, "ADC DAC MUTE VOLUME MUTE VOLUME MUTE VOLUME",
         "pin 2, ADC 0, VOLUME 5, MUTE 4, pin 3, pin 4", "pin 0, VOLUME 3, MUTE 2, DAC 1, pin 1, pin 5"},
        {"two feature units in series", twoUnits, 48000, "DAC MUTE VOLUME MUTE VOLUME", "",
         "pin 0, VOLUME 2, VOLUME 4, MUTE 3, MUTE 1, DAC 0, pin 1"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Replug(c.device);
        ASSERT_EQ(Build(c.rate), STATUS_SUCCESS);
        EXPECT_EQ(sim::portcls::DescriptionFault(description.Filter), nullptr);
        std::string types;
        for (ULONG n = 0; n < description.Filter.NodeCount; ++n)
            types += std::string(types.empty() ? "" : " ") + NodeTypeName(Node(n).Descriptor.Type);
        EXPECT_EQ(types, c.nodeTypes);
        EXPECT_EQ(Capture(), c.capture);
        EXPECT_EQ(Render(), c.render);
        // One connection per pair of neighbours; an empty chain has none.
        const auto length = [](const FilterElement* e) {
            ULONG n = 0;
            for (; e != nullptr; e = e->Next) ++n;
            return n;
        };
        const ULONG expected = std::max(length(description.CaptureChain), 1u) - 1 +
                               std::max(length(description.RenderChain), 1u) - 1;
        EXPECT_EQ(description.Filter.ConnectionCount, expected);
    }
}

TEST_F(FilterDescriptionTest, FeatureUnitNodesFollowItsReadableControls) {
    // Master: mute 0b10 (not readable), volume r/w, bass read-only, treble,
    // AGC, loudness, input gain and overflow. Channels: mid only. Bass,
    // treble and mid make one tone node.
    const auto bits = [](ULONG control, ULONG access) { return access << (2 * control); };
    const std::uint32_t master = bits(0, 2) | bits(1, 3) | bits(2, 1) | bits(4, 3) | bits(6, 1) | bits(9, 1) |
                                 bits(10, 3) | bits(14, 1);
    usb::Description d = usb::GenericUac2Device({.capture = false});
    *FindEntity(d, 2) = usb::FeatureUnit(2, 1, 2, master, bits(3, 3));
    Plug(d);
    ASSERT_EQ(Build(48000), STATUS_SUCCESS);
    std::string types;
    for (ULONG n = 0; n < description.Filter.NodeCount; ++n)
        types += std::string(types.empty() ? "" : " ") + NodeTypeName(Node(n).Descriptor.Type);
    EXPECT_EQ(types, "DAC VOLUME TONE AGC LOUDNESS DEV_SPECIFIC DEV_SPECIFIC");
    // Only the volume node carries automation.
    for (ULONG n = 0; n < description.Filter.NodeCount; ++n)
        EXPECT_EQ(Node(n).Descriptor.AutomationTable != nullptr, n == 1) << n;
    EXPECT_EQ(Render(), "pin 0, DEV_SPECIFIC 6, DEV_SPECIFIC 5, LOUDNESS 4, AGC 3, TONE 2, VOLUME 1, DAC 0, pin 1");
}

// NUX MG-300 (tests/fixtures/usb/nux_mg300_uac2.hex), written down from the
// dump: entities CS 41, CSel 40, IT 2 (USB streaming), FU 10 <- 2 (mute and
// volume r/w), OT 20 (speaker) <- 10, IT 1 (microphone), OT 22 (USB
// streaming) <- 2. Pins: 0 IT 2, 1 OT 20, 2 IT 1, 3 OT 22. Nodes: 0 ADC,
// 1 DAC, 2 mute, 3 volume. The capture chain is the microphone bridge and
// the capture pin; the feature unit follows IT 2, which is in the render
// chain.
TEST_F(FilterDescriptionTest, NuxMg300DumpMatchesItsChainsByHand) {
    PlugDump(std::string(OVU_USB_FIXTURES) + "/nux_mg300_uac2.hex");
    ASSERT_EQ(Build(48000), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::DescriptionFault(description.Filter), nullptr);
    ASSERT_EQ(description.Filter.PinCount, 4u);
    EXPECT_EQ(Pin(0).Element.Entity->Id(), 2);
    EXPECT_EQ(Pin(1).Element.Entity->Id(), 20);
    EXPECT_EQ(Pin(2).Element.Entity->Id(), 1);
    EXPECT_EQ(Pin(3).Element.Entity->Id(), 22);
    EXPECT_EQ(*Pin(1).Descriptor.KsPinDescriptor.Category, KSNODETYPE_SPEAKER);
    EXPECT_EQ(*Pin(2).Descriptor.KsPinDescriptor.Category, KSNODETYPE_MICROPHONE);
    EXPECT_EQ(Capture(), "pin 2, ADC 0, pin 3");
    EXPECT_EQ(Render(), "pin 0, VOLUME 3, MUTE 2, DAC 1, pin 1");
    EXPECT_EQ(ConnectionsText(), "F2>0.1 0.0>F3 F0>3.1 3.0>2.1 2.0>1.1 1.0>F1");
    EXPECT_EQ(PinFormats(0), "2ch/16/48000 2ch/24/48000 2ch/32/48000");
    EXPECT_EQ(PinFormats(3), "2ch/16/48000 2ch/24/48000 2ch/32/48000");
}

// Fosi Audio DS2 (fixtures/fosi_ds2_uac2.hex), written down from the dump:
// entities CS 1, IT 3 (USB streaming), OT 4 (headphones) <- 10, FU 10 <- 3
// (master mute, channel volume). Pins: 0 IT 3, 1 OT 4. Nodes: 0 DAC,
// 1 mute, 2 volume. No capture path: no ADC, no capture connection.
TEST_F(FilterDescriptionTest, FosiDs2DumpMatchesItsChainsByHand) {
    PlugDump(std::string(OVU_FILTER_FIXTURES) + "/fosi_ds2_uac2.hex");
    ASSERT_EQ(model->ConfigurationLength(), 336u);
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    EXPECT_EQ(sim::portcls::DescriptionFault(description.Filter), nullptr);
    ASSERT_EQ(description.Filter.PinCount, 2u);
    EXPECT_EQ(Pin(0).Element.Entity->Id(), 3);
    EXPECT_EQ(Pin(1).Element.Entity->Id(), 4);
    EXPECT_EQ(*Pin(1).Descriptor.KsPinDescriptor.Category, KSNODETYPE_HEADPHONES);
    EXPECT_EQ(Capture(), "");
    EXPECT_EQ(Render(), "pin 0, VOLUME 2, MUTE 1, DAC 0, pin 1");
    EXPECT_EQ(ConnectionsText(), "F0>2.1 2.0>1.1 1.0>0.1 0.0>F1");
    EXPECT_EQ(PinFormats(0), "2ch/16/44100 2ch/24/44100 2ch/32/44100");
    EXPECT_EQ(FilterNodeFeatureUnit(&description, 2), model->FindEntity(10));
}

TEST_F(FilterDescriptionTest, EveryBlockGoesBackAndAFailedBuildLeavesNothing) {
    Plug(usb::MakerDevice());
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    // Pins, nodes, connections and the two range lists; one range copy per
    // streaming pin.
    EXPECT_EQ(DatrBlocks(), 2u);
    EXPECT_EQ(DescriptionBlocks(), 7u);
    // Building again over a built description frees the old one first.
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    EXPECT_EQ(DescriptionBlocks(), 7u);
    FreeFilterDescription(&description);
    EXPECT_EQ(DescriptionBlocks(), 0u);
    EXPECT_EQ(description.Filter.PinCount + description.Filter.NodeCount + description.Filter.ConnectionCount, 0u);

    // Every allocation of the build failing in turn.
    const FilterDescription zero{};
    for (ULONG tag : {kUsbPoolTag, kFilterRangePoolTag}) {
        for (unsigned n = 1;; ++n) {
            SCOPED_TRACE(sim::Pool::TagText(tag) + " #" + std::to_string(n));
            machine.kernel().pool().FailNthAllocation(tag, n);
            const NTSTATUS status = Build(44100);
            machine.kernel().pool().ClearFailures();
            if (NT_SUCCESS(status)) break;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(std::memcmp(&description, &zero, sizeof(zero)), 0);
            EXPECT_EQ(DescriptionBlocks(), 0u);
            ASSERT_LT(n, 20u);
        }
        FreeFilterDescription(&description);
    }
}

TEST_F(FilterDescriptionTest, RangeCheckOfARequestedFormat) {
    Plug(usb::MakerDevice());
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    struct Case {
        ULONG channels, minBits, maxBits, minRate, maxRate;
        ULONG matchedBits;  // 0: STATUS_NO_MATCH
    };
    for (bool capture : {false, true}) {
        for (const Case c : {Case{2, 16, 32, 44100, 44100, 16}, Case{2, 24, 32, 8000, 192000, 24},
                             Case{2, 32, 32, 44100, 48000, 32},
                             Case{1, 16, 32, 44100, 44100, 0},   // the pins are stereo
                             Case{4, 16, 32, 44100, 44100, 0},
                             Case{2, 17, 23, 44100, 44100, 0},   // no depth inside
                             Case{2, 16, 32, 48000, 96000, 0}}) {  // the pins run at 44100 Hz
            SCOPED_TRACE(testing::Message() << (capture ? "capture " : "render ") << c.channels << "ch "
                                            << c.minBits << "-" << c.maxBits << " " << c.minRate << "-"
                                            << c.maxRate);
            const KSDATARANGE_AUDIO* match = nullptr;
            const NTSTATUS status =
                FindPinRange(description, capture, c.channels, c.minBits, c.maxBits, c.minRate, c.maxRate, &match);
            if (c.matchedBits == 0) {
                EXPECT_EQ(status, STATUS_NO_MATCH);
            } else {
                ASSERT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(match->MinimumBitsPerSample, c.matchedBits);
            }
        }
    }
}

TEST_F(FilterDescriptionTest, TheDumpNamesEveryChainElement) {
    ASSERT_EQ(TraceRegisterProvider(&g_DriverTrace), STATUS_SUCCESS);
    machine.kernel().tracing().Enable(g_DriverTrace.Name, TRACE_LEVEL_VERBOSE, TRACE_FLAG_FILTER);
    Plug(usb::MakerDevice());
    ASSERT_EQ(Build(44100), STATUS_SUCCESS);
    const std::string text = machine.kernel().tracing().Text();
    TraceUnregisterProvider(&g_DriverTrace);
    EXPECT_NE(text.find("filter: 4 pins, 6 nodes, 8 connections\n"
                        "capture[0]: pin 2 MICROPHONE IT(4)\n"
                        "capture[1]: node 0 ADC\n"
                        "capture[2]: node 5 VOLUME Feature(5)\n"
                        "capture[3]: node 4 MUTE Feature(5)\n"
                        "capture[4]: pin 3 USB streaming OT(6)\n"
                        "render[0]: pin 0 USB streaming IT(1)\n"
                        "render[1]: node 3 VOLUME Feature(2)\n"
                        "render[2]: node 2 MUTE Feature(2)\n"
                        "render[3]: node 1 DAC\n"
                        "render[4]: pin 1 SPEAKER OT(3)\n"),
              std::string::npos)
        << text;
}

TEST(FilterNodeTypes, EveryTerminalTypeOfTheTableInCodeOrder) {
    struct Row {
        USHORT first, last;
        const char* firstName;
        const char* lastName;
    };
    for (const Row r : {Row{0x0201, 0x0206, "MICROPHONE", "PROCESSING_MICROPHONE_ARRAY"},
                        Row{0x0301, 0x0307, "SPEAKER", "LOW_FREQUENCY_EFFECTS_SPEAKER"},
                        Row{0x0401, 0x0405, "HANDSET", "ECHO_CANCELING_SPEAKERPHONE"},
                        Row{0x0501, 0x0503, "PHONE_LINE", "DOWN_LINE_PHONE"},
                        Row{0x0601, 0x0607, "ANALOG_CONNECTOR", "1394_DV_STREAM_SOUNDTRACK"},
                        Row{0x0701, 0x0713, "LEVEL_CALIBRATION_NOISE_SOURCE", "SYNTHESIZER"}}) {
        for (USHORT code = r.first; code <= r.last; ++code) {
            SCOPED_TRACE(testing::Message() << std::hex << code);
            const GUID* type = TerminalTypeNodeType(code);
            ASSERT_NE(type, nullptr);
            // The published terminal node types are the USB terminal GUID
            // plus the code, except VCR_AUDIO, whose published value repeats
            // PHONOGRAPH's.
            EXPECT_EQ(*type, code == 0x0709 ? KSNODETYPE_VCR_AUDIO : UsbTerminalNodeType(code));
        }
        EXPECT_STREQ(TerminalTypeName(r.first), r.firstName);
        EXPECT_STREQ(TerminalTypeName(r.last), r.lastName);
        EXPECT_STREQ(NodeTypeName(TerminalTypeNodeType(r.last)), r.lastName);
        EXPECT_EQ(TerminalTypeNodeType(static_cast<USHORT>(r.first - 1)), nullptr);
        EXPECT_EQ(TerminalTypeNodeType(static_cast<USHORT>(r.last + 1)), nullptr);
    }
    EXPECT_STREQ(TerminalTypeName(0x0709), "VCR_AUDIO");
    EXPECT_STREQ(TerminalTypeName(USB_AUDIO_TERMINAL_USB_STREAMING), "USB streaming");
    EXPECT_EQ(TerminalTypeNodeType(USB_AUDIO_TERMINAL_USB_STREAMING), nullptr);
    EXPECT_STREQ(TerminalTypeName(0x0100), "Unknown");
    EXPECT_STREQ(NodeTypeName(&KSCATEGORY_AUDIO), "Unknown");
    EXPECT_STREQ(NodeTypeName(nullptr), "Unknown");
}

}  // namespace

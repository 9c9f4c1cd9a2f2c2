// Start-up rate and clock-source choice, rate and clock-source changes, the
// default endpoint format and the sample-rate property, on the maker's
// device with the driver loaded through PnP.
#include "rate_fixture.h"

#include "driver/core/device_registry.h"
#include "driver/core/sample_rate_property.h"
#include "driver/stream/asio_file_context.h"
#include "driver/stream/rate_control.h"
#include "platform/base/ntstatus.h"
#include "platform/ks/ks.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"

namespace rate_test {
namespace {

using sim::audio::Flow;
using sim::usb::BusSpeed;
using sim::usb::HostController;

sim::usb::MakerDeviceOptions AtSpeed(BusSpeed speed) {
    sim::usb::MakerDeviceOptions options;
    options.speed = speed;
    return options;
}

ULONG ClockSourceProperty(sim::usb::UsbPort* port) {
    ULONG id = 0;
    EXPECT_EQ(DeviceRegistry::ReadClockSource(HostController::Pdo(port), &id), STATUS_SUCCESS);
    return id;
}

TEST_F(RateTest, AFirstStartWritesInitializedAndRunsAtTheLowestRate) {
    auto* port = PlugMaker();
    ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_EQ(machine.registry().GetDword(HardwareKey(port), kInitializedValue), 0u);
    EXPECT_EQ(Rate(port), 44100u);

    // The clock-source list is published, the first clock selected (the
    // selector's pin 1) and recorded.
    UCHAR ids[8] = {};
    ULONG size = 0;
    DEVPROPTYPE type = 0;
    ASSERT_EQ(IoGetDevicePropertyData(HostController::Pdo(port), &DEVPKEY_Uac2ClockSourceList, LOCALE_NEUTRAL, 0,
                                      sizeof(ids), ids, &size, &type),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(ids, ids + size), (std::vector<UCHAR>{0x25, 0x26, 0x27, 0x28}));
    EXPECT_EQ(ClockSourceProperty(port), 0x25u);
    EXPECT_EQ(SelectorPins(port), std::vector<int>{1});
    EXPECT_EQ(Adapter(port).Engine().SelectedClockSource(), 0x25u);

    // The records appeared with the subdevice; the default format is theirs,
    // at the device's rate.
    EXPECT_EQ(Miniports().registered, 1);
    ULONG channels = 0, bits = 0, rate = 0;
    ASSERT_EQ(Adapter(port).GetDefaultFormat(false, &channels, &bits, &rate), STATUS_SUCCESS);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(bits, 24u);
    EXPECT_EQ(rate, 44100u);
    sim::audio::EndpointFormat format;
    format.channels = 8;
    format.bits = 16;
    format.rate = 96000;
    sim::audio::WriteDeviceFormat(machine.registry(), Flow::Capture, Endpoint(port, Flow::Capture), format);
    ASSERT_EQ(Adapter(port).GetDefaultFormat(true, &channels, &bits, &rate), STATUS_SUCCESS);
    EXPECT_EQ(channels, 8u);
    EXPECT_EQ(bits, 16u);
    EXPECT_EQ(rate, 44100u);  // the device's rate, not the record's
    EXPECT_EQ(Adapter(port).GetDefaultFormat(true, &channels, nullptr, &rate), STATUS_INVALID_PARAMETER);
}

TEST_F(RateTest, AFullSpeedDeviceStartsAtItsOnlyRateWithoutMarkingItself) {
    auto* port = PlugMaker(AtSpeed(BusSpeed::Full));
    ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_FALSE(machine.registry().GetDword(HardwareKey(port), kInitializedValue));
    EXPECT_EQ(Rate(port), 44100u);
    ULONG lowest = 0, highest = 0;
    ASSERT_EQ(Adapter(port).GetRateLimits(&lowest, &highest), STATUS_SUCCESS);
    EXPECT_EQ(lowest, 44100u);
    EXPECT_EQ(highest, 44100u);
    EXPECT_EQ(Adapter(port).SetSampleRate(96000, FALSE), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Adapter(port).SetSampleRate(44100, FALSE), STATUS_SUCCESS);
}

TEST_F(RateTest, ALaterStartTakesTheRateAndClockBackFromTheRecords) {
    auto* port = PlugMaker();
    ASSERT_EQ(Adapter(port).SetClockSource(0x27, FALSE), STATUS_SUCCESS);
    machine.registry().SetDword(HardwareKey(port), kDumpCaptureValue, kDumpCaptureHex);
    const std::u16string render = Endpoint(port, Flow::Render);
    const std::u16string capture = Endpoint(port, Flow::Capture);
    auto setRate = [&](Flow flow, const std::u16string& endpoint, ULONG rate) {
        sim::audio::EndpointFormat format;
        format.rate = rate;
        ASSERT_TRUE(sim::audio::WriteDeviceFormat(machine.registry(), flow, endpoint, format));
    };
    setRate(Flow::Render, render, 96000);  // as the service leaves it after a change
    setRate(Flow::Capture, capture, 48000);

    Device(port).ClearControlLog();
    Restart(port);
    ASSERT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_EQ(Rate(port), 96000u);  // the render record wins
    EXPECT_EQ(Adapter(port).DumpCaptureMode(), kDumpCaptureHex);
    EXPECT_EQ(ClockSourceProperty(port), 0x27u);
    EXPECT_EQ(Adapter(port).Engine().SelectedClockSource(), 0x27u);
    EXPECT_EQ(SelectorPins(port), std::vector<int>{3});  // the restarted selector was told
    EXPECT_EQ(machine.audioEndpoints().Created(), 2u);  // the same records

    // Without a render record the capture one tells; a stored rate the bus
    // cannot carry is not taken.
    machine.registry().DeleteKey(sim::audio::EndpointKeyPath(Flow::Render, render));
    Restart(port);
    EXPECT_EQ(Rate(port), 48000u);
    setRate(Flow::Capture, capture, 32000);
    machine.registry().DeleteKey(sim::audio::EndpointKeyPath(Flow::Render, Endpoint(port, Flow::Render)));
    Restart(port);
    EXPECT_EQ(Rate(port), 44100u);
    EXPECT_EQ(machine.registry().GetDword(HardwareKey(port), kInitializedValue), 0u);
}

TEST_F(RateTest, TheHighSpeedRatesAreAcceptedWhenIdle) {
    auto* port = PlugMaker();
    const std::u16string render = Endpoint(port, Flow::Render);
    const std::u16string capture = Endpoint(port, Flow::Capture);
    const struct {
        ULONG rate;
        NTSTATUS status;
    } cases[] = {
        {44100, STATUS_SUCCESS},  // the current rate: nothing happens
        {48000, STATUS_SUCCESS},  {88200, STATUS_SUCCESS},  {96000, STATUS_SUCCESS},
        {176400, STATUS_SUCCESS}, {192000, STATUS_SUCCESS}, {32000, STATUS_INVALID_DEVICE_REQUEST},
        {44100, STATUS_SUCCESS},
    };
    ULONG expected = 44100;
    int registrations = 1;
    for (const auto& c : cases) {
        // The cached values are back before each change (the engine caches).
        for (auto [flow, id] : {std::pair{Flow::Render, render}, std::pair{Flow::Capture, capture}})
            machine.registry().SetDword(sim::audio::PropertiesKeyPath(flow, id), kEndpointCachedValue, 1);
        const bool changes = c.status == STATUS_SUCCESS && c.rate != expected;
        EXPECT_EQ(Adapter(port).SetSampleRate(c.rate, FALSE), c.status) << c.rate;
        if (changes) {
            expected = c.rate;
            ++registrations;
        }
        EXPECT_EQ(Rate(port), expected) << c.rate;
        EXPECT_EQ(Miniports().registered, registrations) << c.rate;
        EXPECT_EQ(Miniports().live, 1) << c.rate;  // the old miniport went with its subdevice
        EXPECT_EQ(sim::audio::HasCachedValue(machine.registry(), Flow::Render, render), !changes) << c.rate;
        EXPECT_EQ(sim::audio::HasCachedValue(machine.registry(), Flow::Capture, capture), !changes) << c.rate;
    }
    // One "Wave" filter, on the same records.
    const auto subdevices = machine.portcls().Subdevices();
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_EQ(subdevices[0].name, u"Wave");
    EXPECT_EQ(machine.audioEndpoints().Created(), 2u);
    EXPECT_EQ(sim::audio::DeviceState(machine.registry(), Flow::Render, render), DEVICE_STATE_ACTIVE);

    // A missing cached value counts as deleted.
    EXPECT_EQ(Adapter(port).SetSampleRate(48000, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Adapter(port).SetSampleRate(96000, FALSE), STATUS_SUCCESS);
    machine.usb().Unplug(port);
    EXPECT_EQ(Miniports().live, 0);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

TEST_F(RateTest, ARateChangeNeedsARegisteredMiniportAndBothDirectionsOnOneClock) {
    Miniports().registerWithAdapter = false;
    auto* port = PlugMaker();
    EXPECT_EQ(Adapter(port).SetSampleRate(48000, FALSE), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Rate(port), 44100u);

    Miniports().registerWithAdapter = true;
    sim::usb::MakerDeviceOptions playbackOnly;
    playbackOnly.capture = false;
    auto* half = PlugMaker(playbackOnly);
    ASSERT_EQ(HostController::Node(half)->state(), sim::NodeState::Started);
    EXPECT_EQ(Adapter(half).SetSampleRate(48000, FALSE), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RateTest, AnUnreadableEndpointKeyFailsTheStartAndReenumerates) {
    machine.kernel().tracing().Enable("ovuac2audio", TRACE_LEVEL_ERROR, TRACE_FLAG_RATE);
    // Not an absence of records: the whole Capture key is gone.
    machine.registry().DeleteKey(sim::audio::FlowKeyPath(Flow::Capture));
    auto* port = PlugMaker();
    // The driver asked for the re-enumeration (which runs at once, so the
    // failed node is not looked at); once the key is back the device starts.
    machine.registry().CreateKey(sim::audio::FlowKeyPath(Flow::Capture));
    machine.usb().WaitForEnumeration();
    EXPECT_GE(HostController::Enumerations(port), 2u);
    EXPECT_EQ(HostController::Node(port)->state(), sim::NodeState::Started);
    EXPECT_NE(machine.kernel().tracing().Text().find("unreadable (0xc0000034)"), std::string::npos)
        << machine.kernel().tracing().Text();
}

TEST_F(RateTest, ClockSourceChoicesAreCheckedAndOnlyChangedPinsSent) {
    auto* port = PlugMaker();
    AdapterCommon& adapter = Adapter(port);
    for (ULONG id : {0x24u, 0x29u})
        EXPECT_EQ(adapter.SetClockSource(id, FALSE), STATUS_INVALID_PARAMETER) << id;

    Device(port).ClearControlLog();
    EXPECT_EQ(adapter.SetClockSource(0x25, FALSE), STATUS_SUCCESS);  // already selected
    EXPECT_TRUE(SelectorPins(port).empty());
    EXPECT_EQ(adapter.SetClockSource(0x25, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SelectorPins(port), std::vector<int>{1});
    EXPECT_EQ(adapter.SetClockSource(0x26, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(SelectorPins(port), (std::vector<int>{1, 2}));
    EXPECT_EQ(ClockSourceProperty(port), 0x26u);

    // A failed request changes nothing that was stored.
    sim::usb::ControlFault fault;
    fault.request = 1;
    fault.entity = sim::usb::kMakerClockSelector;
    Device(port).FailControlRequests(fault);
    EXPECT_FALSE(NT_SUCCESS(adapter.SetClockSource(0x28, FALSE)));
    Device(port).ClearControlFaults();
    EXPECT_EQ(ClockSourceProperty(port), 0x26u);
    EXPECT_EQ(adapter.Engine().SelectedClockSource(), 0x26u);

    // An id the selector does not offer.
    sim::usb::MakerDeviceOptions two;
    two.clockSourceIds = {0x25, 0x26};
    auto* other = PlugMaker(two);
    EXPECT_EQ(Adapter(other).SetClockSource(0x28, FALSE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Adapter(other).SetClockSource(0x26, FALSE), STATUS_SUCCESS);
}

TEST_F(RateTest, TheSampleRateProperty) {
    auto* port = PlugMaker();
    PCPROPERTY_ITEM item{&KSPROPSETID_DeviceSampleRate, KSPROPERTY_DEVICESAMPLERATE, kSampleRatePropertyFlags,
                         nullptr};
    DeviceSampleRateValue value{};
    PCPROPERTY_REQUEST request{};
    request.PropertyItem = &item;
    request.Verb = KSPROPERTY_TYPE_GET;
    request.Value = &value;

    request.ValueSize = 0;
    EXPECT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(request.ValueSize, 16u);
    request.ValueSize = 12;
    EXPECT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_BUFFER_TOO_SMALL);
    request.ValueSize = 32;
    ASSERT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_SUCCESS);
    EXPECT_EQ(request.ValueSize, 16u);
    EXPECT_EQ(value.currentRate, 44100u);
    EXPECT_EQ(value.lowestRate, 44100u);
    EXPECT_EQ(value.highestRate, 192000u);
    EXPECT_EQ(value.flags, 0u);

    ULONG rate = 88200;
    request.Verb = KSPROPERTY_TYPE_SET;
    request.Value = &rate;
    request.ValueSize = 2;
    EXPECT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_BUFFER_TOO_SMALL);
    request.ValueSize = sizeof(rate);
    EXPECT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_SUCCESS);
    EXPECT_EQ(Rate(port), 88200u);

    item.Id = 4;
    EXPECT_EQ(SampleRateProperty(Adapter(port), &request), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace rate_test

// The control pipe of the virtual device: standard requests, the
// audio-class controls, the request log and control faults.
#include "device_fixture.h"

#include "sim/usb/profile/builder.h"

#include <chrono>

namespace sim::usb::test {
namespace {

using namespace std::chrono_literals;

constexpr UCHAR kClock = 0x25;          // the maker's internal clock
constexpr UCHAR kExternalClock = 0x26;  // read-only frequency
constexpr UCHAR kSelector = kMakerClockSelector;
constexpr UCHAR kFeature = kMakerPlaybackFeatureUnit;

class MakerControl : public ::testing::Test {
protected:
    // A settable real-time clock for the settle time.
    std::chrono::steady_clock::time_point now{};
    DeviceBehaviour Behaviour() {
        DeviceBehaviour b;
        b.clocks.push_back(Clock(kClock, 30ms));
        b.realTimeNow = [this] { return now; };
        return b;
    }
    VirtualDevice device{MakerDevice(), Behaviour()};
};

TEST_F(MakerControl, DescriptorsWholeAndPartial) {
    const DescriptorSet set = BuildDescriptorSet(MakerDevice());
    EXPECT_EQ(Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18)).data, set.device);
    // The driver reads 9 bytes first, then wTotalLength.
    const Reply head = Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9));
    ASSERT_EQ(head.data.size(), 9u);
    const USHORT total = static_cast<USHORT>(head.data[2] | head.data[3] << 8);
    EXPECT_EQ(total, set.configuration.size());
    EXPECT_EQ(Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF)).data, set.configuration);

    const Reply languages = Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 4));
    EXPECT_EQ(languages.data, (std::vector<UCHAR>{4, 3, 0x09, 0x04}));
    const UCHAR serial = set.Device().iSerialNumber;
    const Reply text = Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300 | serial, 0x0409, 255));
    EXPECT_EQ(text.data, *set.String(serial, 0x0409));
    // Absent index, other language, other speed: stall.
    for (const auto& setup : {Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x03EE, 0x0409, 255),
                              Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300 | serial, 0x0407, 255),
                              Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0700, 0, 9)})
        EXPECT_EQ(Get(device, setup).status, USBD_STATUS_STALL_PID);
}

TEST_F(MakerControl, ConfigurationAndInterfaceSelection) {
    EXPECT_EQ(Get(device, Request(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1)).data, std::vector<UCHAR>{0});
    EXPECT_EQ(Set(device, Request(0x01, USB_REQUEST_SET_INTERFACE, 1, 1, 0), {}), USBD_STATUS_STALL_PID);  // unconfigured
    EXPECT_EQ(Set(device, Request(0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0), {}), USBD_STATUS_STALL_PID);
    Configure(device);
    EXPECT_EQ(device.CurrentConfiguration(), UCHAR{1});
    EXPECT_EQ(device.CurrentAlternate(1), UCHAR{0});

    SelectAlt(device, 1, 3);
    EXPECT_EQ(Get(device, Request(0x81, USB_REQUEST_GET_INTERFACE, 0, 1, 1)).data, std::vector<UCHAR>{3});
    EXPECT_EQ(Set(device, Request(0x01, USB_REQUEST_SET_INTERFACE, 4, 1, 0), {}), USBD_STATUS_STALL_PID);
    EXPECT_EQ(Set(device, Request(0x01, USB_REQUEST_SET_INTERFACE, 0, 9, 0), {}), USBD_STATUS_STALL_PID);
    EXPECT_EQ(device.CurrentAlternate(1), UCHAR{3});

    // Unconfiguring removes every data endpoint.
    EXPECT_EQ(Set(device, Request(0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0), {}), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(device.CurrentConfiguration());
    USBD_STATUS status = USBD_STATUS_PENDING;
    UCHAR buffer[512];
    device.SubmitBulk(0x01, buffer, sizeof(buffer), 0, [&](USBD_STATUS s, ULONG) { status = s; });
    EXPECT_EQ(status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(MakerControl, ClockFrequencyCurRangeAndSet) {
    EXPECT_EQ(Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_CUR, 1, 0, kClock, 4)).data, Le32(48000));
    // wNumSubRanges alone, the whole block, and a short read of it.
    EXPECT_EQ(Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_RANGE, 1, 0, kClock, 2)).data, (std::vector<UCHAR>{6, 0}));
    const Reply range = Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_RANGE, 1, 0, kClock, 0x200));
    ASSERT_EQ(range.data.size(), 2u + 12u * 6u);
    EXPECT_EQ(std::vector<UCHAR>(range.data.begin() + 2, range.data.begin() + 14),
              (std::vector<UCHAR>{0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0}));  // 44100, 44100, 0
    const Reply last = Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_RANGE, 1, 0, kClock, 0x200));
    EXPECT_EQ(std::vector<UCHAR>(last.data.end() - 12, last.data.end() - 8), Le32(192000));
    EXPECT_EQ(Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_RANGE, 1, 0, kClock, 14)).data,
              std::vector<UCHAR>(range.data.begin(), range.data.begin() + 14));

    SetClockRate(device, kClock, 96000);
    EXPECT_EQ(Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_CUR, 1, 0, kClock, 4)).data, Le32(96000));
    EXPECT_EQ(device.SampleRate(), 96000u);

    struct Refused {
        const char* what;
        USB_DEFAULT_PIPE_SETUP_PACKET setup;
        std::vector<UCHAR> data;
    };
    const Refused refused[] = {
        {"rate no subrange holds", EntityRequest(false, 1, 1, 0, kClock, 4), Le32(50000)},
        {"read-only frequency", EntityRequest(false, 1, 1, 0, kExternalClock, 4), Le32(44100)},
        {"wrong length", EntityRequest(false, 1, 1, 0, kClock, 2), {0x80, 0xBB}},
        {"nonzero channel", EntityRequest(false, 1, 1, 1, kClock, 4), Le32(44100)},
        {"SET RANGE", EntityRequest(false, 2, 1, 0, kClock, 4), Le32(44100)},
        {"validity is read-only", EntityRequest(false, 1, 2, 0, kClock, 1), {1}},
        {"unknown entity", EntityRequest(false, 1, 1, 0, 0x77, 4), Le32(44100)},
    };
    for (const auto& r : refused) EXPECT_EQ(Set(device, r.setup, r.data), USBD_STATUS_STALL_PID) << r.what;
    EXPECT_EQ(device.ClockFrequency(kClock), 96000u);
}

TEST_F(MakerControl, ClockValiditySettlesInRealTime) {
    const auto valid = [&] { return Get(device, EntityRequest(true, USB_AUDIO20_REQUEST_CUR, 2, 0, kClock, 1)).data; };
    EXPECT_EQ(valid(), std::vector<UCHAR>{1});
    SetClockRate(device, kClock, 44100);
    EXPECT_EQ(valid(), std::vector<UCHAR>{0});
    // The device's own clock stepping does not settle it: only real time does.
    device.AdvanceFrames(1'000'000);
    now += 29ms;
    EXPECT_EQ(valid(), std::vector<UCHAR>{0});
    now += 1ms;
    EXPECT_EQ(valid(), std::vector<UCHAR>{1});
    // Setting the rate it already has is no change.
    SetClockRate(device, kClock, 44100);
    EXPECT_EQ(valid(), std::vector<UCHAR>{1});

    // A longer settle time applies to the next change.
    device.SetClockSettleTime(kClock, 1h);
    SetClockRate(device, kClock, 48000);
    now += 59min;
    EXPECT_EQ(valid(), std::vector<UCHAR>{0});
    now += 1min;
    EXPECT_EQ(valid(), std::vector<UCHAR>{1});

    device.SetClockNeverValid(kClock, true);
    now += 1h;
    EXPECT_EQ(valid(), std::vector<UCHAR>{0});
}

TEST(ClockBehaviourTest, NeverValidFromTheStart) {
    DeviceBehaviour b;
    b.clocks.push_back(Clock(0x20, {}, true));
    GenericUac2Options options;
    options.isochronous = false;
    VirtualDevice device(GenericUac2Device(options), b);
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 2, 0, 0x20, 1)).data, std::vector<UCHAR>{0});
}

TEST_F(MakerControl, ClockSelectorPicksTheStreamingClock) {
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 1, 0, kSelector, 1)).data, std::vector<UCHAR>{1});
    SetClockRate(device, kClock, 96000);
    EXPECT_EQ(device.SampleRate(), 96000u);
    // Pin 2 is the external clock, still at its default rate.
    EXPECT_EQ(Set(device, EntityRequest(false, 1, 1, 0, kSelector, 1), {2}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 1, 0, kSelector, 1)).data, std::vector<UCHAR>{2});
    EXPECT_EQ(device.SampleRate(), 48000u);
    for (UCHAR pin : {UCHAR{0}, UCHAR{5}})
        EXPECT_EQ(Set(device, EntityRequest(false, 1, 1, 0, kSelector, 1), {pin}), USBD_STATUS_STALL_PID) << int{pin};
    EXPECT_EQ(Get(device, EntityRequest(true, 2, 1, 0, kSelector, 2)).status, USBD_STATUS_STALL_PID);  // no RANGE
    EXPECT_EQ(device.SelectorPin(kSelector), UCHAR{2});
}

TEST_F(MakerControl, FeatureUnitMuteAndVolume) {
    // Mute: 1 byte, CUR only.
    EXPECT_EQ(Get(device, EntityRequest(true, 1, USB_AUDIO_FU_MUTE_CONTROL, 0, kFeature, 1)).data, std::vector<UCHAR>{0});
    EXPECT_EQ(Set(device, EntityRequest(false, 1, USB_AUDIO_FU_MUTE_CONTROL, 0, kFeature, 1), {1}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.Mute(kFeature, 0), true);
    EXPECT_EQ(Get(device, EntityRequest(true, 2, USB_AUDIO_FU_MUTE_CONTROL, 0, kFeature, 8)).status, USBD_STATUS_STALL_PID);

    // Volume per channel, signed 1/256 dB; RANGE is one {MIN, MAX, RES}.
    EXPECT_EQ(Get(device, EntityRequest(true, 2, USB_AUDIO_FU_VOLUME_CONTROL, 3, kFeature, 8)).data,
              (std::vector<UCHAR>{1, 0, 0x00, 0x81, 0, 0, 0x00, 0x01}));
    EXPECT_EQ(Set(device, EntityRequest(false, 1, USB_AUDIO_FU_VOLUME_CONTROL, 3, kFeature, 2), {0x00, 0xF6}),
              USBD_STATUS_SUCCESS);  // -10 dB
    EXPECT_EQ(Get(device, EntityRequest(true, 1, USB_AUDIO_FU_VOLUME_CONTROL, 3, kFeature, 2)).data,
              (std::vector<UCHAR>{0x00, 0xF6}));
    EXPECT_EQ(device.Volume(kFeature, 2), SHORT{0});  // other channels untouched
    // Above MAX is clamped, as devices do.
    EXPECT_EQ(Set(device, EntityRequest(false, 1, USB_AUDIO_FU_VOLUME_CONTROL, 3, kFeature, 2), {0x00, 0x10}),
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.Volume(kFeature, 3), SHORT{0});
    // Channel 33 does not exist on a 32-channel unit.
    EXPECT_EQ(Get(device, EntityRequest(true, 1, USB_AUDIO_FU_VOLUME_CONTROL, 33, kFeature, 2)).status,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(Set(device, EntityRequest(false, 1, USB_AUDIO_FU_VOLUME_CONTROL, 3, kFeature, 1), {0}), USBD_STATUS_STALL_PID);
}

TEST(FeatureUnitBehaviourTest, ConfiguredRangeAndInitialState) {
    DeviceBehaviour b;
    FeatureUnitBehaviour unit;
    unit.unitId = kFeature;
    unit.range = {-60 * 256, 6 * 256, 128};
    unit.initialVolume = -20 * 256;
    unit.initialMute = true;
    b.featureUnits.push_back(unit);
    VirtualDevice device(MakerDevice(), b);
    EXPECT_EQ(Get(device, EntityRequest(true, 2, 2, 0, kFeature, 8)).data,
              (std::vector<UCHAR>{1, 0, 0x00, 0xC4, 0x00, 0x06, 0x80, 0x00}));
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 2, 1, kFeature, 2)).data, (std::vector<UCHAR>{0x00, 0xEC}));
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 1, 0, kFeature, 1)).data, std::vector<UCHAR>{1});
}

TEST_F(MakerControl, TerminalConnector) {
    // The capture input terminal declares a readable connector: its cluster.
    EXPECT_EQ(Get(device, EntityRequest(true, 1, USB_AUDIO20_TE_CONNECTOR_CONTROL, 0, kMakerCaptureInputTerminal, 6)).data,
              (std::vector<UCHAR>{32, 0, 0, 0, 0, 0}));
    // The USB streaming terminal has none.
    EXPECT_EQ(Get(device, EntityRequest(true, 1, USB_AUDIO20_TE_CONNECTOR_CONTROL, 0, kMakerCaptureOutputTerminal, 6)).status,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(Set(device, EntityRequest(false, 1, USB_AUDIO20_TE_CONNECTOR_CONTROL, 0, kMakerCaptureInputTerminal, 6),
                  std::vector<UCHAR>(6)),
              USBD_STATUS_STALL_PID);

    DeviceBehaviour unplugged;
    ConnectorBehaviour nothing;
    nothing.terminalId = kMakerPlaybackOutputTerminal;
    nothing.channels = 0;
    unplugged.connectors.push_back(nothing);
    VirtualDevice jackOut(MakerDevice(), unplugged);
    EXPECT_EQ(Get(jackOut, EntityRequest(true, 1, 2, 0, kMakerPlaybackOutputTerminal, 6)).data, std::vector<UCHAR>(6, 0));
}

TEST_F(MakerControl, RequestsOutsideTheDescriptorsStall) {
    const USB_DEFAULT_PIPE_SETUP_PACKET stalls[] = {
        Request(0xA1, 1, 0x0100, 0x0001, 4),        // a streaming interface, not AudioControl
        Request(0xA1, 1, 0x0100, 0x0000, 4),        // entity 0
        Request(0xC0, 1, 0, 0, 4),                  // vendor
        Request(0xA2, 1, 0x0100, 0x0081, 3),        // 2.0 endpoint control
        EntityRequest(true, 1, 3, 0, kClock, 4),         // clock source selector 3
        EntityRequest(true, 1, 4, 0, kFeature, 1),       // feature unit: treble
        EntityRequest(true, 1, 1, 0, 0x40, 4),           // no entity 0x40
    };
    for (const auto& setup : stalls)
        EXPECT_EQ(Get(device, setup).status, USBD_STATUS_STALL_PID)
            << std::hex << int{setup.bmRequestType} << " " << int{setup.bRequest} << " " << setup.wValue << " "
            << setup.wIndex;
}

TEST_F(MakerControl, LogRecordsEveryRequestWithItsData) {
    Get(device, EntityRequest(true, 1, 1, 0, kClock, 4));
    Set(device, EntityRequest(false, 1, 1, 0, kClock, 4), Le32(50000));  // refused
    Set(device, EntityRequest(false, 1, 1, 0, kClock, 4), Le32(88200));
    device.AdvanceFrames(100);
    Get(device, EntityRequest(true, 2, 1, 0, kClock, 2));

    const auto log = device.ControlLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0xA1);
    EXPECT_EQ(log[0].setup.wIndex, kClock << 8);
    EXPECT_EQ(log[0].data, Le32(48000));  // what was returned
    EXPECT_EQ(log[1].data, Le32(50000));  // what was sent
    EXPECT_EQ(log[1].result.status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(log[2].result.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(log[2].frame, 0u);
    EXPECT_EQ(log[3].data, (std::vector<UCHAR>{6, 0}));
    EXPECT_EQ(log[3].frame, 100u);

    device.ClearControlLog();
    EXPECT_TRUE(device.ControlLog().empty());
}

TEST_F(MakerControl, InjectedControlFailures) {
    // The next two SET CUR to the clock fail; other requests are untouched.
    ControlFault setRateFails;
    setRateFails.request = 1;
    setRateFails.entity = kClock;
    setRateFails.selector = 1;
    setRateFails.count = 2;
    setRateFails.status = USBD_STATUS_DEV_NOT_RESPONDING;
    device.FailControlRequests(setRateFails);
    const auto setRate = EntityRequest(false, 1, 1, 0, kClock, 4);
    EXPECT_EQ(Set(device, setRate, Le32(96000)), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Get(device, EntityRequest(true, 1, 1, 0, kFeature, 1)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Set(device, setRate, Le32(96000)), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Set(device, setRate, Le32(96000)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.ClockFrequency(kClock), 96000u);

    // Always, until cleared; a failed request changes nothing and is logged.
    ControlFault featureFails;
    featureFails.entity = kFeature;
    device.FailControlRequests(featureFails);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Set(device, EntityRequest(false, 1, 1, 0, kFeature, 1), {1}), USBD_STATUS_STALL_PID);
    EXPECT_EQ(device.Mute(kFeature, 0), false);
    EXPECT_EQ(device.ControlLog().back().result.status, USBD_STATUS_STALL_PID);
    device.ClearControlFaults();
    EXPECT_EQ(Set(device, EntityRequest(false, 1, 1, 0, kFeature, 1), {1}), USBD_STATUS_SUCCESS);
}

TEST_F(MakerControl, UnpluggedAndOversizedRequests) {
    // wLength beyond the buffer handed over is refused, not trusted.
    UCHAR small[2];
    EXPECT_EQ(device.Control(EntityRequest(true, 1, 1, 0, kClock, 4), small).status, USBD_STATUS_INVALID_PARAMETER);
    device.Unplug();
    EXPECT_EQ(Get(device, Request(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18)).status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(device.ControlLog().back().result.status, USBD_STATUS_DEVICE_GONE);
}

// ------------------------------------------------------------------- 1.0

class Uac1Control : public ::testing::Test {
protected:
    static Description Device(bool samplingFrequencyControl) {
        GenericUac1Options options;
        options.isochronous = false;
        options.sampleRates = {44100, 48000};
        options.samplingFrequencyControl = samplingFrequencyControl;
        return GenericUac1Device(options);
    }
    static UCHAR FeatureUnitId(const Description& d) { return d.EntitiesOfKind(EntityKind::FeatureUnit).front()->id; }
    static USB_DEFAULT_PIPE_SETUP_PACKET Feature(UCHAR request, UCHAR selector, UCHAR channel, UCHAR unit, USHORT length) {
        return Request((request & 0x80) ? 0xA1 : 0x21, request, static_cast<USHORT>(selector << 8 | channel),
                     static_cast<USHORT>(unit << 8), length);
    }
};

TEST_F(Uac1Control, FeatureUnitRequests) {
    const Description d = Device(true);
    const UCHAR unit = FeatureUnitId(d);
    VirtualDevice device(d);
    struct Case {
        UCHAR request;
        UCHAR selector;
        std::vector<UCHAR> expected;
    };
    const Case cases[] = {
        {USB_AUDIO10_REQUEST_GET_CUR, USB_AUDIO_FU_MUTE_CONTROL, {0}},
        {USB_AUDIO10_REQUEST_GET_CUR, USB_AUDIO_FU_VOLUME_CONTROL, {0, 0}},
        {USB_AUDIO10_REQUEST_GET_MIN, USB_AUDIO_FU_VOLUME_CONTROL, {0x00, 0x81}},
        {USB_AUDIO10_REQUEST_GET_MAX, USB_AUDIO_FU_VOLUME_CONTROL, {0, 0}},
        {USB_AUDIO10_REQUEST_GET_RES, USB_AUDIO_FU_VOLUME_CONTROL, {0x00, 0x01}},
    };
    for (const auto& c : cases) {
        const USHORT length = static_cast<USHORT>(c.expected.size());
        const Reply r = Get(device, Feature(c.request, c.selector, 0, unit, length));
        EXPECT_EQ(r.status, USBD_STATUS_SUCCESS) << std::hex << int{c.request};
        EXPECT_EQ(r.data, c.expected) << std::hex << int{c.request};
    }
    EXPECT_EQ(Set(device, Feature(USB_AUDIO10_REQUEST_SET_CUR, 2, 0, unit, 2), {0x00, 0xFB}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.Volume(unit, 0), SHORT{-5 * 256});
    // No RANGE in 1.0, no MIN on mute, and the direction bit must agree.
    EXPECT_EQ(Get(device, Feature(2, 2, 0, unit, 8)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Get(device, Feature(USB_AUDIO10_REQUEST_GET_MIN, 1, 0, unit, 1)).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Get(device, Request(0x21, USB_AUDIO10_REQUEST_GET_CUR, 0x0100, unit << 8, 1)).status,
              USBD_STATUS_STALL_PID);
}

TEST_F(Uac1Control, EndpointSamplingFrequency) {
    const Description d = Device(true);
    const UCHAR in = d.Capture()->alts.front().data.address;
    const UCHAR captureInterface = d.Capture()->interfaceNumber;
    VirtualDevice device(d);
    Configure(device);
    const auto getCur = Request(0xA2, USB_AUDIO10_REQUEST_GET_CUR, 0x0100, in, 3);
    const auto setCur = Request(0x22, USB_AUDIO10_REQUEST_SET_CUR, 0x0100, in, 3);
    // The endpoint exists only in an operational setting.
    EXPECT_EQ(Get(device, getCur).status, USBD_STATUS_STALL_PID);
    SelectAlt(device, captureInterface, 1);
    EXPECT_EQ(Get(device, getCur).data, (std::vector<UCHAR>{0x80, 0xBB, 0x00}));
    EXPECT_EQ(Set(device, setCur, {0x44, 0xAC, 0x00}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Get(device, getCur).data, (std::vector<UCHAR>{0x44, 0xAC, 0x00}));
    EXPECT_EQ(device.SampleRate(), 44100u);
    EXPECT_EQ(Set(device, setCur, {0x00, 0x77, 0x01}), USBD_STATUS_STALL_PID);  // 96000: not in the list

    // Without the control bit both stall; a quirk lets GET_CUR answer anyway.
    for (const bool quirk : {false, true}) {
        DeviceBehaviour b;
        b.uac1FrequencyReadableWithoutControl = quirk;
        VirtualDevice bare(Device(false), b);
        Configure(bare);
        SelectAlt(bare, captureInterface, 1);
        EXPECT_EQ(Get(bare, getCur).status, quirk ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
        EXPECT_EQ(Set(bare, setCur, {0x44, 0xAC, 0x00}), USBD_STATUS_STALL_PID);
    }
}

}  // namespace
}  // namespace sim::usb::test

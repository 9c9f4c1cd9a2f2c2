// The request layer and the class controls on the virtual hardware: what
// reaches the device (its control log), what is refused before anything is
// sent, formats and their settings, and asynchronous transfers.
#include "model_fixture.h"

#include "platform/kernel/irql.h"
#include "sim/io/io_manager.h"

#include <atomic>

namespace {

using usb::BusSpeed;

constexpr UCHAR kFeatureCapture = usb::kMakerCaptureFeatureUnit;

USHORT SetupValue(const usb::ControlRecord& r) { return r.setup.wValue; }

// ---- control requests ----

using DriverModelRequests = ModelTest;

TEST_F(DriverModelRequests, ControlRequestRefusesWhatItCannotSend) {
    ASSERT_EQ(Start(usb::MakerDevice()), STATUS_SUCCESS);
    device->ClearControlLog();
    UCHAR buffer[4] = {};
    struct Case {
        UCHAR bmRequestType;
        USHORT length;
        bool buffer;
    };
    for (const Case c : {Case{0x80, 4, true},    // standard
                         Case{0xE1, 4, true},    // reserved type
                         Case{0xA4, 4, true},    // recipient 4
                         Case{0xA1, 4, false}}) {  // data without a buffer
        EXPECT_EQ(model->ControlRequest(c.bmRequestType, 1, 0, 0, c.length, c.buffer ? buffer : nullptr),
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_TRUE(device->ControlLog().empty());

    // A vendor request to the device reaches it as given.
    model->ControlRequest(0xC0, 0x42, 0x1234, 0x5678, 4, buffer);
    ASSERT_EQ(device->ControlLog().size(), 1u);
    const auto setup = device->ControlLog()[0].setup;
    EXPECT_EQ(setup.bmRequestType, 0xC0);
    EXPECT_EQ(setup.bRequest, 0x42);
    EXPECT_EQ(setup.wValue, 0x1234);
    EXPECT_EQ(setup.wIndex, 0x5678);
    EXPECT_EQ(setup.wLength, 4);
}

TEST_F(DriverModelRequests, FeatureUnitRequestsAreCheckedBeforeSending) {
    ASSERT_EQ(Start(usb::MakerDevice()), STATUS_SUCCESS);
    auto* unit = Entity<FeatureUnit>(kFeatureCapture);
    ASSERT_EQ(unit->ChannelCount(), 33u);  // master + 32
    device->ClearControlLog();
    UCHAR buffer[8] = {};
    struct Refused {
        bool set;
        UCHAR code;
        ULONG control;
        UCHAR channel;
        USHORT length;
    };
    for (const Refused r : {Refused{false, 1, kFeatureMute, 1, 1},     // mute only on the master channel
                            Refused{false, 1, kFeatureMute, 0, 2},     // mute is one byte
                            Refused{true, 2, kFeatureMute, 0, 1},      // mute has no range
                            Refused{false, 2, kFeatureVolume, 1, 6},   // a range is eight bytes
                            Refused{false, 1, kFeatureVolume, 1, 1},   // volume is two bytes
                            Refused{false, 1, 2, 0, 1},                // bass: not handled
                            Refused{false, 1, kFeatureVolume, 33, 2}}) {  // beyond the channels
        EXPECT_EQ(unit->Request(r.set, r.code, r.control, r.channel, r.length, buffer), STATUS_NOT_SUPPORTED);
    }
    EXPECT_TRUE(device->ControlLog().empty());

    // What is allowed goes to the unit on the AudioControl interface.
    SHORT volume = 1;
    ASSERT_EQ(unit->SetVolume(3, -512), STATUS_SUCCESS);
    ASSERT_EQ(unit->GetVolume(3, &volume), STATUS_SUCCESS);
    EXPECT_EQ(volume, -512);
    EXPECT_EQ(device->Volume(kFeatureCapture, 3), -512);
    ASSERT_EQ(unit->SetMute(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(device->Mute(kFeatureCapture, 0), true);
    const auto log = ClassRequests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x21);
    EXPECT_EQ(log[0].setup.bRequest, 0x01);
    EXPECT_EQ(SetupValue(log[0]), 0x0203);  // volume, channel 3
    EXPECT_EQ(log[0].setup.wIndex, kFeatureCapture << 8);
    EXPECT_EQ(log[1].setup.bmRequestType, 0xA1);
    EXPECT_EQ(SetupValue(log[2]), 0x0100);  // mute, master
}

TEST_F(DriverModelRequests, VolumeRangeFollowsTheClassVersion) {
    usb::DeviceBehaviour behaviour;
    usb::FeatureUnitBehaviour captureUnit;
    captureUnit.unitId = kFeatureCapture;
    captureUnit.range = {-6400, 1536, 128};
    behaviour.featureUnits = {captureUnit};
    ASSERT_EQ(Start(usb::MakerDevice(), behaviour), STATUS_SUCCESS);
    SHORT min = 0;
    SHORT max = 0;
    USHORT res = 0;
    device->ClearControlLog();
    ASSERT_EQ(Entity<FeatureUnit>(kFeatureCapture)->GetVolumeRange(1, &min, &max, &res), STATUS_SUCCESS);
    EXPECT_EQ(min, -6400);
    EXPECT_EQ(max, 1536);
    EXPECT_EQ(res, 128);
    auto log = ClassRequests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bRequest, USB_AUDIO20_REQUEST_RANGE);
    EXPECT_EQ(log[0].setup.wLength, 8);

    // 1.0: GET_MIN, GET_MAX, GET_RES.
    model->Destroy();
    machine.usb().Unplug(port);
    ASSERT_EQ(Start(usb::GenericUac1Device()), STATUS_SUCCESS);
    FeatureUnit* unit = nullptr;
    for (AudioEntity* e = model->Entities; e != nullptr; e = e->Next)
        if (e->Subtype() == USB_AUDIO10_AC_FEATURE_UNIT && unit == nullptr) unit = static_cast<FeatureUnit*>(e);
    ASSERT_NE(unit, nullptr);
    device->ClearControlLog();
    ASSERT_EQ(unit->GetVolumeRange(1, &min, &max, &res), STATUS_SUCCESS);
    EXPECT_EQ(min, -127 * 256);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(res, 256);
    log = ClassRequests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.bRequest, USB_AUDIO10_REQUEST_GET_MIN);
    EXPECT_EQ(log[1].setup.bRequest, USB_AUDIO10_REQUEST_GET_MAX);
    EXPECT_EQ(log[2].setup.bRequest, USB_AUDIO10_REQUEST_GET_RES);
    // The 1.0 range is three 2-byte requests; a RANGE-style request is refused.
    UCHAR block[8];
    EXPECT_EQ(unit->Request(false, USB_AUDIO20_REQUEST_RANGE, kFeatureVolume, 1, 8, block), STATUS_NOT_SUPPORTED);
}

// ---- clocks ----

TEST_F(DriverModelRequests, SingleInputSelectorAnswersWithoutAsking) {
    ASSERT_EQ(Start(usb::MakerDevice({.clockSourceIds = {0x25}})), STATUS_SUCCESS);
    device->ClearControlLog();
    UCHAR pin = 0;
    ASSERT_EQ(Entity<ClockSelector>(usb::kMakerClockSelector)->GetCurrentPin(&pin), STATUS_SUCCESS);
    EXPECT_EQ(pin, 1);
    EXPECT_TRUE(ClassRequests().empty());
}

TEST_F(DriverModelRequests, SelectorReadsItsPinOnceAndSelectsByClockId) {
    ASSERT_EQ(Start(usb::MakerDevice()), STATUS_SUCCESS);
    auto* selector = Entity<ClockSelector>(usb::kMakerClockSelector);
    device->ClearControlLog();
    UCHAR pin = 0;
    ASSERT_EQ(selector->GetCurrentPin(&pin), STATUS_SUCCESS);
    ASSERT_EQ(selector->GetCurrentPin(&pin), STATUS_SUCCESS);
    EXPECT_EQ(pin, device->SelectorPin(usb::kMakerClockSelector));
    EXPECT_EQ(ClassRequests().size(), 1u);

    EXPECT_EQ(model->SelectClockSource(0x27, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(device->SelectorPin(usb::kMakerClockSelector), 3);
    device->ClearControlLog();
    EXPECT_EQ(model->SelectClockSource(0x27, FALSE), STATUS_SUCCESS);  // already selected
    EXPECT_EQ(model->SelectClockSource(0x33, FALSE), STATUS_UNSUCCESSFUL);  // on no pin
    EXPECT_TRUE(ClassRequests().empty());
    EXPECT_EQ(model->SelectClockSource(0x27, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ClassRequests().size(), 1u);
}

TEST_F(DriverModelRequests, SelectorRateOperationsGoToItsInputs) {
    usb::MakerDeviceOptions options;
    options.rates = usb::DiscreteRates({44100, 48000, 96000});
    usb::DeviceBehaviour behaviour;
    // The external input runs 176.4 to 192 kHz only.
    usb::ClockBehaviour external;
    external.clockId = 0x26;
    external.ranges = usb::DiscreteRates({176400, 192000});
    behaviour.clocks = {external};
    ASSERT_EQ(Start(usb::MakerDevice(options), behaviour), STATUS_SUCCESS);
    ClockEntity* clock = model->MainClock();
    ASSERT_EQ(clock, AsClock(model->FindEntity(usb::kMakerClockSelector)));

    ULONG min = 0;
    ULONG max = 0;
    ASSERT_EQ(clock->GetRateRange(&min, &max, 0, 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(min, 44100u);
    EXPECT_EQ(max, 192000u);
    ASSERT_EQ(Entity<ClockSource>(0x25)->GetRateRange(&min, &max, 45000, 50000), STATUS_SUCCESS);
    EXPECT_EQ(min, 48000u);  // the smallest minimum not below 45000
    EXPECT_EQ(max, 48000u);  // the largest maximum not above 50000
    EXPECT_EQ(clock->IsRateSupported(192000), STATUS_SUCCESS);  // through 0x26
    EXPECT_EQ(clock->IsRateSupported(88200), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Entity<ClockSource>(0x25)->IsRateSupported(192000), STATUS_NOT_SUPPORTED);

    // Rate changes reach the selected source and are cached.
    ASSERT_EQ(model->SelectClockSource(0x25, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(model->ReapplyRate(96000, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(device->ClockFrequency(0x25), 96000u);
    device->ClearControlLog();
    ULONG rate = 0;
    ASSERT_EQ(clock->GetCurrentRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(model->ReapplyRate(96000, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(ClassRequests().empty());
    EXPECT_EQ(model->ReapplyRate(96000, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(ClassRequests().size(), 1u);
    EXPECT_TRUE(model->IsClockValid());
}

TEST_F(DriverModelRequests, ClockValidityIsAskedOnlyWhenReadable) {
    usb::DeviceBehaviour behaviour;
    usb::ClockBehaviour broken;
    broken.clockId = 0x25;
    broken.neverValid = true;
    behaviour.clocks = {broken};
    ASSERT_EQ(Start(usb::MakerDevice(), behaviour), STATUS_SUCCESS);
    EXPECT_FALSE(Entity<ClockSource>(0x25)->IsValid());
    EXPECT_TRUE(Entity<ClockSource>(0x26)->IsValid());
}

// Validity requests (GET CUR, clock-valid selector) the device received,
// by clock entity.
std::vector<int> ValidityRequests(const std::vector<usb::ControlRecord>& log) {
    std::vector<int> clocks;
    for (const auto& record : log)
        if (record.setup.bmRequestType == 0xA1 && record.setup.bRequest == 1 && (record.setup.wValue >> 8) == 2)
            clocks.push_back(record.setup.wIndex >> 8);
    return clocks;
}

TEST_F(DriverModelRequests, ClockValidityIsAskedOfThePlaybackClock) {
    // Playback runs on clock 0x20, capture on 0x21.
    usb::Description d = usb::GenericUac2Device({.clockSources = 2});
    for (auto& entity : d.entities)
        if (entity.id == 4 || entity.id == 6) entity.clock = 0x21;
    for (UCHAR broken : {0x21, 0x20}) {
        usb::DeviceBehaviour behaviour;
        usb::ClockBehaviour never;
        never.clockId = broken;
        never.neverValid = true;
        behaviour.clocks = {never};
        StartConfigured(d, behaviour);
        EXPECT_EQ(model->IsClockValid(), broken == 0x21 ? TRUE : FALSE) << int(broken);
        EXPECT_EQ(ValidityRequests(device->ControlLog()), std::vector<int>{0x20}) << int(broken);
        model->Destroy();
        machine.usb().Unplug(port);
        port = nullptr;
    }
    // Without playback, the capture clock tells.
    usb::ClockBehaviour never;
    never.clockId = 0x21;
    never.neverValid = true;
    usb::DeviceBehaviour behaviour;
    behaviour.clocks = {never};
    d.streaming.erase(d.streaming.begin());
    d.streaming[0].interfaceNumber = 1;
    StartConfigured(d, behaviour);
    EXPECT_FALSE(model->IsClockValid());
    EXPECT_EQ(ValidityRequests(device->ControlLog()), std::vector<int>{0x21});
}

TEST_F(DriverModelRequests, ADeviceWithoutClockEntitiesHasAValidClock) {
    StartConfigured(usb::GenericUac1Device());
    EXPECT_TRUE(model->IsClockValid());
    EXPECT_TRUE(device->ControlLog().empty());
}

TEST_F(DriverModelRequests, TerminalConnectorIsReadOnlyWhereDeclared) {
    usb::DeviceBehaviour behaviour;
    behaviour.connectors = {{.terminalId = usb::kMakerCaptureInputTerminal, .channels = 0}};
    ASSERT_EQ(Start(usb::MakerDevice(), behaviour), STATUS_SUCCESS);
    device->ClearControlLog();
    EXPECT_EQ(Entity<TerminalEntity>(usb::kMakerPlaybackOutputTerminal)->IsConnected(), 1);
    EXPECT_EQ(Entity<TerminalEntity>(usb::kMakerCaptureInputTerminal)->IsConnected(), 0);
    EXPECT_EQ(ClassRequests().size(), 2u);
    // No connector control: unknown, and nothing asked.
    EXPECT_EQ(Entity<TerminalEntity>(usb::kMakerPlaybackInputTerminal)->IsConnected(), -1);
    EXPECT_EQ(ClassRequests().size(), 2u);
    auto* terminal = Entity<TerminalEntity>(usb::kMakerCaptureInputTerminal);
    EXPECT_TRUE(terminal->IsControlReadable(1));
    EXPECT_FALSE(terminal->IsControlReadable(0));
    EXPECT_FALSE(terminal->IsControlReadable(6));  // input terminals have six
}

// ---- formats ----

struct FormatCase {
    const char* what;
    usb::MakerDeviceOptions options;
    bool capture;
    ULONG channels, bits, rate;
    NTSTATUS status;
    ULONG outChannels, outContainer;
};

class DriverModelFormats : public ModelTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(DriverModelFormats, ChoosesTheSetting) {
    const FormatCase& c = GetParam();
    ASSERT_EQ(Start(usb::MakerDevice(c.options)), STATUS_SUCCESS);
    ULONG channels = 0;
    ULONG container = 0;
    EXPECT_EQ(model->ChooseFormat(c.capture, kFormatTagPcm, c.channels, c.bits, c.rate, &channels, &container),
              c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(channels, c.outChannels);
        EXPECT_EQ(container, c.outContainer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DriverModel, DriverModelFormats,
    ::testing::Values(
        FormatCase{"stereo_on_eight_channels", {.channels = 8}, false, 2, 24, 48000, STATUS_SUCCESS, 2, 32},
        FormatCase{"exact_channels", {}, true, 32, 16, 96000, STATUS_SUCCESS, 32, 16},
        FormatCase{"no_depth_falls_back_to_widest", {.channels = 8}, false, 2, 20, 48000, STATUS_SUCCESS, 8, 32},
        FormatCase{"full_speed_44100", {.speed = BusSpeed::Full}, false, 2, 16, 44100, STATUS_SUCCESS, 2, 16},
        FormatCase{"full_speed_48000", {.speed = BusSpeed::Full}, false, 2, 16, 48000,
                   STATUS_INVALID_DEVICE_REQUEST, 0, 0},
        FormatCase{"high_speed_beyond_the_table", {}, true, 2, 16, 384000, STATUS_INVALID_DEVICE_REQUEST, 0, 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(DriverModelRequests, OnlyPcmIsAccepted) {
    ASSERT_EQ(Start(usb::MakerDevice()), STATUS_SUCCESS);
    ULONG channels = 0;
    ULONG container = 0;
    EXPECT_EQ(model->ChooseFormat(false, kFormatTagIeeeFloat, 2, 32, 48000, &channels, &container),
              STATUS_NOT_SUPPORTED);
    // A device without that direction.
    model->Destroy();
    machine.usb().Unplug(port);
    ASSERT_EQ(Start(usb::MakerDevice({.capture = false})), STATUS_SUCCESS);
    EXPECT_EQ(model->ChooseFormat(true, kFormatTagPcm, 2, 16, 48000, &channels, &container),
              STATUS_INVALID_PARAMETER);
}

TEST_F(DriverModelRequests, ApplyingAFormatSetsClockSettingAndPipe) {
    StartConfigured(usb::MakerDevice());
    EXPECT_EQ(device->CurrentAlternate(1), 0);
    EXPECT_EQ(model->PlaybackInterface->DataPipe, nullptr);  // setting 0 has no endpoint

    AppliedFormat applied{};
    ASSERT_EQ(model->ApplyFormat(false, kFormatTagPcm, 2, 24, 96000, 6, &applied), STATUS_SUCCESS);
    EXPECT_EQ(applied.Channels, 32u);  // what high speed carries at 96 kHz
    EXPECT_EQ(applied.ContainerBits, 32u);
    EXPECT_EQ(applied.TransferSize, 6u * 512u);
    EXPECT_EQ(device->CurrentAlternate(1), 2);
    UCHAR pin = 0;
    ASSERT_EQ(Entity<ClockSelector>(usb::kMakerClockSelector)->GetCurrentPin(&pin), STATUS_SUCCESS);
    EXPECT_EQ(device->ClockFrequency(usb::kMakerClockSourceIds[pin - 1]), 96000u);
    StreamingInterface* playback = model->PlaybackInterface;
    EXPECT_EQ(playback->CurrentAlt, 2);
    EXPECT_EQ(playback->CurrentRate, 96000u);
    EXPECT_EQ(playback->FormatSet, 1u);
    ASSERT_NE(playback->DataPipe, nullptr);
    EXPECT_EQ(playback->DataPipe->EndpointAddress, 0x01);
    EXPECT_EQ(playback->DataPipe, model->FindPipe(0x01));

    ASSERT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 192000, 8, &applied), STATUS_SUCCESS);
    EXPECT_EQ(applied.Channels, 16u);
    EXPECT_EQ(device->CurrentAlternate(2), 1);
    EXPECT_EQ(model->CaptureInterface->DataPipe, model->FindPipe(0x81));
}

TEST_F(DriverModelRequests, Uac1CaptureListWithoutFrequencyControlAsksTheEndpoint) {
    usb::DeviceBehaviour behaviour;
    behaviour.uac1FrequencyReadableWithoutControl = true;
    behaviour.uac1InitialRate = 48000;
    StartConfigured(usb::GenericUac1Device({.sampleRates = {44100, 48000, 96000}, .playback = false,
                                            .samplingFrequencyControl = false}),
                    behaviour);
    StreamingInterface* capture = model->CaptureInterface;
    ASSERT_NE(capture, nullptr);
    ULONG channels = 0;
    ULONG container = 0;
    ASSERT_EQ(model->ChooseFormat(true, kFormatTagPcm, 2, 16, 48000, &channels, &container), STATUS_SUCCESS);
    const auto log = device->ControlLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.bRequest, USB_REQUEST_SET_INTERFACE);
    EXPECT_EQ(log[0].setup.wValue, 1);
    EXPECT_EQ(log[1].setup.bmRequestType, USB_AUDIO_REQUEST_TYPE_GET_ENDPOINT);
    EXPECT_EQ(log[1].setup.bRequest, USB_AUDIO10_REQUEST_GET_CUR);
    EXPECT_EQ(log[1].setup.wValue, 0x0100);
    EXPECT_EQ(log[1].setup.wIndex, capture->Alts[1].DataEndpoint->bEndpointAddress);
    EXPECT_EQ(log[2].setup.bRequest, USB_REQUEST_SET_INTERFACE);
    EXPECT_EQ(log[2].setup.wValue, 0);
    // The setting was given back, and the pipes follow it.
    EXPECT_EQ(device->CurrentAlternate(capture->InterfaceNumber), 0);
    EXPECT_EQ(capture->DataPipe, nullptr);
    // A listed rate the endpoint does not run at is no match.
    EXPECT_EQ(model->ChooseFormat(true, kFormatTagPcm, 2, 16, 44100, &channels, &container), STATUS_NOT_SUPPORTED);
}

TEST_F(DriverModelRequests, Uac1RatesFromTheFormatDescriptor) {
    StartConfigured(usb::GenericUac1Device({.sampleRates = {8000, 48000}, .continuousRates = true}));
    ULONG channels = 0;
    ULONG container = 0;
    EXPECT_EQ(model->ChooseFormat(false, kFormatTagPcm, 2, 16, 22050, &channels, &container), STATUS_SUCCESS);
    EXPECT_EQ(container, 16u);
    EXPECT_EQ(model->ChooseFormat(false, kFormatTagPcm, 2, 16, 96000, &channels, &container), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(device->ControlLog().empty());  // the descriptor says it all
}

// ---- asynchronous transfers ----

struct Completions {
    std::atomic<int> count{0};
    std::atomic<int> failed{0};
    std::atomic<ULONG> bytes{0};
    std::atomic<int> atDispatch{0};

    static void Done(NTSTATUS status, ULONG bytes, PVOID context, PVOID reserved) {
        auto* self = static_cast<Completions*>(context);
        if (!NT_SUCCESS(status)) self->failed++;
        if (KeGetCurrentIrql() == DISPATCH_LEVEL) self->atDispatch++;
        EXPECT_EQ(reserved, nullptr);
        self->bytes += bytes;
        self->count++;
    }
};

bool Signalled(KEVENT* event) { return KeReadStateEvent(event) != 0; }

TEST_F(DriverModelRequests, AsyncTransfersCompleteAndGiveEverythingBack) {
    StartConfigured(usb::MakerDevice());
    AppliedFormat applied{};
    ASSERT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_SUCCESS);
    ASSERT_EQ(applied.TransferSize, 6u * 512u);
    const size_t irps = machine.io().LiveIrpCount();
    std::vector<UCHAR> buffers(3 * applied.TransferSize);
    Completions done;
    EXPECT_TRUE(Signalled(model->IoZeroEvent()));
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(model->ReadCapture(buffers.data() + i * applied.TransferSize, applied.TransferSize,
                                         Completions::Done, &done),
                      STATUS_SUCCESS);
        EXPECT_EQ(model->OutstandingTransfers(), 3u);
        EXPECT_FALSE(Signalled(model->IoZeroEvent()));
        EXPECT_FALSE(Signalled(model->IoIdleEvent()));
        // 4 frames a chunk at high speed and 48 kHz, 6 chunks a transfer.
        device->AdvanceFrames(2 * 24);
        EXPECT_EQ(model->OutstandingTransfers(), 1u);
        EXPECT_TRUE(Signalled(model->IoIdleEvent()));
        device->AdvanceFrames(24);
        EXPECT_EQ(model->OutstandingTransfers(), 0u);
        EXPECT_TRUE(Signalled(model->IoZeroEvent()));
    }
    EXPECT_EQ(done.count, 6);
    EXPECT_EQ(done.failed, 0);
    EXPECT_EQ(done.atDispatch, 6);
    EXPECT_EQ(done.bytes, 6u * applied.TransferSize);
    // The pool's IRPs and the lookaside contexts serve every round.
    EXPECT_EQ(machine.io().LiveIrpCount(), irps);
    EXPECT_EQ(model->ContextAllocations(), 6u);
    EXPECT_EQ(model->ContextMisses(), 3u);
}

TEST_F(DriverModelRequests, TransfersNeedAnInterfaceAndAPipe) {
    ASSERT_EQ(Start(usb::MakerDevice({.capture = false})), STATUS_SUCCESS);
    Completions done;
    UCHAR buffer[64];
    EXPECT_EQ(model->ReadCapture(buffer, sizeof(buffer), Completions::Done, &done), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(model->WritePlayback(buffer, nullptr, sizeof(buffer), Completions::Done, &done), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(done.count, 0);
}

TEST_F(DriverModelRequests, AnIsochronousDataEndpointIsRefusedBeforeAnythingChanges) {
    StartConfigured(usb::MakerDevice({.isochronous = true}));
    AppliedFormat applied{};
    EXPECT_EQ(model->ApplyFormat(false, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(model->PlaybackInterface->CurrentAlt, 0);
    EXPECT_EQ(model->PlaybackInterface->DataPipe, nullptr);
    EXPECT_EQ(device->CurrentAlternate(1), 0);
    EXPECT_TRUE(device->ControlLog().empty());  // neither the clock nor the setting was touched

    // Selected by other means, the pipe still gets no transfer.
    ASSERT_EQ(model->SelectAltSetting(1, 1), STATUS_SUCCESS);
    model->PlaybackInterface->CurrentAlt = 1;
    ASSERT_EQ(model->LinkPipes(), STATUS_SUCCESS);
    ASSERT_NE(model->PlaybackInterface->DataPipe, nullptr);
    Completions done;
    UCHAR buffer[64];
    EXPECT_EQ(model->WritePlayback(buffer, nullptr, sizeof(buffer), Completions::Done, &done), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(done.count, 0);
    EXPECT_EQ(device->Counters(0x01).submitted, 0u);
}

struct IntervalCase {
    BusSpeed speed;
    bool isochronous;
    UCHAR bInterval;
    UCHAR linked;  // the pipe's interval once linked
};

class DriverModelIntervals : public ModelTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(DriverModelIntervals, IsochronousPipeIntervalsAreNormalised) {
    const IntervalCase& c = GetParam();
    usb::Description d = usb::MakerDevice({.speed = c.speed, .isochronous = c.isochronous});
    for (auto& alt : d.streaming[0].alts) alt.data.interval = c.bInterval;
    StartConfigured(d);
    StreamingInterface* playback = model->PlaybackInterface;
    ASSERT_NE(playback->Alts[1].DataEndpoint, nullptr);
    ASSERT_EQ(playback->Alts[1].DataEndpoint->bInterval, c.bInterval);
    ASSERT_EQ(model->SelectAltSetting(playback->InterfaceNumber, 1), STATUS_SUCCESS);
    playback->CurrentAlt = 1;
    ASSERT_EQ(model->LinkPipes(), STATUS_SUCCESS);
    ASSERT_NE(playback->DataPipe, nullptr);
    EXPECT_EQ(playback->DataPipe->Interval, c.linked);
}

INSTANTIATE_TEST_SUITE_P(
    DriverModel, DriverModelIntervals,
    ::testing::Values(IntervalCase{BusSpeed::High, true, 0, 1}, IntervalCase{BusSpeed::High, true, 3, 3},
                      IntervalCase{BusSpeed::Super, true, 4, 4}, IntervalCase{BusSpeed::Full, true, 0, 1},
                      IntervalCase{BusSpeed::Full, true, 10, 1}, IntervalCase{BusSpeed::Full, true, 15, 1},
                      // Bulk pipes keep what the device said.
                      IntervalCase{BusSpeed::High, false, 7, 7}, IntervalCase{BusSpeed::Full, false, 0, 0}));

TEST_F(DriverModelRequests, PipeRequestsOnlyAtPassiveLevel) {
    StartConfigured(usb::MakerDevice());
    AppliedFormat applied{};
    ASSERT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_SUCCESS);
    USBD_PIPE_INFORMATION* pipe = model->CaptureInterface->DataPipe;
    EXPECT_EQ(model->ResetPipe(nullptr), STATUS_INVALID_PARAMETER);
    KIRQL old = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS reset = model->ResetPipe(pipe);
    const NTSTATUS abort = model->AbortPipe(pipe);
    KeLowerIrql(old);
    EXPECT_EQ(reset, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(abort, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->Counters(0x81).resets, 0u);

    // At PASSIVE_LEVEL an abort ends every pending transfer.
    std::vector<UCHAR> buffer(2 * applied.TransferSize);
    Completions done;
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(model->ReadCapture(buffer.data() + i * applied.TransferSize, applied.TransferSize,
                                     Completions::Done, &done),
                  STATUS_SUCCESS);
    EXPECT_EQ(model->AbortPipe(pipe), STATUS_SUCCESS);
    EXPECT_EQ(done.count, 2);
    EXPECT_EQ(done.failed, 2);
    EXPECT_TRUE(Signalled(model->IoZeroEvent()));
    EXPECT_EQ(model->ResetPipe(pipe), STATUS_SUCCESS);
}

TEST_F(DriverModelRequests, DestroyEndsOutstandingTransfers) {
    StartConfigured(usb::MakerDevice());
    AppliedFormat applied{};
    ASSERT_EQ(model->ApplyFormat(true, kFormatTagPcm, 2, 16, 48000, 6, &applied), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(applied.TransferSize);
    Completions done;
    ASSERT_EQ(model->ReadCapture(buffer.data(), applied.TransferSize, Completions::Done, &done), STATUS_SUCCESS);
    model->Destroy();
    EXPECT_EQ(done.count, 1);
    EXPECT_EQ(model->OutstandingTransfers(), 0u);
    EXPECT_FALSE(model->Initialised());
}

}  // namespace

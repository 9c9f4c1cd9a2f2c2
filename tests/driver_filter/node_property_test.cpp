// The volume and mute properties of the feature-unit nodes, on the virtual
// device: what reaches the device (its values and its request log) for
// each get, set and basic-support request, and what is refused before
// anything is sent.
#include "filter_fixture.h"

#include "driver/core/volume_units.h"

#include <cstring>

namespace {

constexpr UCHAR kPlaybackUnit = usb::kMakerPlaybackFeatureUnit;
constexpr UCHAR kCaptureUnit = usb::kMakerCaptureFeatureUnit;
// Nodes of the maker's device: 0 ADC, 1 DAC, then mute and volume of the
// playback unit, then of the capture unit.
constexpr ULONG kPlaybackMute = 2;
constexpr ULONG kPlaybackVolume = 3;
constexpr ULONG kCaptureMute = 4;
constexpr ULONG kCaptureVolume = 5;

constexpr SHORT kPlaybackMin = -127 * 256;
constexpr SHORT kPlaybackMax = 6 * 256;

struct Result {
    NTSTATUS status;
    ULONG size;  // ValueSize after the call
};

class NodePropertyTest : public FilterTest {
protected:
    void SetUp() override {
        // Stereo. Playback: -127..+6 dB in 1/256 dB steps. Capture: minus
        // infinity..0 dB in 1 dB steps.
        usb::DeviceBehaviour behaviour;
        behaviour.featureUnits = {{kPlaybackUnit, {kPlaybackMin, kPlaybackMax, 1}, 0, false},
                                  {kCaptureUnit, {kUsbVolumeMinusInfinity, 0, 256}, kUsbVolumeMinusInfinity, false}};
        Plug(usb::MakerDevice({.channels = 2}), std::move(behaviour));
        ASSERT_EQ(Build(44100), STATUS_SUCCESS);
        device->ClearControlLog();
    }

    Result Call(ULONG node, ULONG property, ULONG verb, LONG channel, void* value, ULONG valueSize,
                ULONG instanceSize = 8, UsbAudioDevice* on = nullptr) {
        struct {
            LONG channel;
            ULONG reserved;
        } instance{channel, 0};
        PCPROPERTY_REQUEST request{};
        request.Node = node;
        request.PropertyItem = property == KSPROPERTY_AUDIO_MUTE ? &description.MuteProperty : &description.VolumeProperty;
        request.Verb = verb | KSPROPERTY_TYPE_TOPOLOGY;
        request.InstanceSize = instanceSize;
        request.Instance = instanceSize != 0 ? &instance : nullptr;
        request.ValueSize = valueSize;
        request.Value = value;
        const NTSTATUS status = NodeProperty(on != nullptr ? *on : *model, &description, &request);
        return {status, request.ValueSize};
    }
    NTSTATUS SetVolume(ULONG node, LONG channel, LONG value) {
        return Call(node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_SET, channel, &value, sizeof(value)).status;
    }
    Result GetVolume(ULONG node, LONG channel, LONG* value) {
        return Call(node, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, channel, value, sizeof(*value));
    }
    NTSTATUS SetMute(ULONG node, LONG channel, ULONG value) {
        return Call(node, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_SET, channel, &value, sizeof(value)).status;
    }

    // Class requests the device received.
    std::vector<usb::ControlRecord> ClassRequests() {
        std::vector<usb::ControlRecord> found;
        for (const auto& record : device->ControlLog())
            if ((record.setup.bmRequestType & 0x60) != 0) found.push_back(record);
        return found;
    }
};

TEST_F(NodePropertyTest, VolumeSetRoundsToTheStepClampsAndConvertsDown) {
    struct Case {
        ULONG node;
        LONG channel;
        LONG value;  // 1/65536 dB
        SHORT sent;  // 1/256 dB
    };
    for (const Case c : {
             // -10.3 dB on a 1/256 dB grid is -675072, exactly -2637.
             Case{kPlaybackVolume, 0, -675020, -2637},
             // On a 1 dB grid the nearest step is -10 dB.
             Case{kCaptureVolume, 1, -675020, -2560},
             Case{kPlaybackVolume, 1, 128, 1},  // half a step rounds away from zero
             Case{kPlaybackVolume, 1, -128, -1},
             Case{kPlaybackVolume, 1, 127, 0},
             // Minus infinity is clamped to a finite minimum, and sent only
             // where the minimum is minus infinity.
             Case{kPlaybackVolume, 0, kKsVolumeMinusInfinity, kPlaybackMin},
             Case{kCaptureVolume, 0, kKsVolumeMinusInfinity, kUsbVolumeMinusInfinity},
             Case{kPlaybackVolume, 1, 0x7FFFFFFF, kPlaybackMax},
             Case{kCaptureVolume, 0, 3 * 65536, 0},
         }) {
        SCOPED_TRACE(testing::Message() << "node " << c.node << " channel " << c.channel << " value " << c.value);
        device->ClearControlLog();
        ASSERT_EQ(SetVolume(c.node, c.channel, c.value), STATUS_SUCCESS);
        const UCHAR unit = c.node == kPlaybackVolume ? kPlaybackUnit : kCaptureUnit;
        const UCHAR usbChannel = static_cast<UCHAR>(c.channel + 1);
        EXPECT_EQ(device->Volume(unit, usbChannel), c.sent);
        // The range of that channel first, then the value.
        const auto log = ClassRequests();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].setup.bmRequestType, 0xA1);
        EXPECT_EQ(log[0].setup.bRequest, USB_AUDIO20_REQUEST_RANGE);
        EXPECT_EQ(log[0].setup.wValue, 0x0200 | usbChannel);
        const auto& set = log[1];
        EXPECT_EQ(set.setup.bmRequestType, 0x21);
        EXPECT_EQ(set.setup.bRequest, USB_AUDIO20_REQUEST_CUR);
        EXPECT_EQ(set.setup.wValue, 0x0200 | usbChannel);
        EXPECT_EQ(set.setup.wIndex, unit << 8);
        ASSERT_EQ(set.data.size(), 2u);
        EXPECT_EQ(static_cast<SHORT>(set.data[0] | (set.data[1] << 8)), c.sent);
    }
}

TEST_F(NodePropertyTest, VolumeGetConvertsUpAndWritesBackUnchanged) {
    FeatureUnit* unit = static_cast<FeatureUnit*>(model->FindEntity(kPlaybackUnit));
    LONG value = 0;
    // The capture unit starts at minus infinity.
    ASSERT_EQ(GetVolume(kCaptureVolume, 1, &value).status, STATUS_SUCCESS);
    EXPECT_EQ(value, kKsVolumeMinusInfinity);

    for (SHORT v : {SHORT(-2637), SHORT(-1), SHORT(0), SHORT(1), kPlaybackMin, kPlaybackMax}) {
        SCOPED_TRACE(v);
        ASSERT_EQ(unit->SetVolume(2, v), STATUS_SUCCESS);
        value = 0;
        const Result got = GetVolume(kPlaybackVolume, 1, &value);
        ASSERT_EQ(got.status, STATUS_SUCCESS);
        EXPECT_EQ(got.size, 4u);
        EXPECT_EQ(value, LONG{v} * 256);
        // What a client read and writes back leaves the device where it was.
        ASSERT_EQ(SetVolume(kPlaybackVolume, 1, value), STATUS_SUCCESS);
        EXPECT_EQ(device->Volume(kPlaybackUnit, 2), v);
    }
}

TEST_F(NodePropertyTest, MuteIsTheMasterChannelsWhateverChannelIsNamed) {
    ASSERT_EQ(SetMute(kPlaybackMute, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(device->Mute(kPlaybackUnit, 0), true);
    EXPECT_EQ(device->Mute(kPlaybackUnit, 2), false);
    auto log = ClassRequests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.wValue, 0x0100);  // mute, channel 0
    EXPECT_EQ(log[0].data, std::vector<UCHAR>{1});

    ULONG muted = 7;
    EXPECT_EQ(Call(kPlaybackMute, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, 0, &muted, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(muted, 1u);
    // Any non-zero value mutes; -1 names the master channel.
    ASSERT_EQ(SetMute(kPlaybackMute, -1, 0), STATUS_SUCCESS);
    EXPECT_EQ(device->Mute(kPlaybackUnit, 0), false);
    ASSERT_EQ(SetMute(kCaptureMute, 0, 0x100), STATUS_SUCCESS);
    EXPECT_EQ(device->Mute(kCaptureUnit, 0), true);

    device->ClearControlLog();
    for (LONG channel : {-2, 2}) {
        EXPECT_EQ(SetMute(kPlaybackMute, channel, 1), STATUS_INVALID_PARAMETER) << channel;
        EXPECT_EQ(Call(kPlaybackMute, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, channel, &muted, 4).status,
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_TRUE(ClassRequests().empty());
}

TEST_F(NodePropertyTest, BasicSupportBySizeOfTheAnswer) {
    constexpr ULONG kFull = 56 + 16 * 2;  // two channels
    struct Case {
        ULONG property;
        ULONG valueSize;
        NTSTATUS status;
        ULONG returned;
    };
    for (const Case c : {Case{KSPROPERTY_AUDIO_VOLUMELEVEL, kFull, STATUS_SUCCESS, kFull},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 200, STATUS_SUCCESS, kFull},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, kFull - 1, STATUS_SUCCESS, 40},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 40, STATUS_SUCCESS, 40},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 39, STATUS_SUCCESS, 4},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 4, STATUS_SUCCESS, 4},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 3, STATUS_BUFFER_TOO_SMALL, 0},
                         Case{KSPROPERTY_AUDIO_VOLUMELEVEL, 0, STATUS_BUFFER_TOO_SMALL, 0},
                         Case{KSPROPERTY_AUDIO_MUTE, kFull, STATUS_SUCCESS, kFull},
                         Case{KSPROPERTY_AUDIO_MUTE, 40, STATUS_SUCCESS, 40},
                         Case{KSPROPERTY_AUDIO_MUTE, 4, STATUS_SUCCESS, 4}}) {
        const bool volume = c.property == KSPROPERTY_AUDIO_VOLUMELEVEL;
        SCOPED_TRACE(testing::Message() << (volume ? "volume " : "mute ") << c.valueSize);
        device->ClearControlLog();
        std::vector<UCHAR> buffer(256, 0xEE);
        // No instance: basic support names no channel.
        const Result r = Call(volume ? kPlaybackVolume : kPlaybackMute, c.property, KSPROPERTY_TYPE_BASICSUPPORT, 0,
                              buffer.data(), c.valueSize, 0);
        ASSERT_EQ(r.status, c.status);
        EXPECT_EQ(r.size, c.returned);
        EXPECT_EQ(buffer[c.returned], 0xEE) << "written beyond the answer";
        // Only the full answer of volume asks the device, once per channel.
        const auto log = ClassRequests();
        EXPECT_EQ(log.size(), volume && c.returned == kFull ? 2u : 0u);
        for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].setup.wValue, 0x0200 | (i + 1));
        if (c.returned == 0) continue;

        ULONG access = 0;
        std::memcpy(&access, buffer.data(), 4);
        EXPECT_EQ(access, 0x203u);
        if (c.returned < 40) continue;
        KSPROPERTY_DESCRIPTION d{};
        std::memcpy(&d, buffer.data(), sizeof(d));
        EXPECT_EQ(d.DescriptionSize, kFull);
        EXPECT_EQ(d.PropTypeSet.Set, KSPROPTYPESETID_General);
        EXPECT_EQ(d.PropTypeSet.Id, volume ? 3u : 11u);  // VT_I4, VT_BOOL
        EXPECT_EQ(d.MembersListCount, 1u);
        if (c.returned == 40) continue;
        KSPROPERTY_MEMBERSHEADER h{};
        std::memcpy(&h, buffer.data() + 40, sizeof(h));
        EXPECT_EQ(h.MembersFlags, KSPROPERTY_MEMBER_STEPPEDRANGES);
        EXPECT_EQ(h.MembersSize, 16u);
        EXPECT_EQ(h.MembersCount, 2u);
        EXPECT_EQ(h.Flags, KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL);
        for (ULONG channel = 0; channel < 2; ++channel) {
            KSPROPERTY_STEPPING_LONG s{};
            std::memcpy(&s, buffer.data() + 56 + 16 * channel, sizeof(s));
            EXPECT_EQ(s.SteppingDelta, volume ? 256u : 1u);
            EXPECT_EQ(s.Bounds.SignedMinimum, volume ? LONG{kPlaybackMin} * 256 : 0);
            EXPECT_EQ(s.Bounds.SignedMaximum, volume ? LONG{kPlaybackMax} * 256 : 1);
        }
    }
    // The capture unit's minimum is minus infinity in both unit systems.
    std::vector<UCHAR> buffer(kFull);
    ASSERT_EQ(Call(kCaptureVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer.data(),
                   kFull, 0)
                  .status,
              STATUS_SUCCESS);
    KSPROPERTY_STEPPING_LONG s{};
    std::memcpy(&s, buffer.data() + 56, sizeof(s));
    EXPECT_EQ(s.Bounds.SignedMinimum, kKsVolumeMinusInfinity);
    EXPECT_EQ(s.SteppingDelta, 65536u);
}

TEST_F(NodePropertyTest, AFailingRangeReadIsTheAnswer) {
    usb::ControlFault fault;
    fault.request = USB_AUDIO20_REQUEST_RANGE;
    fault.entity = kPlaybackUnit;
    device->FailControlRequests(fault);
    std::vector<UCHAR> buffer(88);
    const Result basic = Call(kPlaybackVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0,
                              buffer.data(), 88, 0);
    EXPECT_FALSE(NT_SUCCESS(basic.status));
    EXPECT_EQ(basic.size, 0u);
    LONG value = 0;
    EXPECT_EQ(GetVolume(kPlaybackVolume, 0, &value).status, basic.status);
    EXPECT_EQ(SetVolume(kPlaybackVolume, 0, 0), basic.status);
    // Nothing but the range requests went out.
    for (const auto& r : ClassRequests()) EXPECT_EQ(r.setup.bRequest, USB_AUDIO20_REQUEST_RANGE);
    // The description alone still fits: it needs no device request.
    EXPECT_EQ(Call(kPlaybackVolume, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT, 0, buffer.data(), 40,
                   0)
                  .status,
              STATUS_SUCCESS);
}

TEST_F(NodePropertyTest, RefusedBeforeAnythingIsSent) {
    LONG value = 0;
    struct Case {
        const char* what;
        ULONG node;
        ULONG property;
        ULONG verb;
        LONG channel;
        ULONG valueSize;
        ULONG instanceSize;
        NTSTATUS status;
    };
    const ULONG get = KSPROPERTY_TYPE_GET;
    const ULONG basic = KSPROPERTY_TYPE_BASICSUPPORT;
    const ULONG volume = KSPROPERTY_AUDIO_VOLUMELEVEL;
    for (const Case c : {
             Case{"no node", ULONG(-1), volume, get, 0, 4, 8, STATUS_UNSUCCESSFUL},
             Case{"the ADC", 0, volume, get, 0, 4, 8, STATUS_INVALID_PARAMETER},
             Case{"the ADC, basic support", 0, volume, basic, 0, 4, 8, STATUS_UNSUCCESSFUL},
             Case{"beyond the nodes", 6, volume, get, 0, 4, 8, STATUS_INVALID_PARAMETER},
             Case{"beyond the nodes, basic support", 6, volume, basic, 0, 4, 8, STATUS_UNSUCCESSFUL},
             Case{"the master channel of volume", kPlaybackVolume, volume, get, -1, 4, 8, STATUS_INVALID_PARAMETER},
             Case{"beyond the channels", kPlaybackVolume, volume, KSPROPERTY_TYPE_SET, 2, 4, 8,
                  STATUS_INVALID_PARAMETER},
             Case{"no value: the size needed", kPlaybackVolume, volume, get, 0, 0, 8, STATUS_BUFFER_OVERFLOW},
             Case{"a short value", kPlaybackVolume, volume, get, 0, 2, 8, STATUS_BUFFER_TOO_SMALL},
             Case{"no channel", kPlaybackVolume, volume, get, 0, 4, 0, STATUS_INVALID_BUFFER_SIZE},
             Case{"a short channel", kPlaybackVolume, volume, get, 0, 4, 2, STATUS_INVALID_BUFFER_SIZE},
             Case{"no verb", kPlaybackVolume, volume, 0, 0, 4, 8, STATUS_INVALID_DEVICE_REQUEST},
         }) {
        SCOPED_TRACE(c.what);
        const Result r = Call(c.node, c.property, c.verb, c.channel, &value, c.valueSize, c.instanceSize);
        EXPECT_EQ(r.status, c.status);
        if (c.status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_EQ(r.size, 4u);
        }
    }
    // Another property of the audio set.
    PCPROPERTY_ITEM latency = description.VolumeProperty;
    latency.Id = KSPROPERTY_AUDIO_LATENCY;
    LONG instance[2] = {0, 0};
    PCPROPERTY_REQUEST request{};
    request.Node = kPlaybackVolume;
    request.PropertyItem = &latency;
    request.Verb = KSPROPERTY_TYPE_GET;
    request.InstanceSize = sizeof(instance);
    request.Instance = instance;
    request.ValueSize = sizeof(value);
    request.Value = &value;
    EXPECT_EQ(NodeProperty(*model, &description, &request), STATUS_UNSUCCESSFUL);
    // No description, or one built from another device model: no node.
    request.PropertyItem = &description.VolumeProperty;
    EXPECT_EQ(NodeProperty(*model, nullptr, &request), STATUS_INVALID_PARAMETER);
    UsbAudioDevice other;
    EXPECT_EQ(Call(kPlaybackVolume, volume, get, 0, &value, 4, 8, &other).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(ClassRequests().empty());
}

}  // namespace

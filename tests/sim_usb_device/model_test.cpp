// What the device reads from its own descriptors, and that malformed ones
// cannot make it read outside them.
#include "device_fixture.h"

#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/malform.h"

namespace sim::usb::test {
namespace {

ConfigurationModel Parse(const Description& d) {
    const DescriptorSet set = BuildDescriptorSet(d);
    return ParseConfiguration(set.configuration.data(), set.configuration.size());
}

TEST(DeviceModel, MakerDevice) {
    const ConfigurationModel m = Parse(MakerDevice());
    EXPECT_EQ(m.audioClass, AudioClass::Uac2);
    EXPECT_EQ(m.controlInterface, UCHAR{0});
    EXPECT_EQ(m.clockSources.size(), 4u);
    ASSERT_NE(m.ClockSelector(kMakerClockSelector), nullptr);
    EXPECT_EQ(m.ClockSelector(kMakerClockSelector)->inputs, kMakerClockSourceIds);
    ASSERT_NE(m.FeatureUnit(kMakerCaptureFeatureUnit), nullptr);
    EXPECT_EQ(m.FeatureUnit(kMakerCaptureFeatureUnit)->volume.size(), 33u);
    EXPECT_EQ(m.FeatureUnit(kMakerCaptureFeatureUnit)->volume[32], kControlReadWrite);
    ASSERT_NE(m.Terminal(kMakerCaptureInputTerminal), nullptr);
    EXPECT_EQ(m.Terminal(kMakerCaptureInputTerminal)->clockSource, kMakerClockSelector);

    const InterfaceModel* capture = m.Interface(2);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(capture->alternates.size(), 4u);
    EXPECT_TRUE(capture->Alternate(0)->endpoints.empty());
    const AltSettingModel* alt2 = capture->Alternate(2);
    ASSERT_TRUE(alt2->layout);
    EXPECT_EQ(*alt2->layout, (SampleLayout{32, 4, 24}));
    EXPECT_EQ(alt2->interfaceClass, USB_DEVICE_CLASS_VENDOR_SPECIFIC);
    ASSERT_EQ(alt2->endpoints.size(), 1u);
    EXPECT_EQ(alt2->endpoints[0].address, 0x81);
    EXPECT_EQ(alt2->endpoints[0].maxPacketSize, 512);
    EXPECT_EQ(alt2->endpoints[0].role, EndpointRole::Audio);
}

TEST(DeviceModel, Uac1AndMidiDevices) {
    GenericUac1Options options;
    options.sampleRates = {32000, 44100, 48000};
    const ConfigurationModel uac1 = Parse(GenericUac1Device(options));
    EXPECT_EQ(uac1.audioClass, AudioClass::Uac1);
    const AltSettingModel* alt = uac1.Interface(2)->Alternate(1);
    ASSERT_NE(alt, nullptr);
    EXPECT_EQ(alt->uac1Frequencies, (std::vector<ULONG>{32000, 44100, 48000}));
    EXPECT_TRUE(alt->Uac1AcceptsRate(44100));
    EXPECT_FALSE(alt->Uac1AcceptsRate(96000));
    EXPECT_TRUE(alt->endpoints[0].uac1SamplingFrequencyControl);
    EXPECT_EQ(uac1.FeatureUnit(2)->mute, (std::vector<ControlAccess>{kControlReadWrite, 0, 0}));

    const ConfigurationModel midi = Parse(MidiDevice());
    const InterfaceModel* streaming = midi.Interface(1);
    ASSERT_NE(streaming, nullptr);
    ASSERT_EQ(streaming->alternates.at(0).endpoints.size(), 2u);
    for (const auto& ep : streaming->alternates[0].endpoints) EXPECT_EQ(ep.role, EndpointRole::Midi);
}

// Every prefix of a configuration, and every length fault at every
// descriptor, each in a buffer of exactly its size: AddressSanitizer catches
// any read past it. The device still answers and streams what it could read.
TEST(DeviceModel, MalformedConfigurationsAreReadWithinTheirBytes) {
    const DescriptorSet set = BuildDescriptorSet(MakerDevice());
    for (std::size_t size = 0; size <= set.configuration.size(); ++size) {
        const std::vector<UCHAR> prefix(set.configuration.begin(), set.configuration.begin() + size);
        const ConfigurationModel m = ParseConfiguration(prefix.data(), prefix.size());
        if (size == set.configuration.size()) {
            EXPECT_EQ(m.interfaces.size(), 3u);
        }
    }
    const std::vector<std::size_t> offsets = DescriptorOffsets(set.configuration);
    for (LengthFault fault : kAllLengthFaults)
        for (std::size_t index = 0; index < offsets.size(); ++index) {
            SCOPED_TRACE(::testing::Message() << LengthFaultName(fault) << " at " << index);
            DescriptorSet broken = set;
            broken.configuration = WithLengthFault(set.configuration, fault, index);
            VirtualDevice device(broken);
            Set(device, Request(0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0), {});
            Set(device, Request(0x01, USB_REQUEST_SET_INTERFACE, 1, 2, 0), {});
            Get(device, EntityRequest(true, 1, 1, 0, kMakerClockSourceIds[0], 4));
            device.AdvanceFrames(64);
        }
}

TEST(DeviceModel, ClockGraphLoopFallsBackInsteadOfRecursing) {
    GenericUac2Options options;
    options.isochronous = false;
    options.clockSources = 2;
    options.selectorInputs = 2;
    Description d = GenericUac2Device(options);
    for (Entity& e : d.entities)
        if (e.kind == EntityKind::ClockSelector) e.sources = {e.id, e.id};  // selects itself
    VirtualDevice device(d);
    EXPECT_EQ(device.SampleRate(), 48000u);
    EXPECT_EQ(Set(device, EntityRequest(false, 1, 1, 0, 0x30, 1), {2}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.SampleRate(), 48000u);
}

}  // namespace
}  // namespace sim::usb::test

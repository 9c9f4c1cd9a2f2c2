// The simulated audio engine's endpoint records: made when a WaveRT
// subdevice registers, found again when it registers anew, and read and
// written in the layout the driver and the service rely on.
#include "sim/audio/endpoints.h"

#include "platform/ks/mmreg.h"
#include "platform/registry/registry_types.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using sim::audio::EndpointFormat;
using sim::audio::Flow;
using sim::usb::HostController;

// Devices without a driver: the test announces their subdevices itself, as
// PortCls does after enabling the interfaces.
struct Endpoints : ::testing::Test {
    sim::Machine machine;
    sim::Registry& registry = machine.registry();

    sim::usb::UsbPort* Plug() {
        return machine.usb().Plug(std::make_shared<sim::usb::VirtualDevice>(sim::usb::MakerDevice()));
    }
    void Announce(sim::usb::UsbPort* port, sim::SubdeviceEvent::Kind kind,
                  sim::PortType type = sim::PortType::WaveRT) {
        sim::SubdeviceEvent event{kind, {}};
        event.subdevice.physicalDevice = HostController::Pdo(port);
        event.subdevice.name = type == sim::PortType::WaveRT ? u"Wave" : u"Midi";
        event.subdevice.port = type;
        machine.portcls().Notify(event);
    }
    std::u16string Instance(sim::usb::UsbPort* port) { return HostController::Node(port)->InstanceId(); }
};

TEST_F(Endpoints, TheMachineBootsWithEmptyRenderAndCaptureKeys) {
    for (Flow flow : {Flow::Render, Flow::Capture}) {
        EXPECT_TRUE(registry.KeyExists(sim::audio::FlowKeyPath(flow)));
        EXPECT_TRUE(sim::audio::Endpoints(registry, flow).empty());
    }
    EXPECT_TRUE(registry.KeyExists(
        u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture"));
}

TEST_F(Endpoints, AWaveSubdeviceGetsOneRecordPerFlowAndFindsItAgain) {
    auto* port = Plug();
    Announce(port, sim::SubdeviceEvent::Kind::Registered, sim::PortType::Midi);  // not an audio filter
    EXPECT_EQ(machine.audioEndpoints().Created(), 0u);

    Announce(port, sim::SubdeviceEvent::Kind::Registered);
    std::u16string ids[2];
    for (Flow flow : {Flow::Render, Flow::Capture}) {
        const auto endpoints = sim::audio::Endpoints(registry, flow);
        ASSERT_EQ(endpoints.size(), 1u);
        const std::u16string& id = endpoints[0];
        ids[flow == Flow::Render ? 0 : 1] = id;
        EXPECT_EQ(id.size(), 38u);  // "{guid}": what the driver's 78-byte name buffer holds
        EXPECT_EQ(registry.GetString(sim::audio::PropertiesKeyPath(flow, id), kEndpointInstancePathValue),
                  u"{1}." + Instance(port));
        EXPECT_EQ(sim::audio::ReadDeviceFormat(registry, flow, id), EndpointFormat{});
        EXPECT_TRUE(sim::audio::HasCachedValue(registry, flow, id));
        EXPECT_EQ(sim::audio::DeviceState(registry, flow, id), DEVICE_STATE_ACTIVE);
    }
    EXPECT_NE(ids[0], ids[1]);

    // Gone, then back (a rate change): the same records, with what was
    // written to them meanwhile.
    Announce(port, sim::SubdeviceEvent::Kind::Unregistered);
    EXPECT_EQ(sim::audio::DeviceState(registry, Flow::Render, ids[0]), DEVICE_STATE_NOTPRESENT);
    EndpointFormat changed;
    changed.rate = 96000;
    changed.bits = 32;
    changed.validBits = 24;
    ASSERT_TRUE(sim::audio::WriteDeviceFormat(registry, Flow::Render, ids[0], changed));
    registry.DeleteValue(sim::audio::PropertiesKeyPath(Flow::Render, ids[0]), kEndpointCachedValue);
    Announce(port, sim::SubdeviceEvent::Kind::Registered);
    EXPECT_EQ(sim::audio::Endpoints(registry, Flow::Render), std::vector<std::u16string>{ids[0]});
    EXPECT_EQ(sim::audio::Endpoints(registry, Flow::Capture), std::vector<std::u16string>{ids[1]});
    EXPECT_EQ(sim::audio::ReadDeviceFormat(registry, Flow::Render, ids[0]), changed);
    EXPECT_FALSE(sim::audio::HasCachedValue(registry, Flow::Render, ids[0]));
    EXPECT_EQ(sim::audio::DeviceState(registry, Flow::Render, ids[0]), DEVICE_STATE_ACTIVE);
    EXPECT_EQ(machine.audioEndpoints().Created(), 2u);

    // Another device has its own records; lookups keep them apart.
    auto* second = Plug();
    Announce(second, sim::SubdeviceEvent::Kind::Registered);
    EXPECT_EQ(sim::audio::Endpoints(registry, Flow::Render).size(), 2u);
    EXPECT_EQ(sim::audio::FindEndpoint(registry, Flow::Render, Instance(port)), ids[0]);
    const auto other = sim::audio::FindEndpoint(registry, Flow::Render, Instance(second));
    ASSERT_TRUE(other);
    EXPECT_NE(*other, ids[0]);
}

TEST_F(Endpoints, RecordsSeededBeforehandAreFoundWithOrWithoutThePrefix) {
    auto* port = Plug();
    const std::u16string seeded = u"{00000000-0000-4000-8000-0000000000aa}";
    registry.SetString(sim::audio::PropertiesKeyPath(Flow::Capture, seeded), kEndpointInstancePathValue,
                       Instance(port));  // no "{n}." prefix
    machine.audioEndpoints().SetDefaultFormat(Flow::Render, {8, 16, 16, 48000, 0});
    Announce(port, sim::SubdeviceEvent::Kind::Registered);
    EXPECT_EQ(sim::audio::Endpoints(registry, Flow::Capture), std::vector<std::u16string>{seeded});
    EXPECT_EQ(machine.audioEndpoints().Created(), 1u);  // only the render record was new
    const auto render = sim::audio::FindEndpoint(registry, Flow::Render, sim::UpperCase(Instance(port)));
    ASSERT_TRUE(render);
    EXPECT_EQ(sim::audio::ReadDeviceFormat(registry, Flow::Render, *render), (EndpointFormat{8, 16, 16, 48000, 0}));
}

TEST_F(Endpoints, TheStoredFormatLayout) {
    const std::u16string id = u"{00000000-0000-4000-8000-0000000000bb}";
    const std::u16string properties = sim::audio::PropertiesKeyPath(Flow::Render, id);
    ASSERT_TRUE(sim::audio::WriteDeviceFormat(registry, Flow::Render, id, {6, 32, 24, 192000, 0x3F}));
    const auto value = registry.GetValue(properties, kEndpointDeviceFormatValue);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_BINARY));
    ASSERT_EQ(value->data.size(), sizeof(EndpointStoredFormat));
    EndpointStoredFormat stored;
    std::memcpy(&stored, value->data.data(), sizeof(stored));
    EXPECT_EQ(stored.header.variantType, kVariantTypeBlob);
    EXPECT_EQ(stored.header.formatBytes, 40u);
    EXPECT_EQ(stored.format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(stored.format.Format.nBlockAlign, 24);
    EXPECT_EQ(stored.format.Format.nAvgBytesPerSec, 192000u * 24);
    EXPECT_EQ(stored.format.Format.cbSize, 22);
    EXPECT_EQ(stored.format.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(stored.format.dwChannelMask, 0x3Fu);

    // A plain WAVEFORMATEX is read too; a header that promises more bytes
    // than the value holds is not.
    EndpointFormatHeader header{kVariantTypeBlob, 0, sizeof(WAVEFORMATEX)};
    WAVEFORMATEX plain{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
    std::vector<std::uint8_t> bytes(sizeof(header) + sizeof(plain));
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(bytes.data() + sizeof(header), &plain, sizeof(plain));
    registry.SetBinary(properties, kEndpointDeviceFormatValue, bytes);
    EXPECT_EQ(sim::audio::ReadDeviceFormat(registry, Flow::Render, id), (EndpointFormat{2, 16, 16, 44100, 0}));
    header.formatBytes = 40;
    std::memcpy(bytes.data(), &header, sizeof(header));
    registry.SetBinary(properties, kEndpointDeviceFormatValue, bytes);
    EXPECT_FALSE(sim::audio::ReadDeviceFormat(registry, Flow::Render, id));
}

}  // namespace

// The driver's registry parameters, device values, clock-source properties
// and endpoint records, against the simulated registry and PnP tree.
#include "driver/core/device_registry.h"
#include "driver/core/margin.h"
#include "driver/core/usb_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/ks/mmreg.h"
#include "platform/registry/registry_types.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "tests/support/machine_test.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using sim::usb::HostController;

TEST(OutputMargin, TableExamples) {
    struct Case {
        ULONG speed, rate, frames, margin;
    } cases[] = {
        {kBusSpeedSuper, 48000, 256, 240},  {kBusSpeedHigh, 96000, 64, 16},  {kBusSpeedHigh, 44100, 8192, 0},
        {kBusSpeedFull, 48000, 256, 0},     {kBusSpeedHigh, 48000, 256, 272}, {kBusSpeedHigh, 48000, 64, 48},
        {kBusSpeedHigh, 48000, 128, 96},    {kBusSpeedSuper, 192000, 512, 708}, {kBusSpeedSuper, 192000, 352, 176},
        {1, 48000, 256, 0},  // any code but 2 and 3
    };
    for (const Case& c : cases)
        EXPECT_EQ(OutputMargin(kBuiltInMargins, c.speed, c.rate, c.frames), c.margin)
            << c.speed << " " << c.rate << " " << c.frames;
}

struct Registry : test_support::MachineTest {
    const std::u16string service = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ovuac2audio";

    MarginTables Read() {
        MarginTables tables = kBuiltInMargins;
        UNICODE_STRING path{static_cast<USHORT>(service.size() * 2), static_cast<USHORT>(service.size() * 2),
                            const_cast<char16_t*>(service.data())};
        ReadDriverParameters(&path, &tables);
        return tables;
    }
    void SetMargin(const char16_t* name, ULONG type, const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        machine.registry().SetValue(service + u"\\Parameters", name, type, {bytes, bytes + size});
    }
};

TEST_F(Registry, MarginTablesComeFromTheParametersKeyWhateverTheValueType) {
    const MarginTables fresh = Read();
    EXPECT_EQ(std::memcmp(&fresh, &kBuiltInMargins, sizeof(MarginTables)), 0);  // no key: built-in

    MarginFormulaTable custom{};
    custom.classes[0][0] = {4096, 1, 1, 7};
    SetMargin(u"Margin Formula SS", REG_DWORD, &custom, sizeof(custom));  // any type: the bytes count
    // A short value fills from the front; the rest is zero.
    const MarginFormulaEntry shortHs = {100, 2, 1, 5};
    SetMargin(u"Margin Formula HS", REG_BINARY, &shortHs, sizeof(shortHs));
    MarginTables tables = Read();
    EXPECT_EQ(OutputMargin(tables, kBusSpeedSuper, 48000, 256), 263u);
    EXPECT_EQ(OutputMargin(tables, kBusSpeedSuper, 96000, 256), 0u);  // class 1 zeroed: ends at once
    EXPECT_EQ(OutputMargin(tables, kBusSpeedHigh, 44100, 64), 133u);
    EXPECT_EQ(OutputMargin(tables, kBusSpeedHigh, 44100, 101), 0u);

    // A value longer than the table is ignored.
    std::vector<std::uint8_t> tooLong(193, 0xFF);
    SetMargin(u"Margin Formula SS", REG_BINARY, tooLong.data(), tooLong.size());
    tables = Read();
    EXPECT_EQ(std::memcmp(&tables.superSpeed, &kBuiltInMarginSuperSpeed, sizeof(MarginFormulaTable)), 0);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u);
}

TEST_F(Registry, BothTablesAreTracedAsRead) {
    TraceRegisterProvider(&g_DriverTrace);
    machine.kernel().tracing().Enable("ovuac2audio", TRACE_LEVEL_INFORMATION);
    const MarginFormulaEntry shortHs = {100, 2, 1, 5};
    SetMargin(u"Margin Formula HS", REG_BINARY, &shortHs, sizeof(shortHs));
    Read();
    const std::string text = machine.kernel().tracing().Text();
    TraceUnregisterProvider(&g_DriverTrace);
    EXPECT_NE(text.find("Margin Formula SS class 0 entry 2: limit 4096 x3 /4 +48"), std::string::npos) << text;
    EXPECT_NE(text.find("Margin Formula SS class 2 entry 3: limit 0 x0 /0 +0"), std::string::npos) << text;
    EXPECT_NE(text.find("Margin Formula HS class 0 entry 0: limit 100 x2 /1 +5"), std::string::npos) << text;
    EXPECT_NE(text.find("Margin Formula HS class 0 entry 1: limit 0 x0 /0 +0"), std::string::npos) << text;
}

// A plugged maker device with no driver: the test calls the driver's
// registry code on its PDO.
struct DeviceRecords : test_support::MachineTest {
    sim::usb::UsbPort* port = PlugMaker();
    DEVICE_OBJECT* pdo = HostController::Pdo(port);
    std::u16string instance = HostController::Node(port)->InstanceId();
    const std::u16string audio = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";

    void AddEndpoint(const char16_t* direction, const char16_t* guid, const std::u16string& path) {
        machine.registry().SetString(audio + u"\\" + direction + u"\\" + guid + u"\\Properties",
                                     kEndpointInstancePathValue, path);
    }
    void SetFormat(const char16_t* direction, const char16_t* guid, USHORT channels, USHORT bits, ULONG rate) {
        std::vector<std::uint8_t> value(sizeof(EndpointFormatHeader) + sizeof(WAVEFORMATEXTENSIBLE));
        EndpointFormatHeader header{kVariantTypeBlob, 0, sizeof(WAVEFORMATEXTENSIBLE)};
        WAVEFORMATEXTENSIBLE format{};
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = channels;
        format.Format.nSamplesPerSec = rate;
        format.Format.wBitsPerSample = bits;
        std::memcpy(value.data(), &header, sizeof(header));
        std::memcpy(value.data() + sizeof(header), &format, sizeof(format));
        machine.registry().SetValue(audio + u"\\" + direction + u"\\" + guid + u"\\Properties",
                                    kEndpointDeviceFormatValue, REG_BINARY, value);
    }
    std::u16string Text(const UNICODE_STRING& s) { return {s.Buffer, s.Length / 2u}; }
};

TEST_F(DeviceRecords, TheInstancePathComesFromTheContainerIdOrTheHardwareKey) {
    DeviceRegistry records;
    ASSERT_EQ(records.FindDevicePath(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Text(records.DevicePath()), instance);

    // Without a container id match the hardware key's own name tells.
    machine.registry().DeleteValue(HostController::Node(port)->EnumKeyPath(), u"ContainerID");
    DeviceRegistry fallback;
    ASSERT_EQ(fallback.FindDevicePath(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Text(fallback.DevicePath()), instance);

    // No hardware id with an Enum key: no match.
    machine.registry().DeleteKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB");
    DeviceRegistry none;
    EXPECT_EQ(none.FindDevicePath(pdo), STATUS_NO_MATCH);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u);
}

TEST_F(DeviceRecords, EndpointsMatchTheInstancePathWithOrWithoutTheBracePrefix) {
    const char16_t* render = u"{0c1e2a3b-0000-4000-8000-000000000001}";
    const char16_t* capture = u"{0c1e2a3b-0000-4000-8000-000000000002}";
    AddEndpoint(u"Render", u"{0c1e2a3b-0000-4000-8000-00000000000f}", u"{1}.USB\\VID_0000&PID_0000\\other");
    AddEndpoint(u"Render", render, u"{1}." + sim::UpperCase(instance));
    AddEndpoint(u"Capture", capture, instance);
    SetFormat(u"Render", render, 2, 24, 96000);

    DeviceRegistry records;
    ASSERT_EQ(records.FindDevicePath(pdo), STATUS_SUCCESS);
    ASSERT_EQ(records.FindEndpoints(), STATUS_SUCCESS);
    EXPECT_EQ(Text(records.EndpointName(false)), render);
    EXPECT_EQ(Text(records.EndpointName(true)), capture);

    ULONG channels = 0, bits = 0, rate = 0;
    ASSERT_EQ(records.ReadEndpointFormat(false, &channels, &bits, &rate), STATUS_SUCCESS);
    EXPECT_EQ(channels, 2u);
    EXPECT_EQ(bits, 24u);
    EXPECT_EQ(rate, 96000u);
    EXPECT_EQ(records.ReadEndpointRate(true, &rate), STATUS_OBJECT_NAME_NOT_FOUND);  // no format stored
    // A header that promises more format than the value holds is not read.
    const std::u16string captureProps = audio + u"\\Capture\\" + capture + u"\\Properties";
    std::vector<std::uint8_t> cut(sizeof(EndpointFormatHeader) + sizeof(WAVEFORMATEX));
    const EndpointFormatHeader promise{kVariantTypeBlob, 0, sizeof(WAVEFORMATEXTENSIBLE)};
    std::memcpy(cut.data(), &promise, sizeof(promise));
    machine.registry().SetBinary(captureProps, kEndpointDeviceFormatValue, cut);
    EXPECT_EQ(records.ReadEndpointRate(true, &rate), STATUS_UNSUCCESSFUL);

    // The cache value goes; a missing one counts as deleted.
    const std::u16string renderProps = audio + u"\\Render\\" + render + u"\\Properties";
    machine.registry().SetDword(renderProps, kEndpointCachedValue, 1);
    EXPECT_EQ(records.ClearEndpointCache(), STATUS_SUCCESS);
    EXPECT_FALSE(machine.registry().GetValue(renderProps, kEndpointCachedValue));
}

TEST_F(DeviceRecords, ADirectionWithoutEndpointStaysEmptyAndIsNoError) {
    AddEndpoint(u"Render", u"{0c1e2a3b-0000-4000-8000-000000000001}", u"{1}." + instance);
    machine.registry().CreateKey(audio + u"\\Capture");
    DeviceRegistry records;
    ASSERT_EQ(records.FindDevicePath(pdo), STATUS_SUCCESS);
    EXPECT_EQ(records.FindEndpoints(), STATUS_SUCCESS);
    EXPECT_EQ(records.EndpointName(true).Length, 0);
    ULONG rate = 0;
    EXPECT_EQ(records.ReadEndpointRate(true, &rate), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(records.ClearEndpointCache(), STATUS_INVALID_DEVICE_REQUEST);

    // A missing direction key is a failure of the walk, not an absence.
    machine.registry().DeleteKey(audio + u"\\Capture");
    DeviceRegistry again;
    ASSERT_EQ(again.FindDevicePath(pdo), STATUS_SUCCESS);
    EXPECT_EQ(again.FindEndpoints(), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceRecords, AMissingDirectionIsLookedForAgainAndOverlongNamesEndTheWalk) {
    const char16_t* render = u"{0c1e2a3b-0000-4000-8000-000000000001}";
    AddEndpoint(u"Render", render, u"{1}." + instance);
    DeviceRegistry records;
    ASSERT_EQ(records.FindDevicePath(pdo), STATUS_SUCCESS);
    ASSERT_EQ(records.FindEndpoints(), STATUS_SUCCESS);
    EXPECT_FALSE(records.EndpointsFound());

    // The capture record appears later (the audio engine makes it once the
    // filter is there): the next walk finds it and keeps the render one.
    const char16_t* capture = u"{0c1e2a3b-0000-4000-8000-000000000002}";
    AddEndpoint(u"Capture", capture, u"{1}." + instance);
    ASSERT_EQ(records.FindEndpoints(), STATUS_SUCCESS);
    EXPECT_TRUE(records.EndpointsFound());
    EXPECT_EQ(Text(records.EndpointName(false)), render);
    EXPECT_EQ(Text(records.EndpointName(true)), capture);

    // A matching key whose name does not fit the 78-byte name: the walk
    // fails with that status rather than keep a cut name.
    machine.registry().DeleteKey(audio + u"\\Capture\\" + capture);
    AddEndpoint(u"Capture", u"{0.0.1.00000000}.{0c1e2a3b-0000-4000-8000-000000000002}", instance);
    DeviceRegistry again;
    ASSERT_EQ(again.FindDevicePath(pdo), STATUS_SUCCESS);
    EXPECT_EQ(again.FindEndpoints(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(again.EndpointName(true).Length, 0);
    EXPECT_EQ(machine.kernel().pool().LiveBlocks(), 0u);
}

TEST_F(DeviceRecords, HardwareKeyValuesAndClockSourceProperties) {
    ULONG value = 7;
    EXPECT_EQ(DeviceRegistry::ReadDeviceValue(pdo, kInitializedValue, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(DeviceRegistry::WriteInitialized(pdo, 0), STATUS_SUCCESS);
    const std::u16string hardwareKey = HostController::Node(port)->EnumKeyPath() + u"\\Device Parameters";
    EXPECT_EQ(machine.registry().GetDword(hardwareKey, kInitializedValue), 0u);
    EXPECT_EQ(DeviceRegistry::ReadDeviceValue(pdo, kInitializedValue, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    // Only the first four bytes count, whatever the type and length.
    machine.registry().SetBinary(hardwareKey, kDumpCaptureValue, {2, 0, 0, 0, 9, 9});
    EXPECT_EQ(DeviceRegistry::ReadDeviceValue(pdo, kDumpCaptureValue, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, kDumpCaptureHex);

    const UCHAR ids[] = {0x25, 0x26, 0x27, 0x28};
    ASSERT_EQ(DeviceRegistry::WriteClockSourceList(pdo, ids, sizeof(ids)), STATUS_SUCCESS);
    UCHAR read[8] = {};
    ULONG size = 0;
    DEVPROPTYPE type = 0;
    ASSERT_EQ(IoGetDevicePropertyData(pdo, &DEVPKEY_Uac2ClockSourceList, LOCALE_NEUTRAL, 0, sizeof(read), read, &size,
                                      &type),
              STATUS_SUCCESS);
    EXPECT_EQ(type, 0x1003u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(read, ids, 4), 0);
    ULONG clock = 0;
    EXPECT_EQ(DeviceRegistry::ReadClockSource(pdo, &clock), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(DeviceRegistry::WriteClockSource(pdo, 0x27), STATUS_SUCCESS);
    ASSERT_EQ(DeviceRegistry::ReadClockSource(pdo, &clock), STATUS_SUCCESS);
    EXPECT_EQ(clock, 0x27u);
}

}  // namespace

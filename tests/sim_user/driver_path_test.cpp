// The real driver reached through Win32 calls: a handle on the maker's
// device's "\Wave" interface path goes through the driver's dispatch to the
// port class.
#include "driver/core/driver_services.h"
#include "platform/base/ntstatus.h"
#include "platform/ks/ks.h"
#include "platform/win32/file_io.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "sim/user/process_manager.h"
#include "tests/support/machine_test.h"

#include <gtest/gtest.h>

namespace {

// A filter property of the stand-in miniport: its handler writes a ULONG.
constexpr GUID kTestPropertySet = {0x6d1f2c3a, 0x41b7, 0x4e55, {0x9a, 0x10, 0x2b, 0x6c, 0x3e, 0x77, 0x81, 0x05}};
NTSTATUS AnswerProperty(PCPROPERTY_REQUEST* request) {
    if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *static_cast<ULONG*>(request->Value) = 0x5eed;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
}
const PCPROPERTY_ITEM kProperties[] = {{&kTestPropertySet, 1, PCPROPERTY_ITEM_FLAG_GET, AnswerProperty}};
const PCAUTOMATION_TABLE kAutomation = {sizeof(PCPROPERTY_ITEM), 1, kProperties, 0, 0, nullptr, 0, 0, nullptr, 0};

// Just enough of a wave miniport for the port class to register the subdevice.
class WaveMiniport final : public IMiniportWaveRT {
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID* object) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWaveRT) {
            *object = static_cast<IMiniportWaveRT*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) override {
        *description = &filter_;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, KSDATARANGE*, KSDATARANGE*, ULONG, PVOID, ULONG*) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN, IResourceList*, IPortWaveRT*) override { return STATUS_SUCCESS; }
    NTSTATUS NewStream(IMiniportWaveRTStream**, IPortWaveRTStream*, ULONG, BOOLEAN, KSDATAFORMAT*) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION*) override { return STATUS_SUCCESS; }

private:
    ~WaveMiniport() = default;
    ULONG refs_ = 1;
    PCFILTER_DESCRIPTOR filter_{0, &kAutomation, 0, 0, nullptr, 0, 0, nullptr, 0, nullptr, 0, nullptr};
};

NTSTATUS NewWaveMiniport(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE) {
    *miniport = new WaveMiniport();
    return STATUS_SUCCESS;
}

struct DriverThroughWin32 : test_support::MachineTest {
    std::u16string wavePath;  // "\\?\USB#...#{guid}\Wave"

    void SetUp() override {
        InstallPackage(test_support::WithWaveMiniport(NewWaveMiniport));
        PlugMaker();
        for (const auto& i : machine.pnp().Interfaces())
            if (i.referenceString == u"Wave") wavePath = u"\\\\?\\" + i.symbolicLink.substr(4);
        ASSERT_FALSE(wavePath.empty());
    }
    void TearDown() override {
        sim::Process& test = machine.processes().TestProcess();
        test.Exit(0, true);
        EXPECT_TRUE(test.Report().Empty()) << test.Report().Text();
    }
};

TEST_F(DriverThroughWin32, TheWaveInterfacePathReachesThePortClassFilter) {
    HANDLE filter = CreateFileW(wavePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(filter, INVALID_HANDLE_VALUE) << GetLastError();

    // A kernel-streaming property of the filter (METHOD_NEITHER: the port
    // class reads the caller's buffers), answered at once by the miniport.
    KSPROPERTY property{};
    property.Set = kTestPropertySet;
    property.Id = 1;
    property.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    EXPECT_TRUE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof(property), &value, sizeof(value), &bytes,
                                &overlapped))
        << GetLastError();
    EXPECT_EQ(bytes, sizeof(ULONG));
    EXPECT_EQ(value, 0x5eedu);
    // One the filter does not have: STATUS_NOT_FOUND is ERROR_NOT_FOUND.
    property.Set = KSPROPSETID_Pin;
    property.Id = KSPROPERTY_PIN_CTYPES;
    EXPECT_FALSE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof(property), &value, sizeof(value), &bytes,
                                 &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    // The port class serves no reads on a filter: the driver's status comes
    // back as the Win32 error.
    UCHAR buffer[8];
    EXPECT_FALSE(ReadFile(filter, buffer, 8, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_TRUE(CloseHandle(filter));

    // The driver is built here without its "\asio" routines: the open is
    // refused with the driver's status.
    const std::u16string asioPath = wavePath.substr(0, wavePath.size() - 4) + u"asio";
    EXPECT_EQ(CreateFileW(asioPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
}

}  // namespace

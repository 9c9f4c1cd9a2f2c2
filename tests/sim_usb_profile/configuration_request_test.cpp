// USBD_CreateConfigurationRequestEx lays the select-configuration URB out
// as Windows does, from pool, and refuses what cannot be a URB.
#include "platform/kernel/pool.h"
#include "platform/usb/usbdlib.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pool.h"
#include "sim/machine.h"
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <vector>

namespace sim::usb {
namespace {

constexpr ULONG kTag = PoolTag("USBD");

TEST(UsbdConfigurationRequest, OneInterfaceRecordPerEntryWithItsPipes) {
    Machine machine;
    const DescriptorSet set = BuildDescriptorSet(MakerDevice());
    std::vector<std::uint8_t> bytes = set.configuration;
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());

    // The control interface, a streaming setting with its data endpoint,
    // and the other streaming interface's setting 0.
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr},
    };
    for (int i = 0; i < 3; ++i) ASSERT_NE(list[i].InterfaceDescriptor, nullptr);

    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 1));
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 3 * 24 + 24);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(machine.kernel().pool().Stats(kTag).liveBlocks, 1u);

    const auto offset = [&](const void* p) { return static_cast<const UCHAR*>(p) - reinterpret_cast<const UCHAR*>(urb); };
    const struct { std::ptrdiff_t at; USHORT length; UCHAR number, alt; ULONG pipes; } expected[] = {
        {40, 24, 0, 0, 0}, {64, 48, 1, 1, 1}, {112, 24, 2, 0, 0},
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const USBD_INTERFACE_INFORMATION* info = list[i].Interface;
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(offset(info), expected[i].at);
        EXPECT_EQ(info->Length, expected[i].length);
        EXPECT_EQ(info->InterfaceNumber, expected[i].number);
        EXPECT_EQ(info->AlternateSetting, expected[i].alt);
        EXPECT_EQ(info->NumberOfPipes, expected[i].pipes);
        EXPECT_EQ(info->InterfaceHandle, nullptr) << "the bus driver's to fill";
    }
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface->Pipes[0].PipeHandle, nullptr);

    ExFreePool(urb);
    EXPECT_EQ(machine.kernel().pool().Stats(kTag).liveBlocks, 0u);
}

TEST(UsbdConfigurationRequest, RefusesEmptyOversizedAndUnallocatableRequests) {
    Machine machine;
    USB_INTERFACE_DESCRIPTOR wide{9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 255, 0xFF, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, nullptr), nullptr);

    // Eleven interfaces of 255 pipes need more than a 16-bit URB length.
    std::vector<USBD_INTERFACE_LIST_ENTRY> big(12, {nullptr, nullptr});
    for (int i = 0; i < 11; ++i) big[i].InterfaceDescriptor = &wide;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, big.data()), nullptr);
    EXPECT_EQ(machine.kernel().pool().Stats(kTag).allocations, 0u) << "refused before allocating";

    USBD_INTERFACE_LIST_ENTRY one[] = {{&wide, nullptr}, {nullptr, nullptr}};
    machine.kernel().pool().FailNthAllocation(kTag, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, one), nullptr);
    EXPECT_EQ(one[0].Interface, nullptr);
    PURB urb = USBD_CreateConfigurationRequestEx(nullptr, one);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 24 + 255 * 24);
    ExFreePool(urb);
}

}  // namespace
}  // namespace sim::usb

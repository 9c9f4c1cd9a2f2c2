// URB builders fill exactly the fields the usbdlib.h macros fill, at the
// Win64 offsets; the status table carries the Windows values and names.
#include "platform/usb/usbdlib.h"
#include "platform/usb/usbioctl.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(UsbUrb, BuildersSetTheirFieldsAndLeaveTheRest) {
    alignas(8) unsigned char storage[sizeof(URB)];
    std::memset(storage, 0xCC, sizeof(storage));
    URB* urb = reinterpret_cast<URB*>(storage);
    char buffer[64];

    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), reinterpret_cast<PVOID>(0x1234),
                                           buffer, nullptr, 48, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb->UrbHeader.Length, 128);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.PipeHandle, reinterpret_cast<PVOID>(0x1234));
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferFlags, 3u);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 48u);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBuffer, buffer);
    EXPECT_EQ(static_cast<unsigned>(urb->UrbHeader.Status), 0xCCCCCCCCu) << "the status is the bus driver's to set";

    std::memset(storage, 0, sizeof(storage));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 3,
                                 USB_LANGID_ENGLISH_US, buffer, nullptr, 4, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(storage[131], USB_STRING_DESCRIPTOR_TYPE) << "DescriptorType at byte 131";
    EXPECT_EQ(storage[130], 3) << "Index at byte 130";
    EXPECT_EQ(storage[132] | (storage[133] << 8), 0x0409) << "LanguageId at byte 132";

    std::memset(storage, 0, sizeof(storage));
    UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, 0x02, 0x0100, 0x2900, buffer, nullptr, 14, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, 0x1B);
    EXPECT_EQ(storage[129], 0x02) << "Request at byte 129";
    EXPECT_EQ(storage[130] | (storage[131] << 8), 0x0100) << "Value at byte 130";
    EXPECT_EQ(storage[132] | (storage[133] << 8), 0x2900) << "Index at byte 132";

    std::memset(storage, 0, sizeof(storage));
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(2), reinterpret_cast<PVOID>(0x77), 1, 2);
    EXPECT_EQ(urb->UrbHeader.Length, 104);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 1);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 2);
    EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, reinterpret_cast<PVOID>(0x77));
}

TEST(UsbUrb, StatusValuesAndNames) {
    const struct { USBD_STATUS status; std::uint32_t value; const char* name; } cases[] = {
        {USBD_STATUS_SUCCESS, 0x00000000, "USBD_STATUS_SUCCESS"},
        {USBD_STATUS_PENDING, 0x40000000, "USBD_STATUS_PENDING"},
        {USBD_STATUS_STALL_PID, 0xC0000004, "USBD_STATUS_STALL_PID"},
        {USBD_STATUS_DEV_NOT_RESPONDING, 0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING"},
        {USBD_STATUS_XACT_ERROR, 0xC0000011, "USBD_STATUS_XACT_ERROR"},
        {USBD_STATUS_INVALID_PARAMETER, 0x80000300, "USBD_STATUS_INVALID_PARAMETER"},
        {USBD_STATUS_BUFFER_TOO_SMALL, 0xC0003000, "USBD_STATUS_BUFFER_TOO_SMALL"},
        {USBD_STATUS_DEVICE_GONE, 0xC0007000, "USBD_STATUS_DEVICE_GONE"},
        {USBD_STATUS_CANCELED, 0xC0010000, "USBD_STATUS_CANCELED"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<std::uint32_t>(c.status), c.value);
        EXPECT_STREQ(UsbdStatusName(c.status), c.name);
    }
    EXPECT_EQ(UsbdStatusName(static_cast<USBD_STATUS>(0xC0DE0000u)), nullptr);
    EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_PENDING));
    EXPECT_TRUE(USBD_PENDING(USBD_STATUS_PENDING));
    EXPECT_FALSE(USBD_PENDING(USBD_STATUS_STALL_PID));
    EXPECT_TRUE(USBD_ERROR(USBD_STATUS_INVALID_PARAMETER)) << "the 0x8 class is an error too";
}

}  // namespace

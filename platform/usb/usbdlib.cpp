// Bounded descriptor walks and the USBD parse routines built on them.
#include "platform/usb/usbdlib.h"
#include "platform/usb/walk.h"

#include <cstdint>

namespace {

bool Inside(UsbDescriptorRange range, const UCHAR* p) {
    // Compared as integers: the position may come from anywhere.
    const auto value = reinterpret_cast<std::uintptr_t>(p);
    return value >= reinterpret_cast<std::uintptr_t>(range.begin) && value < reinterpret_cast<std::uintptr_t>(range.end);
}

const UCHAR* Bytes(const void* p) { return static_cast<const UCHAR*>(p); }

}  // namespace

UsbDescriptorRange UsbBufferRange(const void* buffer, ULONG length) {
    if (buffer == nullptr) return {};
    return {Bytes(buffer), Bytes(buffer) + length};
}

UsbDescriptorRange UsbConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration, ULONG bufferLength) {
    if (configuration == nullptr || bufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return {};
    const ULONG total = configuration->wTotalLength;
    return UsbBufferRange(configuration, total < bufferLength ? total : bufferLength);
}

UsbDescriptorRange UsbConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
    if (configuration == nullptr) return {};
    // A wTotalLength below 9 leaves no room even for the configuration
    // descriptor itself, so the range holds no valid descriptor at all.
    return UsbBufferRange(configuration, configuration->wTotalLength);
}

const USB_COMMON_DESCRIPTOR* UsbDescriptorAt(UsbDescriptorRange range, const void* position) {
    const UCHAR* p = Bytes(position);
    if (p == nullptr || !Inside(range, p)) return nullptr;
    const auto room = static_cast<std::uintptr_t>(range.end - p);
    if (room < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
    const UCHAR length = p[0];
    if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > room) return nullptr;
    return reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
}

const USB_COMMON_DESCRIPTOR* UsbNextDescriptor(UsbDescriptorRange range, const void* current) {
    const USB_COMMON_DESCRIPTOR* d = UsbDescriptorAt(range, current);
    if (d == nullptr) return nullptr;
    return UsbDescriptorAt(range, Bytes(d) + d->bLength);
}

const USB_COMMON_DESCRIPTOR* UsbFindDescriptor(UsbDescriptorRange range, const void* from, UCHAR type, LONG subtype,
                                               bool stopAtInterface) {
    const USB_COMMON_DESCRIPTOR* first = UsbDescriptorAt(range, from);
    for (const USB_COMMON_DESCRIPTOR* d = first; d != nullptr; d = UsbNextDescriptor(range, d)) {
        if (d->bDescriptorType == type) {
            if (subtype == USB_ANY_SUBTYPE) return d;
            if (d->bLength >= 3 && Bytes(d)[2] == static_cast<UCHAR>(subtype)) return d;
        }
        if (stopAtInterface && d != first && d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) return nullptr;
    }
    return nullptr;
}

const USB_INTERFACE_DESCRIPTOR* UsbNextInterfaceDescriptor(UsbDescriptorRange range, const void* current) {
    for (const USB_COMMON_DESCRIPTOR* d = UsbNextDescriptor(range, current); d != nullptr;
         d = UsbNextDescriptor(range, d)) {
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
        if (const auto* found = UsbDescriptorAs<USB_INTERFACE_DESCRIPTOR>(d)) return found;
    }
    return nullptr;
}

LONG UsbDescriptorOffset(UsbDescriptorRange range, const void* position) {
    const UCHAR* p = Bytes(position);
    if (p == nullptr || !Inside(range, p)) return -1;
    return static_cast<LONG>(p - range.begin);
}

bool UsbRangeHolds(UsbDescriptorRange range, const void* position, ULONG length) {
    const UCHAR* p = Bytes(position);
    if (p == nullptr || !Inside(range, p)) return false;
    return length <= static_cast<std::uintptr_t>(range.end - p);
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
    if (DescriptorType < 0 || DescriptorType > 0xFF) return nullptr;
    const UsbDescriptorRange range = UsbBufferRange(DescriptorBuffer, TotalLength);
    return const_cast<PUSB_COMMON_DESCRIPTOR>(
        UsbFindDescriptor(range, StartPosition, static_cast<UCHAR>(DescriptorType)));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
    const UsbDescriptorRange range = UsbConfigurationRange(ConfigurationDescriptor);
    const auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
    for (const USB_COMMON_DESCRIPTOR* d = UsbFindDescriptor(range, StartPosition, USB_INTERFACE_DESCRIPTOR_TYPE);
         d != nullptr; d = UsbFindDescriptor(range, Bytes(d) + d->bLength, USB_INTERFACE_DESCRIPTOR_TYPE)) {
        const auto* candidate = UsbDescriptorAs<USB_INTERFACE_DESCRIPTOR>(d);
        if (candidate == nullptr) continue;  // too short to hold the fields compared
        if (matches(InterfaceNumber, candidate->bInterfaceNumber) &&
            matches(AlternateSetting, candidate->bAlternateSetting) &&
            matches(InterfaceClass, candidate->bInterfaceClass) &&
            matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
            matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(candidate);
        }
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

const char* UsbdStatusName(USBD_STATUS status) {
    switch (static_cast<std::uint32_t>(status)) {
#define OVU_USBD_STATUS_CASE(name, value) \
    case value:                           \
        return #name;
        OVU_USBD_STATUS_TABLE(OVU_USBD_STATUS_CASE)
#undef OVU_USBD_STATUS_CASE
    }
    return nullptr;
}

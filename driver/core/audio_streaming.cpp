// The AudioStreaming part of Start: which streaming interfaces exist, their
// alternate settings, and which endpoint of a setting carries the data and
// which the feedback.
#include "driver/core/audio_device.h"

#include "driver/core/usb_trace.h"
#include "platform/usb/usbdlib.h"

namespace {

// The first descriptor of `type` (and `subtype`) after `from` and before the
// next interface descriptor.
const USB_AUDIO_COMMON_DESCRIPTOR* FindInSetting(UsbDescriptorRange range, const void* from, UCHAR type,
                                                 UCHAR subtype) {
    const USB_COMMON_DESCRIPTOR* start =
        UsbNextDescriptor(range, static_cast<const USB_COMMON_DESCRIPTOR*>(from));
    return reinterpret_cast<const USB_AUDIO_COMMON_DESCRIPTOR*>(
        UsbFindDescriptor(range, start, type, subtype, true));
}

// The endpoints of one setting, in order: at most bNumEndpoints of the
// endpoint descriptors before the next interface.
class SettingEndpoints {
public:
    SettingEndpoints(UsbDescriptorRange range, const USB_INTERFACE_DESCRIPTOR* setting)
        : range_(range), setting_(setting) {}

    // STATUS_NOT_SUPPORTED when the setting holds fewer endpoints than it
    // declares, or one too short to be an endpoint.
    NTSTATUS Check() const {
        ULONG found = 0;
        bool ok = true;
        ForEach([&](const USB_ENDPOINT_DESCRIPTOR* endpoint) {
            ok = ok && endpoint != nullptr;
            ++found;
        });
        return ok && found == setting_->bNumEndpoints ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    }

    template <class F>
    void ForEach(F visit) const {
        ULONG seen = 0;
        for (const USB_COMMON_DESCRIPTOR* d =
                 UsbNextDescriptor(range_, reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(setting_));
             d != nullptr && seen < setting_->bNumEndpoints; d = UsbNextDescriptor(range_, d)) {
            if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
            ++seen;
            visit(UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(d));
        }
    }

private:
    UsbDescriptorRange range_;
    const USB_INTERFACE_DESCRIPTOR* setting_;
};

bool IsIsochronous(const USB_ENDPOINT_DESCRIPTOR* e) {
    return (e->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
}

ULONG Usage(const USB_ENDPOINT_DESCRIPTOR* e) { return (e->bmAttributes >> 4) & 3; }

}  // namespace

NTSTATUS UsbAudioDevice::EnumerateStreaming() {
    auto* configuration = const_cast<USB_CONFIGURATION_DESCRIPTOR*>(Configuration());
    const UCHAR interfaceClass = StreamingClass();
    for (ULONG number = AcInterface->bInterfaceNumber + 1u; number <= 0xFF; ++number) {
        if (USBD_ParseConfigurationDescriptorEx(configuration, configuration, static_cast<LONG>(number), 0,
                                                interfaceClass, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1) == nullptr)
            break;
        auto* record = static_cast<StreamingInterface*>(
            ExAllocatePoolZero(NonPagedPoolNx, sizeof(StreamingInterface), kUsbPoolTag));
        if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        record->InterfaceNumber = static_cast<UCHAR>(number);
        const NTSTATUS status = ParseStreaming(record);
        if (!NT_SUCCESS(status)) {
            MODEL_TRACE(TRACE_LEVEL_ERROR, "streaming interface %u does not parse: 0x%08X",
                        static_cast<unsigned>(number), static_cast<unsigned>(status));
            ExFreePoolWithTag(record, kUsbPoolTag);
            return status;
        }
        // Appended in interface-number order.
        StreamingInterface** tail = &Streaming;
        while (*tail != nullptr) tail = &(*tail)->Next;
        *tail = record;
        ++StreamingCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ParseStreaming(StreamingInterface* record) {
    if (record == nullptr) return STATUS_INVALID_PARAMETER;
    auto* configuration = const_cast<USB_CONFIGURATION_DESCRIPTOR*>(Configuration());
    const UsbDescriptorRange range = ConfigurationRange();
    const LONG number = record->InterfaceNumber;
    const auto setting = [&](ULONG alt) {
        return USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, static_cast<LONG>(alt), -1,
                                                   -1, -1);
    };

    // Step 1: setting 1's first endpoint tells the direction.
    const USB_INTERFACE_DESCRIPTOR* first = setting(1);
    if (first == nullptr || first->bNumEndpoints == 0) return STATUS_NOT_SUPPORTED;
    const auto* endpoint = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(UsbFindDescriptor(
        range, UsbNextDescriptor(range, reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(first)),
        USB_ENDPOINT_DESCRIPTOR_TYPE, USB_ANY_SUBTYPE, true));
    if (endpoint == nullptr) return STATUS_NOT_SUPPORTED;
    record->IsInput = USB_ENDPOINT_DIRECTION_IN(endpoint->bEndpointAddress) ? 1 : 0;

    // Step 2: settings 0 and 1, then every consecutive one from 2.
    ULONG count = 2;
    while (count <= 0xFF && setting(count) != nullptr) ++count;
    auto* alts = static_cast<AltSetting*>(ExAllocatePoolZero(NonPagedPoolNx, count * sizeof(AltSetting), kUsbPoolTag));
    if (alts == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

    // Step 3.
    const ULONG generalLength =
        IsUac2 ? sizeof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR) : sizeof(USB_AUDIO10_AS_GENERAL_DESCRIPTOR);
    const ULONG formatLength =
        IsUac2 ? sizeof(USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR) : sizeof(USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR);
    const ULONG csEndpointLength =
        IsUac2 ? sizeof(USB_AUDIO20_CS_AS_ENDPOINT_DESCRIPTOR) : sizeof(USB_AUDIO10_CS_AS_ENDPOINT_DESCRIPTOR);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        const USB_INTERFACE_DESCRIPTOR* s = setting(i);
        if (s == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        AltSetting& alt = alts[i];
        alt.Interface = s;
        if (s->bNumEndpoints == 0) continue;
        status = ClassifyEndpoints(&alt, s);
        if (!NT_SUCCESS(status)) break;
        alt.AsGeneral = FindInSetting(range, s, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_GENERAL);
        alt.FormatType = FindInSetting(range, s, USB_AUDIO_CS_INTERFACE, USB_AUDIO_AS_FORMAT_TYPE);
        if (alt.DataEndpoint != nullptr)
            alt.CsEndpoint = FindInSetting(range, alt.DataEndpoint, USB_AUDIO_CS_ENDPOINT, USB_AUDIO_EP_GENERAL);
        // Fields of these are read later: each must hold its fixed part.
        if ((alt.AsGeneral != nullptr && alt.AsGeneral->bLength < generalLength) ||
            (alt.FormatType != nullptr && alt.FormatType->bLength < formatLength) ||
            (alt.CsEndpoint != nullptr && alt.CsEndpoint->bLength < csEndpointLength))
            status = STATUS_NOT_SUPPORTED;
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(alts, kUsbPoolTag);
        return status;
    }
    record->AltCount = count;
    record->Alts = alts;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ClassifyEndpoints(AltSetting* alt, const USB_INTERFACE_DESCRIPTOR* setting) {
    const SettingEndpoints endpoints(ConfigurationRange(), setting);
    const NTSTATUS status = endpoints.Check();
    if (!NT_SUCCESS(status)) return status;
    // bInterval limits of an isochronous endpoint the driver can use.
    const ULONG limit = HighSpeed() ? 4 : 15;
    const auto withinLimit = [limit](const USB_ENDPOINT_DESCRIPTOR* e) {
        return !IsIsochronous(e) || e->bInterval <= limit;
    };

    if (IsUac2) {
        endpoints.ForEach([&](const USB_ENDPOINT_DESCRIPTOR* e) {
            const ULONG usage = Usage(e);
            if ((usage == 0 || usage == 2) && withinLimit(e) && alt->DataEndpoint == nullptr)
                alt->DataEndpoint = e;
            else if (usage == 1 && withinLimit(e) && alt->FeedbackEndpoint == nullptr)
                alt->FeedbackEndpoint = e;
        });
        return STATUS_SUCCESS;
    }

    endpoints.ForEach([&](const USB_ENDPOINT_DESCRIPTOR* e) {
        const ULONG usage = Usage(e);
        if ((usage == 0 || usage == 2) && alt->DataEndpoint == nullptr) alt->DataEndpoint = e;
    });
    const USB_ENDPOINT_DESCRIPTOR* data = alt->DataEndpoint;
    // Only a 9-byte 1.0 data endpoint names its synch endpoint.
    if (data == nullptr || data->bLength < sizeof(USB_AUDIO10_ENDPOINT_DESCRIPTOR)) return STATUS_SUCCESS;
    const UCHAR synchAddress = reinterpret_cast<const USB_AUDIO10_ENDPOINT_DESCRIPTOR*>(data)->bSynchAddress;
    endpoints.ForEach([&](const USB_ENDPOINT_DESCRIPTOR* e) {
        const bool noSync = (e->bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK) == 0;
        if (noSync && withinLimit(e) && alt->FeedbackEndpoint == nullptr && synchAddress == e->bEndpointAddress)
            alt->FeedbackEndpoint = e;
    });
    return STATUS_SUCCESS;
}

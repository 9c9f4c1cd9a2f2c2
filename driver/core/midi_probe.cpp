// The USB-MIDI probe of Start: does the configuration carry a MIDIStreaming
// interface the MIDI miniport can serve, and with which endpoints and
// embedded jacks.
#include "driver/core/audio_device.h"

#include "driver/core/usb_trace.h"
#include "platform/usb/midi.h"
#include "platform/usb/usbdlib.h"

namespace {

const UCHAR* Bytes(const void* p) { return static_cast<const UCHAR*>(p); }

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

}  // namespace

NTSTATUS UsbAudioDevice::ProbeMidiSetting(const USB_INTERFACE_DESCRIPTOR* setting) {
    const UsbDescriptorRange range = ConfigurationRange();
    const auto* start = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(setting);

    // 1. The MIDIStreaming header, class version 1.0 only.
    const USB_COMMON_DESCRIPTOR* header = UsbNextDescriptor(range, start);
    if (header == nullptr || header->bDescriptorType != USB_AUDIO_CS_INTERFACE ||
        header->bLength < sizeof(USB_MIDI_MS_HEADER_DESCRIPTOR) || Bytes(header)[2] != USB_MIDI_MS_HEADER ||
        Le16(Bytes(header) + 3) != USB_MIDI_BCD_MSC_10)
        return STATUS_NOT_SUPPORTED;
    const ULONG blockLength = Le16(Bytes(header) + 5);
    if (blockLength < header->bLength || !UsbRangeHolds(range, header, blockLength)) return STATUS_NOT_SUPPORTED;
    const UCHAR* blockEnd = Bytes(header) + blockLength;

    // 2. The jacks of the class-specific block (which, as the class
    // document lays it out, also spans the endpoints).
    ULONG renderJacks = 0;
    ULONG captureJacks = 0;
    for (const USB_COMMON_DESCRIPTOR* d = UsbNextDescriptor(range, header); d != nullptr && Bytes(d) < blockEnd;
         d = UsbNextDescriptor(range, d)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (d->bDescriptorType != USB_AUDIO_CS_INTERFACE) continue;
        if (d->bLength < 4) return STATUS_NOT_SUPPORTED;
        const UCHAR subtype = Bytes(d)[2];
        if (subtype != USB_MIDI_IN_JACK && subtype != USB_MIDI_OUT_JACK) return STATUS_NOT_SUPPORTED;
        if (d->bLength < sizeof(USB_MIDI_IN_JACK_DESCRIPTOR)) return STATUS_NOT_SUPPORTED;
        if (Bytes(d)[3] != USB_MIDI_JACK_EMBEDDED) continue;
        if (subtype == USB_MIDI_IN_JACK)
            ++renderJacks;
        else
            ++captureJacks;
    }

    // 3. Each endpoint is followed (after a SuperSpeed companion) by its
    // MS_GENERAL descriptor.
    const USB_ENDPOINT_DESCRIPTOR* in = nullptr;
    const USB_ENDPOINT_DESCRIPTOR* out = nullptr;
    ULONG seen = 0;
    for (const USB_COMMON_DESCRIPTOR* d = UsbNextDescriptor(range, start);
         d != nullptr && seen < setting->bNumEndpoints; d = UsbNextDescriptor(range, d)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
        ++seen;
        const auto* endpoint = UsbDescriptorAs<USB_ENDPOINT_DESCRIPTOR>(d);
        if (endpoint == nullptr) return STATUS_NOT_SUPPORTED;
        const USB_COMMON_DESCRIPTOR* general = UsbNextDescriptor(range, d);
        if (general != nullptr && general->bDescriptorType == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE)
            general = UsbNextDescriptor(range, general);
        if (general == nullptr || general->bDescriptorType != USB_AUDIO_CS_ENDPOINT ||
            general->bLength < sizeof(USB_MIDI_MS_ENDPOINT_DESCRIPTOR) || Bytes(general)[2] != USB_MIDI_MS_GENERAL)
            return STATUS_NOT_SUPPORTED;
        if (USB_ENDPOINT_DIRECTION_IN(endpoint->bEndpointAddress)) {
            if (in == nullptr) in = endpoint;
        } else if (out == nullptr) {
            out = endpoint;
        }
    }
    if (seen != setting->bNumEndpoints) return STATUS_NOT_SUPPORTED;

    // 4.
    if (in != nullptr && out != nullptr) {
        ExtraInterface = setting;
        MidiInEndpoint = in;
        MidiOutEndpoint = out;
        MidiRenderJacks = renderJacks;
        MidiCaptureJacks = captureJacks;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ProbeMidi() {
    auto* configuration = const_cast<USB_CONFIGURATION_DESCRIPTOR*>(Configuration());
    const UsbDescriptorRange range = ConfigurationRange();
    const USB_INTERFACE_DESCRIPTOR* found = USBD_ParseConfigurationDescriptorEx(
        configuration, configuration, -1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_MIDISTREAMING, 0);
    if (found == nullptr) return STATUS_NOT_SUPPORTED;

    for (const USB_INTERFACE_DESCRIPTOR* s = found; s != nullptr && ExtraInterface == nullptr;
         s = UsbNextInterfaceDescriptor(range, reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(s))) {
        if (s->bInterfaceNumber != found->bInterfaceNumber || s->bNumEndpoints < 2) continue;
        const NTSTATUS status = ProbeMidiSetting(s);
        if (!NT_SUCCESS(status)) return status;
    }
    if (ExtraInterface == nullptr) return STATUS_NOT_SUPPORTED;
    // A USB-MIDI event packet addresses 16 cables per direction.
    if (MidiRenderJacks > USB_MIDI_MAX_CABLES || MidiCaptureJacks > USB_MIDI_MAX_CABLES) {
        MODEL_TRACE(TRACE_LEVEL_WARNING, "MIDI interface with %u/%u embedded jacks refused",
                    static_cast<unsigned>(MidiRenderJacks), static_cast<unsigned>(MidiCaptureJacks));
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

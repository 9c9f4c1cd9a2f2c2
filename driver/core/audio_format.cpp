// Formats: which alternate setting carries a requested format, applying it
// (clock rate, setting, pipes), and the device-wide clock operations.
// PASSIVE_LEVEL, under the adapter's mutex; streams on the interface are
// stopped while its setting changes.
#include "driver/core/audio_device.h"

#include "driver/core/audio_formats_table.h"
#include "driver/core/usb_trace.h"

namespace {

ULONG Le24(const UCHAR* p) {
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16);
}

// What one UAC2 setting offers, or false when it is no usable type I PCM
// setting for `formatTag`.
bool Uac2Setting(const AltSetting& alt, ULONG formatTag, ULONG* channels, ULONG* resolution, ULONG* container) {
    const auto* general = reinterpret_cast<const USB_AUDIO20_AS_GENERAL_DESCRIPTOR*>(alt.AsGeneral);
    const auto* format = reinterpret_cast<const USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR*>(alt.FormatType);
    if (general->bFormatType != USB_AUDIO_FORMAT_TYPE_I || format->bFormatType != USB_AUDIO_FORMAT_TYPE_I) return false;
    const ULONG formats = general->bmFormats;
    // Each format the setting announces pins the tag it can carry.
    if ((formats & (USB_AUDIO20_FORMAT_PCM | USB_AUDIO20_FORMAT_PCM8)) && formatTag != kFormatTagPcm) return false;
    if ((formats & USB_AUDIO20_FORMAT_IEEE_FLOAT) && formatTag != kFormatTagIeeeFloat) return false;
    if ((formats & USB_AUDIO20_FORMAT_ALAW) && formatTag != kFormatTagAlaw) return false;
    if ((formats & USB_AUDIO20_FORMAT_MULAW) && formatTag != kFormatTagMulaw) return false;
    const ULONG needed = format->bBitResolution == 8 ? USB_AUDIO20_FORMAT_PCM8 : USB_AUDIO20_FORMAT_PCM;
    if ((formats & needed) == 0) return false;
    *channels = general->bNrChannels;
    *resolution = format->bBitResolution;
    *container = format->bSubslotSize * 8u;
    return true;
}

}  // namespace

bool UsbAudioDevice::AcceptsUac1Rate(StreamingInterface* stream, UCHAR altIndex, ULONG rate) {
    const AltSetting& alt = stream->Alts[altIndex];
    const auto* format = reinterpret_cast<const USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR*>(alt.FormatType);
    const ULONG listed = format->FrequencyCount();
    if (format->IsContinuous()) return listed == 2 && format->tSamFreq(0) <= rate && rate <= format->tSamFreq(1);
    bool found = false;
    for (ULONG i = 0; i < listed && !found; ++i) found = format->tSamFreq(i) == rate;
    if (!found) return false;
    if (format->bSamFreqType == 1 || !stream->IsInput) return true;
    const bool hasFrequencyControl =
        alt.CsEndpoint != nullptr &&
        (reinterpret_cast<const USB_AUDIO10_CS_AS_ENDPOINT_DESCRIPTOR*>(alt.CsEndpoint)->bmAttributes &
         USB_AUDIO10_EP_ATTRIBUTE_SAMPLING_FREQUENCY) != 0;
    if (hasFrequencyControl) return true;

    // A capture endpoint that cannot be told a rate runs at the one its
    // setting implies: select the setting for a moment and ask.
    const UCHAR previous = stream->CurrentAlt;
    if (!NT_SUCCESS(SelectAltSetting(stream->InterfaceNumber, altIndex))) {
        LinkPipes();
        return false;
    }
    UCHAR value[3] = {};
    ULONG moved = 0;
    const NTSTATUS status = ControlRequest(USB_AUDIO_REQUEST_TYPE_GET_ENDPOINT, USB_AUDIO10_REQUEST_GET_CUR,
                                          USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL << 8, alt.DataEndpoint->bEndpointAddress,
                                          sizeof(value), value, &moved);
    SelectAltSetting(stream->InterfaceNumber, previous);
    // The interface's pipe information was replaced twice.
    LinkPipes();
    return NT_SUCCESS(status) && moved == sizeof(value) && Le24(value) == rate;
}

NTSTATUS UsbAudioDevice::ChooseAltSetting(StreamingInterface* stream, ULONG formatTag, ULONG channels, ULONG bits,
                                          ULONG rate, AltSettingChoice* choice) {
    if (stream == nullptr || choice == nullptr) return STATUS_INVALID_PARAMETER;
    if (IsUac2 && FindAudioRangeForRate(AudioLimitsTable(BusSpeed(), true), rate) == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;

    bool remembered = false;
    AltSettingChoice best{};
    for (ULONG i = 1; i < stream->AltCount; ++i) {
        const AltSetting& alt = stream->Alts[i];
        if (alt.DataEndpoint == nullptr || alt.AsGeneral == nullptr || alt.FormatType == nullptr) continue;
        ULONG altChannels = 0;
        ULONG resolution = 0;
        ULONG container = 0;
        bool match = false;
        if (IsUac2) {
            if (!Uac2Setting(alt, formatTag, &altChannels, &resolution, &container)) continue;
            match = (altChannels == channels || (channels == 2 && altChannels > 2)) && resolution == bits;
        } else {
            const auto* general = reinterpret_cast<const USB_AUDIO10_AS_GENERAL_DESCRIPTOR*>(alt.AsGeneral);
            const auto* format = reinterpret_cast<const USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR*>(alt.FormatType);
            if (format->bFormatType != USB_AUDIO_FORMAT_TYPE_I) continue;
            const bool pcm = (general->wFormatTag == USB_AUDIO10_FORMAT_PCM && format->bBitResolution != 8) ||
                             (general->wFormatTag == USB_AUDIO10_FORMAT_PCM8 && format->bBitResolution == 8);
            if (!pcm || formatTag != kFormatTagPcm) continue;
            if (!AcceptsUac1Rate(stream, static_cast<UCHAR>(i), rate)) continue;
            altChannels = format->bNrChannels;
            resolution = format->bBitResolution;
            container = format->bSubframeSize * 8u;
            match = altChannels == channels && resolution == bits;
        }
        if (match) {
            *choice = {static_cast<UCHAR>(i), channels, container};
            return STATUS_SUCCESS;
        }
        if (!remembered || (altChannels >= best.Channels && container >= best.ContainerBits)) {
            best = {static_cast<UCHAR>(i), altChannels, container};
            remembered = true;
        }
    }
    if (!remembered) return STATUS_NOT_SUPPORTED;
    *choice = best;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ChooseFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                      ULONG* outChannels, ULONG* outContainerBits) {
    StreamingInterface* stream = capture ? CaptureInterface : PlaybackInterface;
    if (stream == nullptr) return STATUS_INVALID_PARAMETER;
    AltSettingChoice choice{};
    const NTSTATUS status = ChooseAltSetting(stream, formatTag, channels, bits, rate, &choice);
    if (!NT_SUCCESS(status)) return status;
    if (outChannels != nullptr) *outChannels = choice.Channels;
    if (outContainerBits != nullptr) *outContainerBits = choice.ContainerBits;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ApplyFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                     ULONG chunksPerTransfer, AppliedFormat* applied) {
    if (applied == nullptr) return STATUS_INVALID_PARAMETER;
    StreamingInterface* stream = capture ? CaptureInterface : PlaybackInterface;
    if (stream == nullptr) return STATUS_INVALID_PARAMETER;
    AltSettingChoice choice{};
    NTSTATUS status = ChooseAltSetting(stream, formatTag, channels, bits, rate, &choice);
    if (!NT_SUCCESS(status)) return status;
    // Known before anything changes: the channel count the speed carries.
    const AudioRangeTable limits = AudioLimitsTable(BusSpeed(), capture);
    if (limits.Count == 0) return STATUS_UNSUCCESSFUL;
    const KSDATARANGE_AUDIO* entry = FindAudioRangeForRate(limits, rate);
    if (entry == nullptr) return STATUS_UNSUCCESSFUL;

    // Only bulk and interrupt transfers are ever built: a setting whose data
    // endpoint is isochronous could be selected but never streamed.
    const USB_ENDPOINT_DESCRIPTOR* data = stream->Alts[choice.Alt].DataEndpoint;
    if ((data->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        MODEL_TRACE(TRACE_LEVEL_ERROR, "interface %u setting %u: isochronous data endpoint refused",
                    stream->InterfaceNumber, choice.Alt);
        return STATUS_NOT_SUPPORTED;
    }

    const bool complete = choice.Channels != 0 && choice.ContainerBits != 0 && rate != 0;
    if (IsUac2 && complete) {
        ClockEntity* clock = StreamClock(stream);
        if (clock == nullptr) return STATUS_NOT_SUPPORTED;  // no terminal, or it never linked a clock
        status = clock->SetRate(rate, FALSE);
        if (!NT_SUCCESS(status)) return status;
    }
    if (choice.Alt != stream->CurrentAlt) {
        status = SelectAltSetting(stream->InterfaceNumber, choice.Alt);
        if (!NT_SUCCESS(status)) {
            LinkPipes();
            return status;
        }
        stream->CurrentAlt = choice.Alt;
    }
    status = LinkPipes();
    if (!NT_SUCCESS(status)) return status;
    stream->CurrentRate = rate;
    applied->Channels = entry->MaximumChannels;
    applied->ContainerBits = choice.ContainerBits;
    applied->TransferSize = complete ? chunksPerTransfer * data->wMaxPacketSize : 0;
    if (PlaybackInterface != nullptr) PlaybackInterface->FormatSet = 1;
    return STATUS_SUCCESS;
}

ClockEntity* UsbAudioDevice::StreamClock(const StreamingInterface* stream) {
    if (stream == nullptr || stream->Terminal == nullptr || !stream->Terminal->IsTerminal()) return nullptr;
    return static_cast<const TerminalEntity*>(stream->Terminal)->Clock();
}

ClockEntity* UsbAudioDevice::MainClock() const {
    return StreamClock(CaptureInterface != nullptr ? CaptureInterface : PlaybackInterface);
}

NTSTATUS UsbAudioDevice::SelectClockSource(UCHAR clockId, BOOLEAN force) {
    ClockEntity* clock = MainClock();
    if (clock == nullptr || clock->Subtype() != USB_AUDIO20_AC_CLOCK_SELECTOR) return STATUS_UNSUCCESSFUL;
    return static_cast<ClockSelector*>(clock)->SelectInput(clockId, force);
}

NTSTATUS UsbAudioDevice::ReapplyRate(ULONG rate, BOOLEAN force) {
    ClockEntity* clock = MainClock();
    if (clock == nullptr) return STATUS_UNSUCCESSFUL;
    return clock->SetRate(rate, force);
}

ULONG UsbAudioDevice::ClockSourceIds(UCHAR* ids, ULONG capacity) const {
    ClockEntity* clock = MainClock();
    if (clock == nullptr || clock->Subtype() != USB_AUDIO20_AC_CLOCK_SELECTOR) return 0;
    const auto* selector = static_cast<const ClockSelector*>(clock);
    const ULONG count = selector->InputCount();
    for (ULONG i = 0; i < count && i < capacity && ids != nullptr; ++i) ids[i] = selector->InputId(i);
    return count;
}

BOOLEAN UsbAudioDevice::IsClockValid() const {
    // The clock the playback interface runs on (the capture interface's on
    // a device without playback). Without a clock entity (1.0) there is no
    // validity to ask, and the clock counts as valid.
    ClockEntity* clock = StreamClock(PlaybackInterface != nullptr ? PlaybackInterface : CaptureInterface);
    return clock == nullptr || clock->IsValid() ? TRUE : FALSE;
}

#include "driver/core/node_property.h"

#include "driver/core/usb_trace.h"
#include "driver/core/volume_units.h"

#include <cstring>

namespace {

// Property types of KSPROPTYPESETID_General (the VARENUM values).
constexpr ULONG kPropTypeSignedLong = 3;  // VT_I4
constexpr ULONG kPropTypeBoolean = 11;    // VT_BOOL

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// One channel's volume range in kernel-streaming units.
struct VolumeRange {
    LONG minimum;
    LONG maximum;
    ULONG step;
};

NTSTATUS ReadVolumeRange(FeatureUnit& unit, ULONG channel, VolumeRange* range) {
    SHORT minimum = 0;
    SHORT maximum = 0;
    USHORT resolution = 0;
    const NTSTATUS status = unit.GetVolumeRange(static_cast<UCHAR>(channel + 1), &minimum, &maximum, &resolution);
    if (!NT_SUCCESS(status)) {
        FILTER_TRACE(TRACE_LEVEL_ERROR, "node: feature unit %u channel %u volume range failed (0x%08X)", unit.Id(),
                     static_cast<unsigned>(channel + 1), static_cast<unsigned>(status));
        return status;
    }
    range->minimum = UsbVolumeToKs(minimum);
    range->maximum = UsbVolumeToKs(maximum);
    range->step = static_cast<ULONG>(resolution) * kKsVolumePerUsbUnit;
    return STATUS_SUCCESS;
}

ULONG DescriptionSize(ULONG channels) {
    return sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
           channels * sizeof(KSPROPERTY_STEPPING_LONG);
}

NTSTATUS BasicSupport(FeatureUnit& unit, bool volume, ULONG channels, PCPROPERTY_REQUEST* request) {
    UCHAR* out = static_cast<UCHAR*>(request->Value);
    const ULONG available = out != nullptr ? request->ValueSize : 0;
    const ULONG fullSize = DescriptionSize(channels);
    if (available >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description{};
        description.AccessFlags = kNodePropertyAccess;
        description.DescriptionSize = fullSize;
        description.PropTypeSet.Set = KSPROPTYPESETID_General;
        description.PropTypeSet.Id = volume ? kPropTypeSignedLong : kPropTypeBoolean;
        description.MembersListCount = 1;
        std::memcpy(out, &description, sizeof(description));
        if (available < fullSize) {
            request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
            return STATUS_SUCCESS;
        }
        const KSPROPERTY_MEMBERSHEADER header = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG),
                                                 channels, KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
        std::memcpy(out + sizeof(description), &header, sizeof(header));
        UCHAR* member = out + sizeof(description) + sizeof(header);
        for (ULONG c = 0; c < channels; ++c, member += sizeof(KSPROPERTY_STEPPING_LONG)) {
            KSPROPERTY_STEPPING_LONG stepping{};
            if (volume) {
                VolumeRange range{};
                const NTSTATUS status = ReadVolumeRange(unit, c, &range);
                if (!NT_SUCCESS(status)) {
                    request->ValueSize = 0;
                    return status;
                }
                stepping.SteppingDelta = range.step;
                stepping.Bounds.SignedMinimum = range.minimum;
                stepping.Bounds.SignedMaximum = range.maximum;
            } else {
                stepping.SteppingDelta = 1;
                stepping.Bounds.SignedMinimum = 0;
                stepping.Bounds.SignedMaximum = 1;
            }
            std::memcpy(member, &stepping, sizeof(stepping));
        }
        request->ValueSize = fullSize;
        return STATUS_SUCCESS;
    }
    if (available >= sizeof(ULONG)) {
        const ULONG access = kNodePropertyAccess;
        std::memcpy(out, &access, sizeof(access));
        request->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    request->ValueSize = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS CheckBuffers(PCPROPERTY_REQUEST* request) {
    if (request->Instance == nullptr || request->InstanceSize < sizeof(LONG)) return STATUS_INVALID_BUFFER_SIZE;
    if (request->Value == nullptr || request->ValueSize == 0) {
        request->ValueSize = sizeof(LONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

LONG ReadLong(const void* p) {
    LONG value = 0;
    std::memcpy(&value, p, sizeof(value));
    return value;
}

void WriteLong(PCPROPERTY_REQUEST* request, LONG value) {
    std::memcpy(request->Value, &value, sizeof(value));
    request->ValueSize = sizeof(value);
}

NTSTATUS Volume(FeatureUnit& unit, bool set, LONG channel, ULONG channels, PCPROPERTY_REQUEST* request) {
    if (channel < 0 || static_cast<ULONG>(channel) >= channels) return STATUS_INVALID_PARAMETER;
    const UCHAR usbChannel = static_cast<UCHAR>(channel + 1);
    VolumeRange range{};
    NTSTATUS status = ReadVolumeRange(unit, static_cast<ULONG>(channel), &range);
    if (!NT_SUCCESS(status)) return status;
    if (!set) {
        SHORT current = 0;
        status = unit.GetVolume(usbChannel, &current);
        if (!NT_SUCCESS(status)) {
            FILTER_TRACE(TRACE_LEVEL_ERROR, "node: feature unit %u channel %u volume read failed (0x%08X)", unit.Id(),
                         usbChannel, static_cast<unsigned>(status));
            return status;
        }
        const LONG value = UsbVolumeToKs(current);
        const bool offGrid = range.step != 0 && value != kKsVolumeMinusInfinity &&
                             RoundVolumeToStep(value, range.step) != value;
        if (value < range.minimum || value > range.maximum || offGrid)
            FILTER_TRACE(TRACE_LEVEL_WARNING, "node: feature unit %u channel %u reports volume %d outside its range",
                         unit.Id(), usbChannel, static_cast<int>(value));
        WriteLong(request, value);
        return STATUS_SUCCESS;
    }
    LONG value = RoundVolumeToStep(ReadLong(request->Value), range.step);
    // In this order, so that a device whose minimum lies above its maximum
    // still gets a value it reported.
    if (value < range.minimum) value = range.minimum;
    if (value > range.maximum) value = range.maximum;
    status = unit.SetVolume(usbChannel, KsVolumeToUsb(value));
    if (!NT_SUCCESS(status)) {
        FILTER_TRACE(TRACE_LEVEL_ERROR, "node: feature unit %u channel %u volume write failed (0x%08X)", unit.Id(),
                     usbChannel, static_cast<unsigned>(status));
        return status;
    }
    request->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
}

NTSTATUS Mute(FeatureUnit& unit, bool set, LONG channel, ULONG channels, PCPROPERTY_REQUEST* request) {
    // -1 names the master channel; whatever is named, mute is the master's.
    if (channel < -1 || channel >= static_cast<LONG>(channels)) return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    if (!set) {
        BOOLEAN muted = FALSE;
        status = unit.GetMute(&muted);
        if (NT_SUCCESS(status)) WriteLong(request, muted ? 1 : 0);
    } else {
        status = unit.SetMute(ReadLong(request->Value) != 0 ? TRUE : FALSE);
        if (NT_SUCCESS(status)) request->ValueSize = sizeof(LONG);
    }
    if (!NT_SUCCESS(status))
        FILTER_TRACE(TRACE_LEVEL_ERROR, "node: feature unit %u mute %s failed (0x%08X)", unit.Id(),
                     set ? "write" : "read", static_cast<unsigned>(status));
    return status;
}

}  // namespace

NTSTATUS NodeProperty(UsbAudioDevice& device, const FilterDescription* description, PCPROPERTY_REQUEST* request) {
    if (request == nullptr) return STATUS_INVALID_PARAMETER;
    const PCPROPERTY_ITEM* item = request->PropertyItem;
    if (request->Node == ULONG(-1) || item == nullptr || item->Set == nullptr || *item->Set != KSPROPSETID_Audio ||
        (item->Id != KSPROPERTY_AUDIO_VOLUMELEVEL && item->Id != KSPROPERTY_AUDIO_MUTE))
        return STATUS_UNSUCCESSFUL;
    const bool volume = item->Id == KSPROPERTY_AUDIO_VOLUMELEVEL;
    const ULONG verb = request->Verb & kVerbs;
    const bool basicSupport = (verb & KSPROPERTY_TYPE_BASICSUPPORT) != 0;

    FeatureUnit* unit = FilterNodeFeatureUnit(description, request->Node);
    // A description left over from another device model names none of this
    // device's units.
    if (unit != nullptr && unit->Owner() != &device) unit = nullptr;
    if (unit == nullptr) return basicSupport ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    const ULONG unitChannels = unit->ChannelCount();
    const ULONG channels = unitChannels > 0 ? unitChannels - 1 : 0;  // without the master channel

    if (basicSupport) return BasicSupport(*unit, volume, channels, request);
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = CheckBuffers(request);
    if (!NT_SUCCESS(status)) return status;
    const bool set = verb == KSPROPERTY_TYPE_SET;
    const LONG channel = ReadLong(request->Instance);
    return volume ? Volume(*unit, set, channel, channels, request) : Mute(*unit, set, channel, channels, request);
}

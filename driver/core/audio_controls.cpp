// The audio-class control requests of the entities: clock frequency, range
// and validity, clock selection, terminal connector, feature-unit mute and
// volume. PASSIVE_LEVEL; answers from the device are read only as far as
// the device actually sent them.
#include "driver/core/audio_device.h"
#include "driver/core/audio_entities.h"
#include "driver/core/usb_trace.h"
#include "platform/kernel/pool.h"

namespace {

constexpr UCHAR kGet = USB_AUDIO_REQUEST_TYPE_GET_INTERFACE;
constexpr UCHAR kSet = USB_AUDIO_REQUEST_TYPE_SET_INTERFACE;

ULONG Le32(const UCHAR* p) {
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
           (static_cast<ULONG>(p[3]) << 24);
}

void PutLe32(UCHAR* p, ULONG v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<UCHAR>(v >> (8 * i));
}

// The sampling-frequency RANGE block of a clock source: wNumSubRanges
// followed by that many {dMIN, dMAX, dRES}.
class RateRanges {
public:
    RateRanges() = default;
    ~RateRanges() {
        if (data_ != nullptr && data_ != head_) ExFreePoolWithTag(data_, kUsbPoolTag);
    }
    RateRanges(const RateRanges&) = delete;
    RateRanges& operator=(const RateRanges&) = delete;

    NTSTATUS Read(UsbAudioDevice* device, UCHAR clockId) {
        ULONG moved = 0;
        NTSTATUS status = device->EntityRequest(kGet, USB_AUDIO20_REQUEST_RANGE, USB_AUDIO20_CS_SAM_FREQ_CONTROL, 0,
                                                clockId, sizeof(head_), head_, &moved);
        if (!NT_SUCCESS(status)) return status;
        if (moved < 2) return STATUS_UNSUCCESSFUL;
        ULONG declared = head_[0] | (head_[1] << 8);
        if (declared == 0) return STATUS_SUCCESS;
        // The whole block must fit one control transfer's 16-bit length.
        constexpr ULONG kMostSubranges = (0xFFFF - 2) / sizeof(USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE);
        if (declared > kMostSubranges) declared = kMostSubranges;
        const ULONG length = 2 + declared * sizeof(USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE);
        data_ = static_cast<UCHAR*>(ExAllocatePoolZero(NonPagedPoolNx, length, kUsbPoolTag));
        if (data_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = device->EntityRequest(kGet, USB_AUDIO20_REQUEST_RANGE, USB_AUDIO20_CS_SAM_FREQ_CONTROL, 0, clockId,
                                       static_cast<USHORT>(length), data_, &moved);
        if (!NT_SUCCESS(status)) return status;
        // Only whole subranges the device sent count, and no more than it
        // declared.
        const ULONG sent = moved < 2 ? 0 : (moved - 2) / sizeof(USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE);
        count_ = sent < declared ? sent : declared;
        return STATUS_SUCCESS;
    }

    ULONG Count() const { return count_; }
    ULONG Min(ULONG i) const { return Le32(Subrange(i)); }
    ULONG Max(ULONG i) const { return Le32(Subrange(i) + 4); }
    ULONG Res(ULONG i) const { return Le32(Subrange(i) + 8); }

private:
    const UCHAR* Subrange(ULONG i) const { return data_ + 2 + i * sizeof(USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE); }

    UCHAR head_[16] = {};
    UCHAR* data_ = nullptr;
    ULONG count_ = 0;
};

}  // namespace

// ---- clock source ----

NTSTATUS ClockSource::GetCurrentRate(ULONG* rate) {
    if (rate == nullptr) return STATUS_INVALID_PARAMETER;
    if (cachedRate_ != 0) {
        *rate = cachedRate_;
        return STATUS_SUCCESS;
    }
    UCHAR value[4] = {};
    ULONG moved = 0;
    const NTSTATUS status = owner_->EntityRequest(kGet, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_CS_SAM_FREQ_CONTROL, 0,
                                                  Id(), sizeof(value), value, &moved);
    if (!NT_SUCCESS(status)) return status;
    if (moved < sizeof(value)) return STATUS_UNSUCCESSFUL;
    cachedRate_ = Le32(value);
    *rate = cachedRate_;
    return STATUS_SUCCESS;
}

NTSTATUS ClockSource::GetRateRange(ULONG* min, ULONG* max, ULONG low, ULONG high) {
    if (min == nullptr || max == nullptr) return STATUS_INVALID_PARAMETER;
    RateRanges ranges;
    const NTSTATUS status = ranges.Read(owner_, Id());
    if (!NT_SUCCESS(status)) return status;
    ULONG smallest = 0xFFFFFFFF;
    ULONG largest = 0;
    for (ULONG i = 0; i < ranges.Count(); ++i) {
        if (ranges.Min(i) >= low && ranges.Min(i) < smallest) smallest = ranges.Min(i);
        if (ranges.Max(i) <= high && ranges.Max(i) > largest) largest = ranges.Max(i);
    }
    *min = smallest;
    *max = largest;
    return STATUS_SUCCESS;
}

NTSTATUS ClockSource::IsRateSupported(ULONG rate) {
    RateRanges ranges;
    const NTSTATUS status = ranges.Read(owner_, Id());
    if (!NT_SUCCESS(status)) return status;
    for (ULONG i = 0; i < ranges.Count(); ++i) {
        const ULONG lo = ranges.Min(i);
        const ULONG hi = ranges.Max(i);
        const ULONG step = ranges.Res(i);
        if (rate < lo || rate > hi) continue;
        if (lo == hi || (step != 0 && (rate - lo) % step == 0)) return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS ClockSource::SetRate(ULONG rate, BOOLEAN force) {
    if (rate == cachedRate_ && !force) return STATUS_SUCCESS;
    UCHAR value[4];
    PutLe32(value, rate);
    const NTSTATUS status = owner_->EntityRequest(kSet, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_CS_SAM_FREQ_CONTROL, 0,
                                                  Id(), sizeof(value), value);
    // After a refused change the device's rate is not known any more.
    cachedRate_ = NT_SUCCESS(status) ? rate : 0;
    return status;
}

BOOLEAN ClockSource::IsValid() {
    // Without a readable validity control the clock counts as valid.
    if ((Controls() & 0x04) == 0) return TRUE;
    UCHAR value = 0;
    ULONG moved = 0;
    const NTSTATUS status = owner_->EntityRequest(kGet, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_CS_CLOCK_VALID_CONTROL,
                                                  0, Id(), sizeof(value), &value, &moved);
    return NT_SUCCESS(status) && moved == sizeof(value) && value != 0 ? TRUE : FALSE;
}

// ---- clock selector ----

NTSTATUS ClockSelector::GetCurrentPin(UCHAR* pin) {
    if (pin == nullptr) return STATUS_INVALID_PARAMETER;
    if (cachedPin_ != 0) {
        *pin = cachedPin_;
        return STATUS_SUCCESS;
    }
    if (InputCount() == 0) return STATUS_UNSUCCESSFUL;
    if (InputCount() == 1) {
        *pin = 1;
        return STATUS_SUCCESS;
    }
    UCHAR value = 0;
    ULONG moved = 0;
    const NTSTATUS status = owner_->EntityRequest(kGet, USB_AUDIO20_REQUEST_CUR,
                                                  USB_AUDIO20_CX_CLOCK_SELECTOR_CONTROL, 0, Id(), sizeof(value),
                                                  &value, &moved);
    if (!NT_SUCCESS(status)) return status;
    // A pin the selector does not have selects nothing.
    if (moved != sizeof(value) || value == 0 || value > InputCount()) return STATUS_UNSUCCESSFUL;
    cachedPin_ = value;
    *pin = value;
    return STATUS_SUCCESS;
}

ClockEntity* ClockSelector::CurrentInput() {
    UCHAR pin = 0;
    if (!NT_SUCCESS(GetCurrentPin(&pin))) return nullptr;
    return AsClock(owner_->FindEntity(InputId(pin - 1u)));
}

NTSTATUS ClockSelector::SelectInput(UCHAR clockId, BOOLEAN force) {
    UCHAR pin = 0;
    for (ULONG i = 0; i < InputCount() && pin == 0; ++i)
        if (InputId(i) == clockId) pin = static_cast<UCHAR>(i + 1);
    if (pin == 0) return STATUS_UNSUCCESSFUL;
    if (pin == cachedPin_ && !force) return STATUS_SUCCESS;
    const NTSTATUS status = owner_->EntityRequest(kSet, USB_AUDIO20_REQUEST_CUR,
                                                  USB_AUDIO20_CX_CLOCK_SELECTOR_CONTROL, 0, Id(), sizeof(pin), &pin);
    cachedPin_ = NT_SUCCESS(status) ? pin : 0;
    cachedRate_ = 0;  // the rate is the new input's
    return status;
}

NTSTATUS ClockSelector::GetCurrentRate(ULONG* rate) {
    ClockEntity* input = CurrentInput();
    if (input == nullptr) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = input->GetCurrentRate(rate);
    if (NT_SUCCESS(status)) cachedRate_ = *rate;
    return status;
}

NTSTATUS ClockSelector::SetRate(ULONG rate, BOOLEAN force) {
    ClockEntity* input = CurrentInput();
    if (input == nullptr) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = input->SetRate(rate, force);
    cachedRate_ = NT_SUCCESS(status) ? rate : 0;
    return status;
}

BOOLEAN ClockSelector::IsValid() {
    ClockEntity* input = CurrentInput();
    return input != nullptr && input->IsValid() ? TRUE : FALSE;
}

NTSTATUS ClockSelector::GetRateRange(ULONG* min, ULONG* max, ULONG low, ULONG high) {
    if (min == nullptr || max == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG smallest = 0xFFFFFFFF;
    ULONG largest = 0;
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    bool any = false;
    for (ULONG i = 0; i < InputCount(); ++i) {
        ClockEntity* input = AsClock(owner_->FindEntity(InputId(i)));
        if (input == nullptr) continue;
        ULONG inputMin = 0;
        ULONG inputMax = 0;
        const NTSTATUS status = input->GetRateRange(&inputMin, &inputMax, low, high);
        if (!NT_SUCCESS(status)) {
            result = status;
            continue;
        }
        any = true;
        if (inputMin < smallest) smallest = inputMin;
        if (inputMax > largest) largest = inputMax;
    }
    if (!any) return result;
    *min = smallest;
    *max = largest;
    return STATUS_SUCCESS;
}

NTSTATUS ClockSelector::IsRateSupported(ULONG rate) {
    for (ULONG i = 0; i < InputCount(); ++i) {
        ClockEntity* input = AsClock(owner_->FindEntity(InputId(i)));
        if (input != nullptr && NT_SUCCESS(input->IsRateSupported(rate))) return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

// ---- terminals ----

LONG TerminalEntity::IsConnected() {
    constexpr ULONG kConnectorControl = 1;
    if (!IsControlReadable(kConnectorControl)) return -1;
    UCHAR cluster[6] = {};
    ULONG moved = 0;
    const NTSTATUS status = owner_->EntityRequest(kGet, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_TE_CONNECTOR_CONTROL, 0,
                                                  Id(), sizeof(cluster), cluster, &moved);
    if (!NT_SUCCESS(status) || moved == 0) return -1;
    return cluster[0] != 0 ? 1 : 0;
}

// ---- feature unit ----

NTSTATUS FeatureUnit::Request(bool set, UCHAR code, ULONG controlIndex, UCHAR channel, USHORT length,
                              PVOID buffer) {
    const bool uac2 = owner_->IsUac2 != 0;
    bool valid = false;
    if (controlIndex == kFeatureMute) {
        valid = code == USB_AUDIO20_REQUEST_CUR && length == 1 && channel == 0;
    } else if (controlIndex == kFeatureVolume) {
        if (uac2)
            valid = (code == USB_AUDIO20_REQUEST_CUR && length == 2) || (code == USB_AUDIO20_REQUEST_RANGE && length == 8);
        else
            valid = code >= USB_AUDIO10_REQUEST_SET_CUR && code <= USB_AUDIO10_REQUEST_SET_RES && length == 2;
    }
    if (valid) valid = IsControlAccessible(controlIndex, channel, set ? kControlAccessWrite : kControlAccessRead);
    if (!valid || buffer == nullptr) {
        MODEL_TRACE(TRACE_LEVEL_WARNING, "feature unit %u: request %u on control %u channel %u length %u refused", Id(),
                    code, static_cast<unsigned>(controlIndex), channel, length);
        return STATUS_NOT_SUPPORTED;
    }
    // 1.0 codes carry the direction in bit 7.
    const UCHAR request = uac2 ? code : static_cast<UCHAR>(set ? code : (0x80 | code));
    ULONG moved = 0;
    const NTSTATUS status = owner_->EntityRequest(set ? kSet : kGet, request, static_cast<UCHAR>(controlIndex + 1),
                                                  channel, Id(), length, buffer, &moved);
    if (!NT_SUCCESS(status)) return status;
    if (!set && moved != length) return STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::GetMute(BOOLEAN* mute) {
    if (mute == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR value = 0;
    const NTSTATUS status = Request(false, USB_AUDIO20_REQUEST_CUR, kFeatureMute, 0, 1, &value);
    if (NT_SUCCESS(status)) *mute = value != 0 ? TRUE : FALSE;
    return status;
}

NTSTATUS FeatureUnit::SetMute(BOOLEAN mute) {
    UCHAR value = mute ? 1 : 0;
    return Request(true, USB_AUDIO20_REQUEST_CUR, kFeatureMute, 0, 1, &value);
}

NTSTATUS FeatureUnit::GetVolume(UCHAR channel, SHORT* volume) {
    if (volume == nullptr) return STATUS_INVALID_PARAMETER;
    UCHAR value[2] = {};
    const NTSTATUS status = Request(false, USB_AUDIO20_REQUEST_CUR, kFeatureVolume, channel, 2, value);
    if (NT_SUCCESS(status)) *volume = static_cast<SHORT>(value[0] | (value[1] << 8));
    return status;
}

NTSTATUS FeatureUnit::SetVolume(UCHAR channel, SHORT volume) {
    UCHAR value[2] = {static_cast<UCHAR>(volume & 0xFF), static_cast<UCHAR>((static_cast<USHORT>(volume) >> 8) & 0xFF)};
    return Request(true, USB_AUDIO20_REQUEST_CUR, kFeatureVolume, channel, 2, value);
}

NTSTATUS FeatureUnit::GetVolumeRange(UCHAR channel, SHORT* min, SHORT* max, USHORT* resolution) {
    if (min == nullptr || max == nullptr || resolution == nullptr) return STATUS_INVALID_PARAMETER;
    const auto le16 = [](const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); };
    if (owner_->IsUac2) {
        UCHAR block[8] = {};
        const NTSTATUS status = Request(false, USB_AUDIO20_REQUEST_RANGE, kFeatureVolume, channel, 8, block);
        if (!NT_SUCCESS(status)) return status;
        if (le16(block) == 0) return STATUS_UNSUCCESSFUL;  // no subrange at all
        *min = static_cast<SHORT>(le16(block + 2));
        *max = static_cast<SHORT>(le16(block + 4));
        *resolution = le16(block + 6);
        return STATUS_SUCCESS;
    }
    UCHAR value[3][2] = {};
    const UCHAR codes[3] = {USB_AUDIO10_REQUEST_SET_MIN, USB_AUDIO10_REQUEST_SET_MAX, USB_AUDIO10_REQUEST_SET_RES};
    for (int i = 0; i < 3; ++i) {
        const NTSTATUS status = Request(false, codes[i], kFeatureVolume, channel, 2, value[i]);
        if (!NT_SUCCESS(status)) return status;
    }
    *min = static_cast<SHORT>(le16(value[0]));
    *max = static_cast<SHORT>(le16(value[1]));
    *resolution = le16(value[2]);
    return STATUS_SUCCESS;
}

// Entity records: linking, names, descriptor layouts and control checks.
// The class requests they send live in audio_controls.cpp.
#include "driver/core/audio_entities.h"

#include "driver/core/audio_device.h"
#include "driver/core/usb_trace.h"
#include "platform/kernel/pool.h"

#include <cstdio>

namespace {

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

}  // namespace

// ---- AudioEntity ----

void AudioEntity::Destroy() {
    // Every entity record is trivially destructible (see CreateEntity):
    // giving the memory back is all there is to it.
    ExFreePoolWithTag(this, kUsbPoolTag);
}

void AudioEntity::Dump() const {
    MODEL_TRACE(TRACE_LEVEL_VERBOSE, "entity bLength %u bDescriptorType 0x%02X bDescriptorSubtype 0x%02X bUnitID %u",
                descriptor_[0], descriptor_[1], descriptor_[2], descriptor_[3]);
}

LONG AudioEntity::GetId() const { return descriptor_[3]; }

LONG AudioEntity::GetSourceId(ULONG) const { return -1; }

void AudioEntity::FormatNameAs(const char* kind, char* buffer, ULONG size) const {
    if (buffer == nullptr || size == 0) return;
    std::snprintf(buffer, size, "%s(%ld)", kind, static_cast<long>(GetId()));
}

bool AudioEntity::IsTerminal() const {
    return Subtype() == USB_AUDIO20_AC_INPUT_TERMINAL || Subtype() == USB_AUDIO20_AC_OUTPUT_TERMINAL;
}

bool AudioEntity::IsClock() const {
    return owner_->IsUac2 &&
           (Subtype() == USB_AUDIO20_AC_CLOCK_SOURCE || Subtype() == USB_AUDIO20_AC_CLOCK_SELECTOR);
}

ClockEntity* AsClock(AudioEntity* entity) {
    // Entities are created by subtype, so within one device the subtype
    // names the record's class.
    if (entity == nullptr || !entity->IsClock()) return nullptr;
    if (entity->Subtype() == USB_AUDIO20_AC_CLOCK_SOURCE) return static_cast<ClockSource*>(entity);
    return static_cast<ClockSelector*>(entity);
}

// ---- clock entities ----

NTSTATUS ClockSource::Link() { return owner_->IsUac2 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED; }

void ClockSource::FormatName(char* buffer, ULONG size) const { FormatNameAs("ClockSource", buffer, size); }

NTSTATUS ClockSelector::Link() { return owner_->IsUac2 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED; }

void ClockSelector::FormatName(char* buffer, ULONG size) const { FormatNameAs("ClockSelector", buffer, size); }

UCHAR ClockSelector::InputCount() const { return descriptor_[4]; }

UCHAR ClockSelector::InputId(ULONG index) const {
    return reinterpret_cast<const USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR*>(descriptor_)->baCSourceID(index);
}

LONG ClockSelector::GetSourceId(ULONG index) const { return index < InputCount() ? InputId(index) : -1; }

// ---- terminals ----

BOOLEAN TerminalEntity::IsControlReadable(ULONG controlIndex) const {
    if (controlIndex >= ControlCount()) {
        MODEL_TRACE(TRACE_LEVEL_WARNING, "terminal %u: control %u out of range", Id(),
                    static_cast<unsigned>(controlIndex));
        return FALSE;
    }
    const ULONG pair = (static_cast<ULONG>(GetControls()) >> (2 * controlIndex)) & 3;
    if (pair == 2) {
        MODEL_TRACE(TRACE_LEVEL_WARNING, "terminal %u: control %u has the invalid pair 0b10", Id(),
                    static_cast<unsigned>(controlIndex));
        return FALSE;
    }
    return (pair & 1) ? TRUE : FALSE;
}

NTSTATUS InputTerminal::Link() {
    clock_ = nullptr;
    if (!owner_->IsUac2) return STATUS_SUCCESS;
    // The clock must be a clock entity, not merely some entity with that
    // ID: rate requests are sent through it.
    clock_ = AsClock(owner_->FindEntity(descriptor_[7]));
    return clock_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void InputTerminal::FormatName(char* buffer, ULONG size) const { FormatNameAs("IT", buffer, size); }

LONG InputTerminal::GetClockId() const { return owner_->IsUac2 ? descriptor_[7] : -1; }

USHORT InputTerminal::GetControls() const { return owner_->IsUac2 ? Le16(descriptor_ + 14) : 0; }

NTSTATUS OutputTerminal::Link() {
    clock_ = nullptr;
    source_ = owner_->FindEntity(descriptor_[7]);
    if (source_ == nullptr) return STATUS_NOT_SUPPORTED;
    if (!owner_->IsUac2) return STATUS_SUCCESS;
    clock_ = AsClock(owner_->FindEntity(descriptor_[8]));
    return clock_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void OutputTerminal::FormatName(char* buffer, ULONG size) const { FormatNameAs("OT", buffer, size); }

LONG OutputTerminal::GetSourceId(ULONG index) const { return index == 0 ? descriptor_[7] : -1; }

LONG OutputTerminal::GetClockId() const { return owner_->IsUac2 ? descriptor_[8] : -1; }

USHORT OutputTerminal::GetControls() const { return owner_->IsUac2 ? Le16(descriptor_ + 9) : 0; }

// ---- units ----

NTSTATUS FeatureUnit::Link() {
    source_ = owner_->FindEntity(descriptor_[4]);
    return source_ != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

void FeatureUnit::FormatName(char* buffer, ULONG size) const { FormatNameAs("Feature", buffer, size); }

LONG FeatureUnit::GetSourceId(ULONG index) const { return index == 0 ? descriptor_[4] : -1; }

ULONG FeatureUnit::ChannelCount() const {
    if (owner_->IsUac2) return reinterpret_cast<const USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR*>(descriptor_)->ChannelCount();
    return reinterpret_cast<const USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR*>(descriptor_)->ChannelCount();
}

ULONG FeatureUnit::ChannelControls(ULONG channel) const {
    if (owner_->IsUac2)
        return reinterpret_cast<const USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR*>(descriptor_)->bmaControls(channel);
    return reinterpret_cast<const USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR*>(descriptor_)->bmaControls(channel);
}

bool FeatureUnit::IsControlAccessible(ULONG controlIndex, ULONG channel, ULONG access) const {
    if (channel >= ChannelCount()) return false;
    const ULONG controls = ChannelControls(channel);
    if (owner_->IsUac2) {
        if (controlIndex >= 16) return false;
        const ULONG mask = (access & 3u) << (2 * controlIndex);
        return mask != 0 && (controls & mask) == mask;
    }
    // 1.0 bitmaps do not tell reading from writing.
    return controlIndex < 32 && (controls & (1u << controlIndex)) != 0;
}

NTSTATUS ProcessingUnit::Link() { return STATUS_NOT_IMPLEMENTED; }

void ProcessingUnit::FormatName(char* buffer, ULONG size) const { FormatNameAs("Processing", buffer, size); }

// ---- validation ----

ULONG AudioEntityMinimumLength(bool uac2, const UCHAR* d) {
    // Larger than any bLength: a count that cannot be satisfied.
    constexpr ULONG kImpossible = 256;
    const ULONG length = d[0];
    if (uac2) {
        switch (d[2]) {
        case USB_AUDIO20_AC_INPUT_TERMINAL:
            return sizeof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR);
        case USB_AUDIO20_AC_OUTPUT_TERMINAL:
            return sizeof(USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR);
        case USB_AUDIO20_AC_FEATURE_UNIT:
            return USB_AUDIO20_FEATURE_UNIT_LENGTH(1);  // at least the master channel
        case USB_AUDIO20_AC_CLOCK_SOURCE:
            return sizeof(USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR);
        case USB_AUDIO20_AC_CLOCK_SELECTOR:
            if (length < sizeof(USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR)) return sizeof(USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR);
            return USB_AUDIO20_CLOCK_SELECTOR_LENGTH(d[4]);
        default:
            return 0;
        }
    }
    switch (d[2]) {
    case USB_AUDIO10_AC_INPUT_TERMINAL:
        return sizeof(USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR);
    case USB_AUDIO10_AC_OUTPUT_TERMINAL:
        return sizeof(USB_AUDIO10_OUTPUT_TERMINAL_DESCRIPTOR);
    case USB_AUDIO10_AC_FEATURE_UNIT:
        if (length < sizeof(USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR)) return USB_AUDIO10_FEATURE_UNIT_LENGTH(1, 1);
        if (d[5] == 0) return kImpossible;  // bControlSize 0 lays out no channel at all
        return USB_AUDIO10_FEATURE_UNIT_LENGTH(1, d[5]);
    case USB_AUDIO10_AC_PROCESSING_UNIT: {
        if (length < sizeof(USB_AUDIO10_PROCESSING_UNIT_DESCRIPTOR)) return USB_AUDIO10_PROCESSING_UNIT_LENGTH(0, 0, 0);
        const ULONG pins = d[6];
        if (length < 12 + pins) return USB_AUDIO10_PROCESSING_UNIT_LENGTH(pins, 0, 0);
        return USB_AUDIO10_PROCESSING_UNIT_LENGTH(pins, d[11 + pins], 0);
    }
    default:
        return 0;
    }
}

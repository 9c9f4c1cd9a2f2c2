// The control pipe: standard requests and the audio-class requests.
#include "sim/usb/device/device_state.h"
#include "sim/usb/device/virtual_device.h"

#include "platform/usb/audio.h"

#include <algorithm>
#include <cstring>

namespace sim::usb {
namespace {

constexpr ControlResult Stall() { return ControlResult{USBD_STATUS_STALL_PID, 0}; }

bool IsGet(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) { return (setup.bmRequestType & 0x80) != 0; }
UCHAR RequestType(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) { return (setup.bmRequestType >> 5) & 3; }
UCHAR Recipient(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) { return setup.bmRequestType & 0x1F; }

// Returns `bytes` truncated to what the host asked for: a short wLength
// reads the first bytes, as on the wire.
ControlResult Reply(std::span<UCHAR> data, USHORT wLength, const void* bytes, std::size_t size) {
    const std::size_t n = std::min<std::size_t>(size, wLength);
    if (n) std::memcpy(data.data(), bytes, n);
    return ControlResult{USBD_STATUS_SUCCESS, static_cast<ULONG>(n)};
}

ControlResult Reply(std::span<UCHAR> data, USHORT wLength, const std::vector<UCHAR>& bytes) {
    return Reply(data, wLength, bytes.data(), bytes.size());
}

void Put16(std::vector<UCHAR>& out, std::uint32_t v) {
    out.push_back(static_cast<UCHAR>(v));
    out.push_back(static_cast<UCHAR>(v >> 8));
}
void Put32(std::vector<UCHAR>& out, std::uint32_t v) {
    Put16(out, v);
    Put16(out, v >> 16);
}
std::uint32_t Get(std::span<UCHAR> data, std::size_t bytes) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    return v;
}

}  // namespace

ControlResult VirtualDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data) {
    Lock lock(mutex_);
    const std::uint64_t finishedBefore = finishedCount_;
    ControlResult result;
    // Never trust wLength beyond the buffer the host handed over.
    if (data.size() < setup.wLength) result = ControlResult{USBD_STATUS_INVALID_PARAMETER, 0};
    else if (unplugged_) result = ControlResult{USBD_STATUS_DEVICE_GONE, 0};
    else if (USBD_STATUS faultStatus = 0; MatchFault(setup, faultStatus)) result = ControlResult{faultStatus, 0};
    else result = HandleControl(setup, data, lock);

    ControlRecord record;
    record.setup = setup;
    record.result = result;
    record.frame = clock_;
    const std::size_t logged = IsGet(setup) ? result.bytes : std::min<std::size_t>(setup.wLength, data.size());
    record.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(logged));
    controlLog_.push_back(std::move(record));

    if (finishedCount_ != finishedBefore) Deliver(lock, true);
    return result;
}

std::vector<ControlRecord> VirtualDevice::ControlLog() const {
    Lock lock(mutex_);
    return controlLog_;
}

void VirtualDevice::ClearControlLog() {
    Lock lock(mutex_);
    controlLog_.clear();
}

bool VirtualDevice::MatchFault(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, USBD_STATUS& status) {
    const UCHAR entity = Recipient(setup) == BMREQUEST_TO_ENDPOINT ? static_cast<UCHAR>(setup.wIndex & 0xFF)
                                                                   : static_cast<UCHAR>(setup.wIndex >> 8);
    for (auto it = controlFaults_.begin(); it != controlFaults_.end(); ++it) {
        if (it->request && *it->request != setup.bRequest) continue;
        if (it->entity && *it->entity != entity) continue;
        if (it->selector && *it->selector != (setup.wValue >> 8)) continue;
        status = it->status;
        if (it->count && --*it->count == 0) controlFaults_.erase(it);
        return true;
    }
    return false;
}

ControlResult VirtualDevice::HandleControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data,
                                           Lock&) {
    switch (RequestType(setup)) {
    case BMREQUEST_STANDARD: return StandardRequest(setup, data);
    case BMREQUEST_CLASS:
        if (Recipient(setup) == BMREQUEST_TO_INTERFACE) return ClassInterfaceRequest(setup, data);
        if (Recipient(setup) == BMREQUEST_TO_ENDPOINT) return ClassEndpointRequest(setup, data);
        return Stall();
    default: return Stall();  // no vendor requests
    }
}

// ---------------------------------------------------------------- standard

ControlResult VirtualDevice::StandardRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data) {
    const UCHAR recipient = Recipient(setup);
    switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
        if (setup.bmRequestType != 0x80) return Stall();
        return GetDescriptor(setup, data);
    case USB_REQUEST_GET_CONFIGURATION: {
        if (setup.bmRequestType != 0x80) return Stall();
        const UCHAR value = configuration_.value_or(0);
        return Reply(data, setup.wLength, &value, 1);
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (setup.bmRequestType != 0x00) return Stall();
        return SetConfiguration(setup.wValue);
    case USB_REQUEST_GET_INTERFACE: {
        if (setup.bmRequestType != 0x81 || !configuration_) return Stall();
        for (const auto& [number, alternate] : currentAlternates_)
            if (number == setup.wIndex) return Reply(data, setup.wLength, &alternate, 1);
        return Stall();
    }
    case USB_REQUEST_SET_INTERFACE:
        if (setup.bmRequestType != 0x01 || setup.wIndex > 0xFF || setup.wValue > 0xFF) return Stall();
        return SetInterface(static_cast<UCHAR>(setup.wIndex), static_cast<UCHAR>(setup.wValue));
    case USB_REQUEST_GET_STATUS: {
        if (!IsGet(setup)) return Stall();
        UCHAR status[2] = {0, 0};
        if (recipient == BMREQUEST_TO_DEVICE) {
            if (model_.attributes & USB_CONFIG_SELF_POWERED) status[0] |= 1;
        } else if (recipient == BMREQUEST_TO_ENDPOINT) {
            EndpointState* ep = ActiveEndpoint(static_cast<UCHAR>(setup.wIndex));
            if (!ep && (setup.wIndex & 0x7F) != 0) return Stall();
            if (ep && ep->halted) status[0] |= 1;
        } else if (recipient != BMREQUEST_TO_INTERFACE) {
            return Stall();
        }
        return Reply(data, setup.wLength, status, 2);
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
        if (IsGet(setup)) return Stall();
        if (recipient == BMREQUEST_TO_ENDPOINT && setup.wValue == 0) {  // ENDPOINT_HALT
            EndpointState* ep = ActiveEndpoint(static_cast<UCHAR>(setup.wIndex));
            if (!ep) return (setup.wIndex & 0x7F) == 0 ? ControlResult{} : Stall();
            ep->halted = setup.bRequest == USB_REQUEST_SET_FEATURE;
            if (ep->halted) FinishAll(*ep, USBD_STATUS_STALL_PID);
            return ControlResult{};
        }
        if (recipient == BMREQUEST_TO_DEVICE) return ControlResult{};  // remote wakeup, test mode: accepted
        return Stall();
    }
    case USB_REQUEST_SET_ADDRESS: return ControlResult{};
    default: return Stall();
    }
}

ControlResult VirtualDevice::GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data) {
    const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
    const UCHAR index = static_cast<UCHAR>(setup.wValue);
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        if (descriptors_.device.empty()) return Stall();
        return Reply(data, setup.wLength, descriptors_.device);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (index != 0 || descriptors_.configuration.empty()) return Stall();
        return Reply(data, setup.wLength, descriptors_.configuration);
    case USB_STRING_DESCRIPTOR_TYPE:
        if (const std::vector<UCHAR>* string = descriptors_.String(index, setup.wIndex))
            return Reply(data, setup.wLength, *string);
        return Stall();
    default: return Stall();  // no device qualifier, other-speed or BOS descriptors
    }
}

ControlResult VirtualDevice::SetConfiguration(USHORT value) {
    if (value != 0 && value != model_.configurationValue) return Stall();
    for (const auto& [number, alternate] : currentAlternates_) {
        (void)alternate;
        DeactivateEndpoints(number, USBD_STATUS_CANCELED);
    }
    currentAlternates_.clear();
    configuration_.reset();
    if (value == 0) return ControlResult{};
    configuration_ = static_cast<UCHAR>(value);
    for (const auto& intf : model_.interfaces) {
        currentAlternates_.emplace_back(intf.number, UCHAR{0});
        ActivateEndpoints(intf.number, intf.Alternate(0));
    }
    return ControlResult{};
}

ControlResult VirtualDevice::SetInterface(UCHAR interfaceNumber, UCHAR alternate) {
    if (!configuration_) return Stall();
    const InterfaceModel* intf = model_.Interface(interfaceNumber);
    const AltSettingModel* alt = intf ? intf->Alternate(alternate) : nullptr;
    if (!alt) return Stall();
    // Selecting a setting, even the current one, resets its endpoints:
    // whatever was pending on the old ones is cancelled.
    DeactivateEndpoints(interfaceNumber, USBD_STATUS_CANCELED);
    for (auto& [number, current] : currentAlternates_)
        if (number == interfaceNumber) current = alternate;
    ActivateEndpoints(interfaceNumber, alt);
    return ControlResult{};
}

// ------------------------------------------------------------ audio class

ControlResult VirtualDevice::ClassInterfaceRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                   std::span<UCHAR> data) {
    if (!model_.controlInterface || (setup.wIndex & 0xFF) != *model_.controlInterface) return Stall();
    if (model_.audioClass == AudioClass::Uac2) return Uac2Request(setup, data);
    if (model_.audioClass == AudioClass::Uac1) return Uac1Request(setup, data);
    return Stall();
}

ControlResult VirtualDevice::Uac2Request(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data) {
    const UCHAR entity = static_cast<UCHAR>(setup.wIndex >> 8);
    const UCHAR selector = static_cast<UCHAR>(setup.wValue >> 8);
    const UCHAR channel = static_cast<UCHAR>(setup.wValue);
    const bool get = IsGet(setup);
    if (entity == 0) return Stall();

    for (auto& clock : clocks_)
        if (clock.model->id == entity) return ClockSourceRequest(clock, setup, data);

    if (const ClockSelectorModel* sel = model_.ClockSelector(entity)) {
        const ControlAccess access = sel->controls & 3;
        if (selector != USB_AUDIO20_CX_CLOCK_SELECTOR_CONTROL || channel != 0 || access == kControlAbsent ||
            setup.bRequest != USB_AUDIO20_REQUEST_CUR)
            return Stall();
        auto pin = std::find_if(selectorPins_.begin(), selectorPins_.end(),
                                [&](const auto& p) { return p.first == entity; });
        if (get) return Reply(data, setup.wLength, &pin->second, 1);
        if (access != kControlReadWrite || setup.wLength != 1 || data[0] < 1 || data[0] > sel->inputs.size())
            return Stall();
        pin->second = data[0];
        RecomputeRate();
        return ControlResult{};
    }

    if (const ClockMultiplierModel* mul = model_.ClockMultiplier(entity)) {
        // A 1:1 multiplier: numerator and denominator read 1.
        const bool present = (selector == USB_AUDIO20_CM_NUMERATOR_CONTROL && (mul->controls & 3)) ||
                             (selector == USB_AUDIO20_CM_DENOMINATOR_CONTROL && ((mul->controls >> 2) & 3));
        if (!present || !get || channel != 0 || setup.bRequest != USB_AUDIO20_REQUEST_CUR) return Stall();
        const UCHAR one[2] = {1, 0};
        return Reply(data, setup.wLength, one, 2);
    }

    if (const TerminalModel* terminal = model_.Terminal(entity)) {
        if (selector != USB_AUDIO20_TE_CONNECTOR_CONTROL || channel != 0 || ((terminal->controls >> 2) & 3) == 0 ||
            !get || setup.bRequest != USB_AUDIO20_REQUEST_CUR)
            return Stall();
        ConnectorBehaviour connector{entity, static_cast<UCHAR>(terminal->input ? terminal->channels : 2),
                                     terminal->channelConfig, terminal->channelNames};
        for (const auto& b : behaviour_.connectors)
            if (b.terminalId == entity) connector = b;
        std::vector<UCHAR> cluster{connector.channels};
        Put32(cluster, connector.channelConfig);
        cluster.push_back(connector.channelNames);
        return Reply(data, setup.wLength, cluster);
    }

    for (auto& unit : featureUnits_)
        if (unit.model->id == entity) return FeatureUnitRequest(unit, setup, data, true);
    return Stall();
}

ControlResult VirtualDevice::ClockSourceRequest(ClockState& clock, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                std::span<UCHAR> data) {
    const UCHAR selector = static_cast<UCHAR>(setup.wValue >> 8);
    const UCHAR channel = static_cast<UCHAR>(setup.wValue);
    const bool get = IsGet(setup);
    if (channel != 0) return Stall();

    if (selector == USB_AUDIO20_CS_SAM_FREQ_CONTROL) {
        const ControlAccess access = clock.model->controls & 3;
        if (access == kControlAbsent) return Stall();
        if (get && setup.bRequest == USB_AUDIO20_REQUEST_CUR) {
            std::vector<UCHAR> cur;
            Put32(cur, clock.frequency);
            return Reply(data, setup.wLength, cur);
        }
        if (get && setup.bRequest == USB_AUDIO20_REQUEST_RANGE) {
            std::vector<UCHAR> range;
            Put16(range, static_cast<std::uint32_t>(clock.ranges.size()));
            for (const auto& r : clock.ranges) {
                Put32(range, r.min);
                Put32(range, r.max);
                Put32(range, r.res);
            }
            return Reply(data, setup.wLength, range);
        }
        if (!get && setup.bRequest == USB_AUDIO20_REQUEST_CUR) {
            if (access != kControlReadWrite || setup.wLength != 4) return Stall();
            const ULONG rate = Get(data, 4);
            if (std::none_of(clock.ranges.begin(), clock.ranges.end(),
                             [&](const FrequencyRange& r) { return RangeContains(r, rate); }))
                return Stall();
            if (rate != clock.frequency) {
                clock.frequency = rate;
                clock.changedAt = RealNow();
                RecomputeRate();
            }
            return ControlResult{};
        }
        return Stall();
    }
    if (selector == USB_AUDIO20_CS_CLOCK_VALID_CONTROL) {
        if (((clock.model->controls >> 2) & 3) == 0 || !get || setup.bRequest != USB_AUDIO20_REQUEST_CUR)
            return Stall();
        const UCHAR valid = ClockValid(clock) ? 1 : 0;
        return Reply(data, setup.wLength, &valid, 1);
    }
    return Stall();
}

bool VirtualDevice::ClockValid(const ClockState& clock) const {
    if (clock.neverValid) return false;
    if (!clock.changedAt || clock.settleTime.count() <= 0) return true;
    return RealNow() - *clock.changedAt >= clock.settleTime;
}

ControlResult VirtualDevice::FeatureUnitRequest(FeatureState& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                std::span<UCHAR> data, bool uac2) {
    const UCHAR selector = static_cast<UCHAR>(setup.wValue >> 8);
    const UCHAR channel = static_cast<UCHAR>(setup.wValue);
    const bool get = IsGet(setup);
    // 1.0 carries the direction in bit 7 of the code too; it must agree.
    UCHAR code = setup.bRequest;
    if (!uac2) {
        if (((code & 0x80) != 0) != get) return Stall();
        code &= 0x7F;
    }
    constexpr UCHAR kCur = 1, kRange = 2, kMin = 2, kMax = 3, kRes = 4;

    if (selector == USB_AUDIO_FU_MUTE_CONTROL) {
        if (channel >= unit.model->mute.size() || unit.model->mute[channel] == kControlAbsent || code != kCur)
            return Stall();
        if (get) {
            const UCHAR value = unit.mute[channel] ? 1 : 0;
            return Reply(data, setup.wLength, &value, 1);
        }
        if (unit.model->mute[channel] != kControlReadWrite || setup.wLength != 1) return Stall();
        unit.mute[channel] = data[0] != 0;
        return ControlResult{};
    }
    if (selector == USB_AUDIO_FU_VOLUME_CONTROL) {
        if (channel >= unit.model->volume.size() || unit.model->volume[channel] == kControlAbsent) return Stall();
        std::vector<UCHAR> reply;
        if (get && code == kCur) {
            Put16(reply, static_cast<USHORT>(unit.volume[channel]));
        } else if (get && uac2 && code == kRange) {
            Put16(reply, 1);
            Put16(reply, static_cast<USHORT>(unit.range.min));
            Put16(reply, static_cast<USHORT>(unit.range.max));
            Put16(reply, unit.range.res);
        } else if (get && !uac2 && code == kMin) {
            Put16(reply, static_cast<USHORT>(unit.range.min));
        } else if (get && !uac2 && code == kMax) {
            Put16(reply, static_cast<USHORT>(unit.range.max));
        } else if (get && !uac2 && code == kRes) {
            Put16(reply, unit.range.res);
        } else if (!get && code == kCur) {
            if (unit.model->volume[channel] != kControlReadWrite || setup.wLength != 2) return Stall();
            // Out-of-range values are clamped, as devices do.
            const auto value = static_cast<SHORT>(Get(data, 2));
            unit.volume[channel] = std::clamp(value, unit.range.min, unit.range.max);
            return ControlResult{};
        } else {
            return Stall();
        }
        return Reply(data, setup.wLength, reply);
    }
    return Stall();
}

ControlResult VirtualDevice::Uac1Request(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data) {
    const UCHAR entity = static_cast<UCHAR>(setup.wIndex >> 8);
    for (auto& unit : featureUnits_)
        if (unit.model->id == entity) return FeatureUnitRequest(unit, setup, data, false);
    return Stall();
}

ControlResult VirtualDevice::ClassEndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                  std::span<UCHAR> data) {
    if (model_.audioClass != AudioClass::Uac1 || setup.wValue != (USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL << 8))
        return Stall();
    EndpointState* ep = ActiveEndpoint(static_cast<UCHAR>(setup.wIndex & 0xFF));
    if (!ep || ep->model.role != EndpointRole::Audio || !ep->alternate) return Stall();
    const bool control = ep->model.uac1SamplingFrequencyControl;
    if (setup.bRequest == USB_AUDIO10_REQUEST_GET_CUR && IsGet(setup)) {
        if (!control && !behaviour_.uac1FrequencyReadableWithoutControl) return Stall();
        const UCHAR rate[3] = {static_cast<UCHAR>(uac1Rate_), static_cast<UCHAR>(uac1Rate_ >> 8),
                               static_cast<UCHAR>(uac1Rate_ >> 16)};
        return Reply(data, setup.wLength, rate, 3);
    }
    if (setup.bRequest == USB_AUDIO10_REQUEST_SET_CUR && !IsGet(setup)) {
        if (!control || setup.wLength != 3) return Stall();
        const ULONG rate = Get(data, 3);
        if (!ep->alternate->Uac1AcceptsRate(rate)) return Stall();
        uac1Rate_ = rate;
        RecomputeRate();
        return ControlResult{};
    }
    return Stall();
}

}  // namespace sim::usb

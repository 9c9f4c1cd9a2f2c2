// Helpers for the virtual-device tests: setup packets, and a host that keeps
// bulk transfers in flight the way the driver's engine does (resubmitting
// from the completion).
#pragma once

#include "platform/usb/audio.h"
#include "sim/usb/device/virtual_device.h"
#include "sim/usb/profile/profiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::usb::test {

inline USB_DEFAULT_PIPE_SETUP_PACKET Request(UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length) {
    return USB_DEFAULT_PIPE_SETUP_PACKET{type, request, value, index, length};
}

// A 2.0 entity request on AudioControl interface 0.
inline USB_DEFAULT_PIPE_SETUP_PACKET EntityRequest(bool get, UCHAR request, UCHAR selector, UCHAR channel, UCHAR entity,
                                            USHORT length) {
    return Request(get ? 0xA1 : 0x21, request, static_cast<USHORT>(selector << 8 | channel),
                 static_cast<USHORT>(entity << 8), length);
}

struct Reply {
    USBD_STATUS status;
    std::vector<UCHAR> data;
};

inline Reply Get(VirtualDevice& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup) {
    std::vector<UCHAR> buffer(setup.wLength);
    const ControlResult r = device.Control(setup, buffer);
    buffer.resize(r.bytes);
    return Reply{r.status, buffer};
}

inline USBD_STATUS Set(VirtualDevice& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::vector<UCHAR> data) {
    return device.Control(setup, data).status;
}

inline std::vector<UCHAR> Le32(ULONG v) {
    return {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16), static_cast<UCHAR>(v >> 24)};
}

inline ClockBehaviour Clock(UCHAR id, std::chrono::nanoseconds settle = {}, bool neverValid = false) {
    ClockBehaviour clock;
    clock.clockId = id;
    clock.settleTime = settle;
    clock.neverValid = neverValid;
    return clock;
}

inline void Configure(VirtualDevice& device) {
    ASSERT_EQ(Set(device, Request(0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0), {}), USBD_STATUS_SUCCESS);
}

inline void SelectAlt(VirtualDevice& device, UCHAR interfaceNumber, UCHAR alt) {
    ASSERT_EQ(Set(device, Request(0x01, USB_REQUEST_SET_INTERFACE, alt, interfaceNumber, 0), {}), USBD_STATUS_SUCCESS);
}

inline void SetClockRate(VirtualDevice& device, UCHAR clock, ULONG rate) {
    ASSERT_EQ(Set(device, EntityRequest(false, USB_AUDIO20_REQUEST_CUR, USB_AUDIO20_CS_SAM_FREQ_CONTROL, 0, clock, 4), Le32(rate)),
              USBD_STATUS_SUCCESS);
}

// The maker's device as the driver runs it: configured, playback interface 1
// and capture interface 2 at the 16-bit setting.
inline std::unique_ptr<VirtualDevice> StreamingMakerDevice(BusSpeed speed, ULONG rate = 48000,
                                                           DeviceBehaviour behaviour = {}) {
    MakerDeviceOptions options;
    options.speed = speed;
    auto device = std::make_unique<VirtualDevice>(MakerDevice(options), std::move(behaviour));
    Configure(*device);
    SetClockRate(*device, kMakerClockSourceIds[0], rate);
    SelectAlt(*device, 1, 1);
    SelectAlt(*device, 2, 1);
    return device;
}

// Keeps `count` transfers of `bytes` in flight on one endpoint, resubmitting
// each from its own completion, and records every completion.
class TransferLoop {
public:
    struct Completion {
        int slot;
        USBD_STATUS status;
        ULONG bytes;
        std::uint64_t frame;      // device clock at completion
        std::vector<UCHAR> data;  // IN: the bytes received
    };

    TransferLoop(VirtualDevice& device, UCHAR endpoint, ULONG bytes, int count)
        : device_(device), endpoint_(endpoint), buffers_(count, std::vector<UCHAR>(bytes)) {}
    // Its transfers must not outlive it.
    ~TransferLoop() {
        Stop();
        device_.AbortPipe(endpoint_);
    }
    TransferLoop(const TransferLoop&) = delete;
    TransferLoop& operator=(const TransferLoop&) = delete;

    // Called before each (re)submission of an OUT buffer with the buffer and
    // the number of the submission (0, 1, 2, ...).
    std::function<void(std::vector<UCHAR>&, std::uint64_t)> fill;

    void Start() {
        for (int slot = 0; slot < static_cast<int>(buffers_.size()); ++slot) Submit(slot);
    }
    // No more resubmissions.
    void Stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    std::vector<Completion> Completions() const {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    std::vector<UCHAR>& Buffer(int slot) { return buffers_[slot]; }

private:
    void Submit(int slot) {
        std::uint64_t number;
        {
            std::lock_guard lock(mutex_);
            number = submissions_++;
        }
        if (fill) fill(buffers_[slot], number);
        device_.SubmitBulk(endpoint_, buffers_[slot].data(), static_cast<ULONG>(buffers_[slot].size()),
                           (endpoint_ & 0x80) ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0,
                           [this, slot](USBD_STATUS status, ULONG bytes) { Completed(slot, status, bytes); });
    }

    void Completed(int slot, USBD_STATUS status, ULONG bytes) {
        // Reading the clock takes the device's lock: this would deadlock if
        // the completion ran under it.
        const std::uint64_t frame = device_.ClockFrame();
        bool resubmit;
        {
            std::lock_guard lock(mutex_);
            std::vector<UCHAR> data;
            if (endpoint_ & 0x80) data.assign(buffers_[slot].begin(), buffers_[slot].begin() + bytes);
            completions_.push_back(Completion{slot, status, bytes, frame, std::move(data)});
            resubmit = !stopped_ && USBD_SUCCESS(status);
        }
        if (resubmit) Submit(slot);
    }

    VirtualDevice& device_;
    const UCHAR endpoint_;
    std::vector<std::vector<UCHAR>> buffers_;
    mutable std::mutex mutex_;
    std::vector<Completion> completions_;
    std::uint64_t submissions_ = 0;
    bool stopped_ = false;
};

}  // namespace sim::usb::test

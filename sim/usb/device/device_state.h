// The virtual device's internal records (only its own .cpp files include
// this).
#pragma once

#include "sim/usb/device/virtual_device.h"

#include <chrono>
#include <limits>
#include <optional>
#include <vector>

namespace sim::usb {

inline constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
// MIDI endpoints are served at most once every this many frames (about a
// USB microframe and a bit at 48 kHz), so a host that resubmits from its
// completion cannot spin the device at one instant.
inline constexpr std::uint64_t kMidiServiceFrames = 8;

struct VirtualDevice::Transfer {
    std::uint64_t id = 0;
    UCHAR endpoint = 0;
    UCHAR* buffer = nullptr;
    ULONG length = 0;
    ULONG flags = 0;
    BulkCompletion completion;
    ULONG bytes = 0;         // moved so far
    std::uint32_t chunks = 0;
    bool started = false;    // the endpoint's faults have been applied to it
    std::int64_t shortAfter = -1;  // injected: complete after this many chunks
    USBD_STATUS status = USBD_STATUS_PENDING;
    Transfer* next = nullptr;  // in the endpoint's pending list, then in the done list
};

struct VirtualDevice::EndpointState {
    UCHAR address = 0;
    bool active = false;  // part of the current configuration and settings
    EndpointModel model;
    const AltSettingModel* alternate = nullptr;
    SampleLayout layout;
    bool halted = false;
    Transfer* head = nullptr;
    Transfer* tail = nullptr;
    // Audio IN: first frame of the chunk being sampled. Audio OUT: first
    // frame of the next packet to take.
    std::uint64_t nextFrame = 0;
    std::uint32_t shortCount = 0;
    std::uint32_t shortChunks = 0;
    std::uint32_t errorCount = 0;
    USBD_STATUS errorStatus = USBD_STATUS_XACT_ERROR;
    EndpointCounters counters;

    void Append(Transfer* t) {
        t->next = nullptr;
        if (tail) tail->next = t;
        else head = t;
        tail = t;
    }
    Transfer* PopHead() {
        Transfer* t = head;
        if (t) {
            head = t->next;
            if (!head) tail = nullptr;
            t->next = nullptr;
        }
        return t;
    }
    bool Remove(Transfer* target) {
        Transfer* previous = nullptr;
        for (Transfer* t = head; t; previous = t, t = t->next) {
            if (t != target) continue;
            (previous ? previous->next : head) = t->next;
            if (tail == t) tail = previous;
            t->next = nullptr;
            return true;
        }
        return false;
    }
};

struct VirtualDevice::ClockState {
    const ClockSourceModel* model = nullptr;
    std::vector<FrequencyRange> ranges;
    ULONG frequency = 0;
    std::chrono::nanoseconds settleTime{0};
    std::optional<std::chrono::steady_clock::time_point> changedAt;
    bool neverValid = false;
};

struct VirtualDevice::FeatureState {
    const FeatureUnitModel* model = nullptr;
    VolumeRange range;
    std::vector<SHORT> volume;
    std::vector<bool> mute;
};

struct VirtualDevice::Recording {
    struct Entry {
        std::uint64_t frame;
        std::uint32_t channels;
        bool underrun;
        std::size_t offset;  // into samples
    };
    std::size_t maxFrames = 0;
    std::vector<Entry> entries;
    std::vector<std::int32_t> samples;
};

}  // namespace sim::usb

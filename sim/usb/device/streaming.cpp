// Bulk streaming on the device's sample clock, MIDI packets, and the
// real-time clock thread.
#include "sim/usb/device/device_state.h"
#include "sim/usb/device/virtual_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sim::usb {
namespace {

std::size_t SlotOf(UCHAR address) { return (address & 0x0F) | ((address & 0x80) ? 16 : 0); }

// The device reads host memory the way DMA does: at the instant it takes a
// packet, with no synchronisation with the host's writers (who keep filling
// buffers that are already submitted). ThreadSanitizer cannot see bus
// mastering, so these reads are hidden from it; AddressSanitizer still
// checks them.
__attribute__((no_sanitize("thread"))) void DmaRead(UCHAR* to, const UCHAR* from, std::size_t bytes) {
    const volatile UCHAR* source = from;
    for (std::size_t i = 0; i < bytes; ++i) to[i] = source[i];
}

// Largest packet a bulk or interrupt endpoint may declare (11 bits).
constexpr std::size_t kMaxPacket = 2048;

}  // namespace

// ---------------------------------------------------------------- endpoints

VirtualDevice::EndpointState* VirtualDevice::ActiveEndpoint(UCHAR address) {
    auto& slot = endpoints_[SlotOf(address)];
    return slot && slot->active && slot->address == address ? slot.get() : nullptr;
}

void VirtualDevice::ActivateEndpoints(UCHAR, const AltSettingModel* alt) {
    if (!alt) return;
    for (const auto& model : alt->endpoints) {
        auto& slot = endpoints_[SlotOf(model.address)];
        if (!slot) slot = std::make_unique<EndpointState>();
        slot->address = model.address;
        slot->active = true;
        slot->model = model;
        slot->alternate = alt;
        slot->layout = FrameLayout(*alt);
        slot->halted = false;
        // The frame stream of a newly selected setting starts now.
        slot->nextFrame = clock_;
    }
    RebuildActive();
    wakeCv_.notify_all();
}

void VirtualDevice::RebuildActive() {
    active_.clear();
    packetEndpoints_ = false;
    for (auto& slot : endpoints_) {
        if (!slot || !slot->active) continue;
        active_.push_back(slot.get());
        packetEndpoints_ = packetEndpoints_ || slot->model.role != EndpointRole::Audio;
    }
}

void VirtualDevice::DeactivateEndpoints(UCHAR interfaceNumber, USBD_STATUS status) {
    const InterfaceModel* intf = model_.Interface(interfaceNumber);
    if (!intf) return;
    for (const auto& [number, current] : currentAlternates_) {
        if (number != interfaceNumber) continue;
        const AltSettingModel* alt = intf->Alternate(current);
        if (!alt) continue;
        for (const auto& model : alt->endpoints) {
            EndpointState* ep = ActiveEndpoint(model.address);
            if (!ep) continue;
            FinishAll(*ep, status);
            ep->active = false;
        }
    }
    RebuildActive();
}

std::uint32_t VirtualDevice::CurrentFramesPerChunk() const { return FramesPerChunk(descriptors_.speed, rate_); }

// -------------------------------------------------------------------- time

std::uint64_t VirtualDevice::NextInstant() const {
    if (unplugged_) return kNever;
    const std::uint64_t framesPerChunk = CurrentFramesPerChunk();
    std::uint64_t next = kNever;
    for (const EndpointState* slot : active_) {
        std::uint64_t due = kNever;
        switch (slot->model.role) {
        case EndpointRole::Audio:
            due = slot->model.In() ? slot->nextFrame + framesPerChunk : slot->nextFrame;
            break;
        case EndpointRole::Midi: {
            const bool work = slot->head && (!slot->model.In() || midiInHead_ < midiIn_.size());
            if (work) due = std::max(slot->nextFrame, clock_);
            break;
        }
        case EndpointRole::Other:
            if (slot->head && !slot->model.In()) due = clock_;
            break;
        }
        next = std::min(next, std::max(due, clock_));
    }
    return next;
}

void VirtualDevice::RunUntil(Lock& lock, std::uint64_t target) {
    for (;;) {
        const std::uint64_t next = NextInstant();
        if (next == kNever || next > target) break;
        clock_ = std::max(clock_, next);
        ProcessInstant(clock_);
        if (doneHead_) {
            Deliver(lock, true);
            if (barrier_) {
                const std::function<void()> barrier = barrier_;
                lock.unlock();
                barrier();
                lock.lock();
            }
        }
    }
    clock_ = std::max(clock_, target);
}

void VirtualDevice::ProcessInstant(std::uint64_t instant) {
    const std::uint64_t framesPerChunk = CurrentFramesPerChunk();
    // OUT before IN (the order of active_): a frame played at this instant
    // is available to a loopback chunk that ends at it.
    for (EndpointState* ep : active_) {
        if (ep->model.role != EndpointRole::Audio) continue;
        if (ep->model.In() && ep->nextFrame + framesPerChunk <= instant) DeliverInChunk(*ep);
        if (!ep->model.In() && ep->nextFrame <= instant) TakeOutPacket(*ep);
    }
    if (packetEndpoints_) ProcessMidi();
}

// ------------------------------------------------------------------- audio

void VirtualDevice::TakeOutPacket(EndpointState& ep) {
    const std::uint32_t framesPerChunk = CurrentFramesPerChunk();
    const SampleLayout& layout = ep.layout;
    const std::uint32_t bytesPerFrame = layout.BytesPerFrame();
    const std::size_t packet = std::min<std::size_t>(ep.model.maxPacketSize, kMaxPacket);
    // A layout too wide for the packet carries what fits.
    const std::uint32_t carried =
        bytesPerFrame ? std::min<std::uint32_t>(framesPerChunk, static_cast<std::uint32_t>(packet / bytesPerFrame)) : 0;
    const std::uint64_t first = ep.nextFrame;
    ep.nextFrame += framesPerChunk;

    Transfer* t = nullptr;
    while ((t = ep.head) != nullptr) {
        if (!t->started) {
            t->started = true;
            if (ep.errorCount) {
                --ep.errorCount;
                Finish(ep.PopHead(), ep.errorStatus);
                continue;
            }
        }
        if (t->length == 0) {
            Finish(ep.PopHead(), USBD_STATUS_SUCCESS);
            continue;
        }
        break;
    }

    UCHAR bytes[kMaxPacket];
    std::uint32_t frames = 0;
    if (t) {
        const std::size_t available = std::min<std::size_t>(packet, t->length - t->bytes);
        frames = static_cast<std::uint32_t>(std::min<std::size_t>(carried, bytesPerFrame ? available / bytesPerFrame : 0));
        DmaRead(bytes, t->buffer + t->bytes, std::size_t{frames} * bytesPerFrame);
        t->bytes += static_cast<ULONG>(available);
        ++t->chunks;
        if (t->bytes >= t->length) Finish(ep.PopHead(), USBD_STATUS_SUCCESS);
    } else {
        ++stream_.underrunPackets;
    }
    stream_.framesPlayed += frames;
    stream_.underrunFrames += framesPerChunk - frames;

    const UCHAR silence[4 * 256] = {};
    for (std::uint32_t f = 0; f < framesPerChunk; ++f) {
        const bool played = f < frames;
        const UCHAR* frame = played ? bytes + std::size_t{f} * bytesPerFrame : silence;
        RecordFrame(first + f, layout, frame, !played);
        if (captureKind_ == CaptureKind::Loopback && !loopbackTags_.empty()) {
            const std::size_t slot = (first + f) & (loopbackTags_.size() - 1);
            loopbackTags_[slot] = first + f + 1;
            std::int32_t* out = &loopbackSamples_[slot * loopbackChannels_];
            for (std::uint32_t c = 0; c < loopbackChannels_; ++c)
                out[c] = c < layout.channels ? LoadSampleV32(frame + c * layout.subslotBytes, layout) : 0;
        }
    }
}

void VirtualDevice::DeliverInChunk(EndpointState& ep) {
    const std::uint32_t framesPerChunk = CurrentFramesPerChunk();
    const std::uint32_t bytesPerFrame = ep.layout.BytesPerFrame();
    const std::size_t chunk = ep.model.maxPacketSize;
    const std::uint32_t carried =
        bytesPerFrame ? std::min<std::uint32_t>(framesPerChunk, static_cast<std::uint32_t>(chunk / bytesPerFrame)) : 0;
    const std::uint64_t first = ep.nextFrame;
    ep.nextFrame += framesPerChunk;

    for (;;) {
        Transfer* t = ep.head;
        if (!t || chunk == 0) {
            ++stream_.overrunChunks;
            stream_.overrunFrames += framesPerChunk;
            return;
        }
        if (!t->started) {
            t->started = true;
            if (ep.errorCount) {
                --ep.errorCount;
                Finish(ep.PopHead(), ep.errorStatus);
                continue;
            }
            if (ep.shortCount) {
                --ep.shortCount;
                t->shortAfter = ep.shortChunks;
            }
        }
        // A zero-length transfer ends without taking the chunk: it goes on
        // to the next transfer.
        if (t->shortAfter == 0 || t->length == 0) {
            Finish(ep.PopHead(), USBD_STATUS_SUCCESS);
            continue;
        }
        if (t->length - t->bytes < chunk) {
            // The device sends a whole packet into less room: babble, and the
            // packet is lost.
            Finish(ep.PopHead(), USBD_STATUS_BABBLE_DETECTED);
            ++stream_.overrunChunks;
            stream_.overrunFrames += framesPerChunk;
            return;
        }
        GenerateChunk(t->buffer + t->bytes, ep, first, carried);
        std::memset(t->buffer + t->bytes + std::size_t{carried} * bytesPerFrame, 0, chunk - std::size_t{carried} * bytesPerFrame);
        t->bytes += static_cast<ULONG>(chunk);
        ++t->chunks;
        stream_.framesCaptured += carried;
        stream_.overrunFrames += framesPerChunk - carried;
        if (t->bytes == t->length || (t->shortAfter > 0 && t->chunks == t->shortAfter))
            Finish(ep.PopHead(), USBD_STATUS_SUCCESS);
        return;
    }
}

void VirtualDevice::GenerateChunk(UCHAR* out, const EndpointState& ep, std::uint64_t firstFrame,
                                  std::uint32_t frames) {
    const SampleLayout& layout = ep.layout;
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < layout.channels; ++c) {
            std::int32_t v32 = 0;
            switch (captureKind_) {
            case CaptureKind::Silence: break;
            case CaptureKind::Counter: v32 = CounterSampleV32(firstFrame + f, c, layout.bitResolution); break;
            default: v32 = CaptureV32(firstFrame + f, c); break;
            }
            StoreSample(out, v32, layout);
            out += layout.subslotBytes;
        }
}

std::int32_t VirtualDevice::CaptureV32(std::uint64_t frame, std::uint32_t channel) const {
    switch (captureKind_) {
    case CaptureKind::Tones: {
        if (channel >= tones_.size() || rate_ == 0) return 0;
        const Tone& tone = tones_[channel];
        // The phase follows the absolute frame, so it is the same whichever
        // transfer the frame lands in.
        const double phase = std::fmod(static_cast<double>(frame) * tone.frequency / rate_, 1.0);
        const double value = tone.amplitude * std::sin(2 * std::numbers::pi * phase) * 2147483647.0;
        return static_cast<std::int32_t>(std::clamp(value, -2147483648.0, 2147483647.0));
    }
    case CaptureKind::Loopback: {
        if (frame < loopbackLatency_ || loopbackTags_.empty() || channel >= loopbackChannels_) return 0;
        const std::uint64_t played = frame - loopbackLatency_;
        const std::size_t slot = played & (loopbackTags_.size() - 1);
        return loopbackTags_[slot] == played + 1 ? loopbackSamples_[slot * loopbackChannels_ + channel] : 0;
    }
    case CaptureKind::Generator: return generator_ ? generator_(frame, channel) : 0;
    default: return 0;
    }
}

void VirtualDevice::RecordFrame(std::uint64_t frame, const SampleLayout& layout, const UCHAR* bytes, bool underrun) {
    Recording& r = *recording_;
    if (r.entries.size() >= r.maxFrames) return;
    r.entries.push_back(Recording::Entry{frame, layout.channels, underrun, r.samples.size()});
    for (std::uint32_t c = 0; c < layout.channels; ++c)
        r.samples.push_back(underrun ? 0 : LoadSampleValue(bytes + c * layout.subslotBytes, layout));
}

// -------------------------------------------------------------------- MIDI

bool VirtualDevice::ProcessMidi() {
    bool any = false;
    for (EndpointState* slot : active_) {
        if (slot->model.role != EndpointRole::Midi || slot->nextFrame > clock_) continue;
        EndpointState& ep = *slot;
        bool served = false;
        while (Transfer* t = ep.head) {
            if (ep.model.In() && midiInHead_ == midiIn_.size()) break;
            served = true;
            if (!t->started) {
                t->started = true;
                if (ep.errorCount) {
                    --ep.errorCount;
                    Finish(ep.PopHead(), ep.errorStatus);
                    continue;
                }
            }
            if (ep.model.In()) {
                const std::size_t n = std::min<std::size_t>(midiIn_.size() - midiInHead_, t->length / 4);
                for (std::size_t i = 0; i < n; ++i) std::memcpy(t->buffer + 4 * i, midiIn_[midiInHead_ + i].data(), 4);
                midiInHead_ += n;
                t->bytes = static_cast<ULONG>(4 * n);
                // A buffer too small for one packet cannot take any: babble.
                Finish(ep.PopHead(), n == 0 && t->length != 0 ? USBD_STATUS_BABBLE_DETECTED : USBD_STATUS_SUCCESS);
            } else {
                for (ULONG offset = 0; offset + 4 <= t->length; offset += 4) {
                    MidiPacket packet;
                    DmaRead(packet.data(), t->buffer + offset, 4);
                    midiOut_.push_back(packet);
                }
                t->bytes = t->length;
                Finish(ep.PopHead(), USBD_STATUS_SUCCESS);
            }
        }
        if (served) ep.nextFrame = clock_ + kMidiServiceFrames;
        any = any || served;
    }
    // Endpoints of no known use swallow what they are sent.
    for (EndpointState* slot : active_) {
        if (slot->model.role != EndpointRole::Other || slot->model.In()) continue;
        while (Transfer* t = slot->head) {
            t->bytes = t->length;
            Finish(slot->PopHead(), USBD_STATUS_SUCCESS);
            any = true;
        }
    }
    if (midiInHead_ == midiIn_.size() && midiInHead_ != 0) {
        midiIn_.clear();
        midiInHead_ = 0;
    }
    return any;
}

// --------------------------------------------------------------- real time

void VirtualDevice::ReanchorRealTime() {
    if (!realTime_) return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - anchorTime_).count();
    anchorFrame_ += static_cast<std::uint64_t>(std::max(0.0, elapsed * rate_ * realTimeFactor_));
    anchorTime_ = now;
}

void VirtualDevice::RealTimeLoop() {
    using namespace std::chrono;
    Lock lock(mutex_);
    while (!stopThread_) {
        const auto now = steady_clock::now();
        const double framesPerSecond = static_cast<double>(rate_) * realTimeFactor_;
        const double elapsed = duration<double>(now - anchorTime_).count();
        std::uint64_t target = anchorFrame_ + static_cast<std::uint64_t>(std::max(0.0, elapsed * framesPerSecond));
        // More than 20 ms behind: give the time up instead of catching up in
        // a burst that would also starve every other caller of the lock.
        const auto maxLag = static_cast<std::uint64_t>(std::max(256.0, framesPerSecond / 50));
        if (target > clock_ + maxLag) {
            stream_.slippedFrames += target - (clock_ + maxLag);
            anchorFrame_ = target = clock_ + maxLag;
            anchorTime_ = now;
        }
        // One pass covers at most about 1 ms of device time, then lets the
        // submitters in.
        const auto slice = static_cast<std::uint64_t>(std::max(64.0, framesPerSecond / 1000));
        RunUntil(lock, std::max(clock_, std::min(target, clock_ + slice)));
        if (stopThread_) break;
        if (clock_ < target) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
            continue;
        }
        auto wake = now + milliseconds(2);
        const std::uint64_t next = NextInstant();
        if (next != kNever && framesPerSecond > 0 && next > anchorFrame_) {
            const auto due = anchorTime_ + duration_cast<steady_clock::duration>(
                                               duration<double>(static_cast<double>(next - anchorFrame_) / framesPerSecond));
            wake = std::min(wake, due);
        }
        wakeCv_.wait_until(lock, wake);
    }
}

}  // namespace sim::usb

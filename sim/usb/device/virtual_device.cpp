#include "sim/usb/device/virtual_device.h"

#include "sim/usb/device/device_state.h"
#include "sim/usb/profile/builder.h"
#include "sim/verifier.h"

#include <algorithm>

namespace sim::usb {
namespace {

const std::vector<FrequencyRange>& DefaultRates() {
    static const std::vector<FrequencyRange> rates = {
        {44100, 44100, 0}, {48000, 48000, 0}, {88200, 88200, 0}, {96000, 96000, 0}, {176400, 176400, 0},
        {192000, 192000, 0},
    };
    return rates;
}

std::size_t SlotOf(UCHAR address) { return (address & 0x0F) | ((address & 0x80) ? 16 : 0); }

}  // namespace

std::uint32_t FramesPerChunk(BusSpeed speed, ULONG rate) {
    if (speed == BusSpeed::High) return rate < 100000 ? 4 : 8;
    return 8;
}

bool RangeContains(const FrequencyRange& range, ULONG rate) {
    if (rate < range.min || rate > range.max) return false;
    if (range.min == range.max) return true;
    return range.res != 0 && (rate - range.min) % range.res == 0;
}

namespace {

DeviceBehaviour WithDescriptionRates(const Description& description, DeviceBehaviour behaviour) {
    for (const Entity* source : description.EntitiesOfKind(EntityKind::ClockSource)) {
        if (source->frequencies.empty()) continue;
        auto it = std::find_if(behaviour.clocks.begin(), behaviour.clocks.end(),
                               [&](const ClockBehaviour& b) { return b.clockId == source->id; });
        if (it == behaviour.clocks.end()) {
            behaviour.clocks.push_back(ClockBehaviour{});
            it = behaviour.clocks.end() - 1;
            it->clockId = source->id;
        }
        if (it->ranges.empty()) it->ranges = source->frequencies;
    }
    if (behaviour.highSpeedHighRateChannels == 0)
        behaviour.highSpeedHighRateChannels = description.highSpeedHighRateChannels;
    return behaviour;
}

}  // namespace

VirtualDevice::VirtualDevice(const Description& description, DeviceBehaviour behaviour)
    : VirtualDevice(BuildDescriptorSet(description), WithDescriptionRates(description, std::move(behaviour))) {}

VirtualDevice::VirtualDevice(DescriptorSet descriptors, DeviceBehaviour behaviour)
    : descriptors_(std::move(descriptors)),
      model_(ParseConfiguration(descriptors_.configuration.data(), descriptors_.configuration.size())),
      behaviour_(std::move(behaviour)) {
    for (const auto& source : model_.clockSources) {
        ClockState clock;
        clock.model = &source;
        clock.ranges = DefaultRates();
        for (const auto& b : behaviour_.clocks) {
            if (b.clockId != source.id) continue;
            if (!b.ranges.empty()) clock.ranges = b.ranges;
            clock.frequency = b.initialFrequency;
            clock.settleTime = b.settleTime;
            clock.neverValid = b.neverValid;
        }
        if (clock.frequency == 0) {
            const bool has48k = std::any_of(clock.ranges.begin(), clock.ranges.end(),
                                            [](const FrequencyRange& r) { return RangeContains(r, 48000); });
            clock.frequency = has48k || clock.ranges.empty() ? 48000 : clock.ranges.front().min;
        }
        clocks_.push_back(std::move(clock));
    }
    for (const auto& selector : model_.clockSelectors) selectorPins_.emplace_back(selector.id, UCHAR{1});
    for (const auto& unit : model_.featureUnits) {
        FeatureState state;
        state.model = &unit;
        SHORT volume = 0;
        bool mute = false;
        for (const auto& b : behaviour_.featureUnits) {
            if (b.unitId != unit.id) continue;
            state.range = b.range;
            volume = b.initialVolume;
            mute = b.initialMute;
        }
        state.volume.assign(unit.volume.size(), std::clamp(volume, state.range.min, state.range.max));
        state.mute.assign(unit.mute.size(), mute);
        featureUnits_.push_back(std::move(state));
    }

    uac1Rate_ = behaviour_.uac1InitialRate;
    if (uac1Rate_ == 0) {
        const AltSettingModel* first = nullptr;
        bool accepts48k = false;
        for (const auto& intf : model_.interfaces)
            for (const auto& alt : intf.alternates) {
                if (!alt.layout || alt.uac1Frequencies.empty()) continue;
                if (!first) first = &alt;
                accepts48k = accepts48k || alt.Uac1AcceptsRate(48000);
            }
        uac1Rate_ = (accepts48k || !first) ? 48000 : first->uac1Frequencies.front();
    }
    active_.reserve(endpoints_.size());
    recording_ = std::make_unique<Recording>();
    recording_->maxFrames = std::size_t{1} << 18;
    RecomputeRate();
}

VirtualDevice::~VirtualDevice() {
    SetStepped();
    Lock lock(mutex_);
    unplugged_ = true;
    for (auto& endpoint : endpoints_)
        if (endpoint) FinishAll(*endpoint, USBD_STATUS_DEVICE_GONE);
    Deliver(lock, true);
}

// ----------------------------------------------------------------- delivery

VirtualDevice::Transfer* VirtualDevice::NewTransfer() {
    if (freeTransfers_) {
        Transfer* t = freeTransfers_;
        freeTransfers_ = t->next;
        *t = Transfer{};
        return t;
    }
    transferStore_.push_back(std::make_unique<Transfer>());
    return transferStore_.back().get();
}

void VirtualDevice::Recycle(Transfer* transfer) {
    transfer->completion = nullptr;
    transfer->next = freeTransfers_;
    freeTransfers_ = transfer;
}

void VirtualDevice::Finish(Transfer* transfer, USBD_STATUS status) {
    transfer->status = status;
    transfer->next = nullptr;
    auto& slot = endpoints_[SlotOf(transfer->endpoint)];
    if (slot) {
        EndpointCounters& c = slot->counters;
        ++c.completed;
        if (USBD_SUCCESS(status)) ++c.succeeded;
        if (status == USBD_STATUS_CANCELED) ++c.cancelled;
        c.bytes += transfer->bytes;
        if (c.inFlight) --c.inFlight;
    }
    if (doneTail_) doneTail_->next = transfer;
    else doneHead_ = transfer;
    doneTail_ = transfer;
    ++finishedCount_;
}

void VirtualDevice::FinishAll(EndpointState& endpoint, USBD_STATUS status) {
    while (Transfer* t = endpoint.PopHead()) Finish(t, status);
}

void VirtualDevice::Deliver(Lock& lock, bool wait) {
    const std::uint64_t target = finishedCount_;
    const auto me = std::this_thread::get_id();
    for (;;) {
        if (deliveredCount_ >= target) return;
        if (delivering_) {
            // A completion calling back into the device: the loop below, one
            // frame up this thread's stack, delivers what it finished.
            if (deliveringThread_ == me || !wait) return;
            deliveredCv_.wait(lock);
            continue;
        }
        delivering_ = true;
        deliveringThread_ = me;
        while (Transfer* t = doneHead_) {
            doneHead_ = t->next;
            if (!doneHead_) doneTail_ = nullptr;
            const USBD_STATUS status = t->status;
            const ULONG bytes = t->bytes;
            {
                BulkCompletion completion = std::move(t->completion);
                Recycle(t);
                lock.unlock();
                if (completion) completion(status, bytes);
                completion = nullptr;  // whatever it captured dies outside the lock too
            }
            lock.lock();
            ++deliveredCount_;
            deliveredCv_.notify_all();
        }
        delivering_ = false;
        deliveringThread_ = {};
        deliveredCv_.notify_all();
    }
}

// --------------------------------------------------------------- bulk pipes

std::uint64_t VirtualDevice::SubmitBulk(UCHAR endpoint, void* buffer, ULONG length, ULONG flags,
                                        BulkCompletion completion) {
    Lock lock(mutex_);
    Transfer* t = NewTransfer();
    t->id = nextTransferId_++;
    t->endpoint = endpoint;
    t->buffer = static_cast<UCHAR*>(buffer);
    t->length = length;
    t->flags = flags;
    t->completion = std::move(completion);
    const std::uint64_t id = t->id;

    auto& slot = endpoints_[SlotOf(endpoint)];
    if (!slot) {
        slot = std::make_unique<EndpointState>();
        slot->address = endpoint;
    }
    EndpointState& ep = *slot;
    ++ep.counters.submitted;
    ++ep.counters.inFlight;

    USBD_STATUS reject = USBD_STATUS_SUCCESS;
    const UCHAR type = ep.model.TransferType();
    if (unplugged_) reject = USBD_STATUS_DEVICE_GONE;
    else if (!ep.active) reject = USBD_STATUS_INVALID_PIPE_HANDLE;
    else if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) reject = USBD_STATUS_INVALID_PARAMETER;
    else if (buffer == nullptr && length != 0) reject = USBD_STATUS_INVALID_PARAMETER;
    else if (ep.halted) reject = USBD_STATUS_STALL_PID;
    if (reject != USBD_STATUS_SUCCESS) {
        Finish(t, reject);
        Deliver(lock, false);
        return id;
    }
    ep.Append(t);
    ep.counters.maxInFlight = std::max(ep.counters.maxInFlight, ep.counters.inFlight);
    if (realTime_ && ep.model.role == EndpointRole::Midi) wakeCv_.notify_all();
    return id;
}

bool VirtualDevice::CancelTransfer(std::uint64_t id) {
    Lock lock(mutex_);
    for (auto& slot : endpoints_) {
        if (!slot) continue;
        for (Transfer* t = slot->head; t; t = t->next) {
            if (t->id != id) continue;
            slot->Remove(t);
            Finish(t, USBD_STATUS_CANCELED);
            Deliver(lock, true);
            return true;
        }
    }
    return false;
}

void VirtualDevice::AbortPipe(UCHAR endpoint) {
    Lock lock(mutex_);
    if (auto& slot = endpoints_[SlotOf(endpoint)]) FinishAll(*slot, USBD_STATUS_CANCELED);
    Deliver(lock, true);
}

void VirtualDevice::ResetPipe(UCHAR endpoint) {
    Lock lock(mutex_);
    if (auto& slot = endpoints_[SlotOf(endpoint)]) {
        FinishAll(*slot, USBD_STATUS_CANCELED);
        slot->halted = false;
        ++slot->counters.resets;
    }
    Deliver(lock, true);
}

// -------------------------------------------------------------------- clock

bool VirtualDevice::AdvanceFrames(std::uint64_t frames) {
    Lock lock(mutex_);
    if (realTime_) return false;
    RunUntil(lock, clock_ + frames);
    return true;
}

void VirtualDevice::SetRealTime(double factor) {
    Lock lock(mutex_);
    if (realTime_) {
        ReanchorRealTime();
        realTimeFactor_ = factor;
        wakeCv_.notify_all();
        return;
    }
    realTime_ = true;
    realTimeFactor_ = factor;
    stopThread_ = false;
    anchorTime_ = std::chrono::steady_clock::now();
    anchorFrame_ = clock_;
    thread_ = std::thread([this] { RealTimeLoop(); });
}

void VirtualDevice::SetStepped() {
    std::thread thread;
    {
        Lock lock(mutex_);
        if (!realTime_) return;
        if (std::this_thread::get_id() == thread_.get_id())
            VerifierStop("virtual USB device: SetStepped called on the device's own thread");
        realTime_ = false;
        stopThread_ = true;
        thread = std::move(thread_);
        wakeCv_.notify_all();
    }
    thread.join();
}

std::uint64_t VirtualDevice::ClockFrame() const {
    Lock lock(mutex_);
    return clock_;
}

ULONG VirtualDevice::SampleRate() const {
    Lock lock(mutex_);
    return rate_;
}

void VirtualDevice::SetCompletionBarrier(std::function<void()> barrier) {
    Lock lock(mutex_);
    barrier_ = std::move(barrier);
}

// ------------------------------------------------------------------ capture

void VirtualDevice::CaptureSilence() {
    Lock lock(mutex_);
    captureKind_ = CaptureKind::Silence;
}

void VirtualDevice::CaptureTones(std::vector<Tone> perChannel) {
    Lock lock(mutex_);
    tones_ = std::move(perChannel);
    captureKind_ = CaptureKind::Tones;
}

void VirtualDevice::CaptureCounter() {
    Lock lock(mutex_);
    captureKind_ = CaptureKind::Counter;
}

void VirtualDevice::CaptureGenerator(std::function<std::int32_t(std::uint64_t, std::uint32_t)> generator) {
    Lock lock(mutex_);
    generator_ = std::move(generator);
    captureKind_ = CaptureKind::Generator;
}

void VirtualDevice::CaptureLoopback(std::uint32_t latencyFrames) {
    Lock lock(mutex_);
    std::uint32_t channels = 1;
    for (const auto& intf : model_.interfaces)
        for (const auto& alt : intf.alternates)
            for (const auto& ep : alt.endpoints)
                if (ep.role == EndpointRole::Audio && !ep.In()) channels = std::max(channels, alt.layout->channels);
    // The ring spans the latency plus what one packet can play ahead of the
    // capture position.
    std::size_t size = 1;
    while (size < std::size_t{latencyFrames} + 1024) size <<= 1;
    loopbackLatency_ = latencyFrames;
    loopbackChannels_ = channels;
    loopbackTags_.assign(size, 0);
    loopbackSamples_.assign(size * channels, 0);
    captureKind_ = CaptureKind::Loopback;
}

// ---------------------------------------------------------------- recording

void VirtualDevice::SetPlaybackRecording(std::size_t maxFrames) {
    Lock lock(mutex_);
    recording_->maxFrames = maxFrames;
}

std::vector<PlayedFrame> VirtualDevice::Played() const {
    Lock lock(mutex_);
    std::vector<PlayedFrame> frames;
    frames.reserve(recording_->entries.size());
    for (const auto& e : recording_->entries) {
        const auto first = recording_->samples.begin() + static_cast<std::ptrdiff_t>(e.offset);
        frames.push_back(PlayedFrame{e.frame, e.underrun, std::vector<std::int32_t>(first, first + e.channels)});
    }
    return frames;
}

std::optional<PlayedFrame> VirtualDevice::PlayedAt(std::uint64_t frame) const {
    Lock lock(mutex_);
    const auto& entries = recording_->entries;
    const auto it = std::lower_bound(entries.begin(), entries.end(), frame,
                                     [](const Recording::Entry& e, std::uint64_t f) { return e.frame < f; });
    if (it == entries.end() || it->frame != frame) return std::nullopt;
    const auto first = recording_->samples.begin() + static_cast<std::ptrdiff_t>(it->offset);
    return PlayedFrame{it->frame, it->underrun, std::vector<std::int32_t>(first, first + it->channels)};
}

void VirtualDevice::ClearPlayed() {
    Lock lock(mutex_);
    recording_->entries.clear();
    recording_->samples.clear();
}

// --------------------------------------------------------------------- MIDI

void VirtualDevice::QueueMidiIn(std::span<const MidiPacket> packets) {
    Lock lock(mutex_);
    if (midiInHead_ == midiIn_.size()) {
        midiIn_.clear();
        midiInHead_ = 0;
    }
    midiIn_.insert(midiIn_.end(), packets.begin(), packets.end());
    if (realTime_) wakeCv_.notify_all();
}

std::vector<MidiPacket> VirtualDevice::MidiOut() const {
    Lock lock(mutex_);
    return midiOut_;
}

void VirtualDevice::ClearMidiOut() {
    Lock lock(mutex_);
    midiOut_.clear();
}

// ------------------------------------------------------------------- faults

void VirtualDevice::StallEndpoint(UCHAR endpoint) {
    Lock lock(mutex_);
    auto& slot = endpoints_[SlotOf(endpoint)];
    if (!slot) {
        slot = std::make_unique<EndpointState>();
        slot->address = endpoint;
    }
    slot->halted = true;
    FinishAll(*slot, USBD_STATUS_STALL_PID);
    Deliver(lock, true);
}

void VirtualDevice::Unplug() {
    Lock lock(mutex_);
    unplugged_ = true;
    for (auto& slot : endpoints_)
        if (slot) FinishAll(*slot, USBD_STATUS_DEVICE_GONE);
    wakeCv_.notify_all();
    Deliver(lock, true);
}

bool VirtualDevice::Unplugged() const {
    Lock lock(mutex_);
    return unplugged_;
}

void VirtualDevice::SetClockNeverValid(UCHAR clockId, bool neverValid) {
    Lock lock(mutex_);
    for (auto& clock : clocks_)
        if (clock.model->id == clockId) clock.neverValid = neverValid;
}

void VirtualDevice::SetClockSettleTime(UCHAR clockId, std::chrono::nanoseconds settleTime) {
    Lock lock(mutex_);
    for (auto& clock : clocks_)
        if (clock.model->id == clockId) clock.settleTime = settleTime;
}

void VirtualDevice::InjectShortIn(UCHAR endpoint, std::uint32_t count, std::uint32_t chunks) {
    Lock lock(mutex_);
    auto& slot = endpoints_[SlotOf(endpoint)];
    if (!slot) {
        slot = std::make_unique<EndpointState>();
        slot->address = endpoint;
    }
    slot->shortCount = count;
    slot->shortChunks = chunks;
}

void VirtualDevice::InjectTransferErrors(UCHAR endpoint, std::uint32_t count, USBD_STATUS status) {
    Lock lock(mutex_);
    auto& slot = endpoints_[SlotOf(endpoint)];
    if (!slot) {
        slot = std::make_unique<EndpointState>();
        slot->address = endpoint;
    }
    slot->errorCount = count;
    slot->errorStatus = status;
}

void VirtualDevice::FailControlRequests(const ControlFault& fault) {
    Lock lock(mutex_);
    controlFaults_.push_back(fault);
}

void VirtualDevice::ClearControlFaults() {
    Lock lock(mutex_);
    controlFaults_.clear();
}

// ----------------------------------------------------------------- counters

EndpointCounters VirtualDevice::Counters(UCHAR endpoint) const {
    Lock lock(mutex_);
    const auto& slot = endpoints_[SlotOf(endpoint)];
    return slot ? slot->counters : EndpointCounters{};
}

StreamCounters VirtualDevice::Stream() const {
    Lock lock(mutex_);
    return stream_;
}

void VirtualDevice::ResetCounters() {
    Lock lock(mutex_);
    stream_ = {};
    for (auto& slot : endpoints_) {
        if (!slot) continue;
        const std::uint32_t inFlight = slot->counters.inFlight;
        slot->counters = {};
        slot->counters.inFlight = inFlight;
        slot->counters.maxInFlight = inFlight;
    }
}

// -------------------------------------------------------------------- state

std::optional<UCHAR> VirtualDevice::CurrentConfiguration() const {
    Lock lock(mutex_);
    return configuration_;
}

std::optional<UCHAR> VirtualDevice::CurrentAlternate(UCHAR interfaceNumber) const {
    Lock lock(mutex_);
    for (const auto& [number, alternate] : currentAlternates_)
        if (number == interfaceNumber) return alternate;
    return std::nullopt;
}

ULONG VirtualDevice::ClockFrequency(UCHAR clockId) const {
    Lock lock(mutex_);
    for (const auto& clock : clocks_)
        if (clock.model->id == clockId) return clock.frequency;
    return 0;
}

std::optional<UCHAR> VirtualDevice::SelectorPin(UCHAR selectorId) const {
    Lock lock(mutex_);
    for (const auto& [id, pin] : selectorPins_)
        if (id == selectorId) return pin;
    return std::nullopt;
}

std::optional<SHORT> VirtualDevice::Volume(UCHAR unitId, UCHAR channel) const {
    Lock lock(mutex_);
    for (const auto& unit : featureUnits_)
        if (unit.model->id == unitId && channel < unit.volume.size()) return unit.volume[channel];
    return std::nullopt;
}

std::optional<bool> VirtualDevice::Mute(UCHAR unitId, UCHAR channel) const {
    Lock lock(mutex_);
    for (const auto& unit : featureUnits_)
        if (unit.model->id == unitId && channel < unit.mute.size()) return static_cast<bool>(unit.mute[channel]);
    return std::nullopt;
}

// -------------------------------------------------------------------- rates

UCHAR VirtualDevice::StreamingClockEntity() const {
    // The clock of the capture terminal, else of the playback terminal, as
    // the host sees it.
    for (const bool wantIn : {true, false}) {
        for (const auto& intf : model_.interfaces)
            for (const auto& alt : intf.alternates) {
                if (!alt.layout || alt.terminalLink == 0) continue;
                const bool hasWanted = std::any_of(alt.endpoints.begin(), alt.endpoints.end(), [&](const EndpointModel& e) {
                    return e.role == EndpointRole::Audio && e.In() == wantIn;
                });
                if (!hasWanted) continue;
                if (const TerminalModel* t = model_.Terminal(alt.terminalLink); t && t->clockSource) return t->clockSource;
            }
    }
    return model_.clockSources.empty() ? 0 : model_.clockSources.front().id;
}

ULONG VirtualDevice::ResolveClockRate(UCHAR clockId, int depth) const {
    // Clock graphs come from the descriptors: a loop must not recurse forever.
    if (depth > 8) return 0;
    for (const auto& clock : clocks_)
        if (clock.model->id == clockId) return clock.frequency;
    if (const ClockSelectorModel* selector = model_.ClockSelector(clockId)) {
        for (const auto& [id, pin] : selectorPins_)
            if (id == clockId && pin >= 1 && pin <= selector->inputs.size())
                return ResolveClockRate(selector->inputs[pin - 1], depth + 1);
        return 0;
    }
    if (const ClockMultiplierModel* multiplier = model_.ClockMultiplier(clockId))
        return ResolveClockRate(multiplier->source, depth + 1);
    return 0;
}

void VirtualDevice::RecomputeRate() {
    ULONG rate = 48000;
    if (model_.audioClass == AudioClass::Uac2) {
        if (const ULONG resolved = ResolveClockRate(StreamingClockEntity(), 0)) rate = resolved;
    } else if (model_.audioClass == AudioClass::Uac1) {
        rate = uac1Rate_;
    }
    if (rate == rate_) return;
    ReanchorRealTime();
    rate_ = rate;
    // What a frame carries may change with the rate.
    for (EndpointState* ep : active_)
        if (ep->model.role == EndpointRole::Audio && ep->alternate != nullptr) ep->layout = FrameLayout(*ep->alternate);
    wakeCv_.notify_all();
}

SampleLayout VirtualDevice::FrameLayout(const AltSettingModel& alt) const {
    SampleLayout layout = alt.layout.value_or(SampleLayout{});
    const std::uint32_t limit = behaviour_.highSpeedHighRateChannels;
    if (limit != 0 && descriptors_.speed == BusSpeed::High && rate_ >= 176400 && layout.channels > limit)
        layout.channels = limit;
    return layout;
}

std::uint32_t VirtualDevice::FrameChannels(UCHAR endpoint) const {
    Lock lock(mutex_);
    const auto& slot = endpoints_[SlotOf(endpoint)];
    return slot && slot->active && slot->address == endpoint ? slot->layout.channels : 0;
}

std::chrono::steady_clock::time_point VirtualDevice::RealNow() const {
    return behaviour_.realTimeNow ? behaviour_.realTimeNow() : std::chrono::steady_clock::now();
}

}  // namespace sim::usb

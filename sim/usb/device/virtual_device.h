// A virtual USB audio (or MIDI) device: descriptors, control requests, and
// bulk streaming on its own sample clock.
//
// The host controller glue turns URBs into calls on this object; the object
// knows nothing of IRPs, URBs or IRQL. It is thread-safe: requests and
// submissions may come from any thread.
//
// Time. The device clock counts frames (T = frames elapsed since the device
// was made). Frame f is sampled, and played, during [f, f+1). The clock moves
// in one of two ways:
//   - stepped (the default): AdvanceFrames(n) moves it by n frames; every
//     event due up to and including the new T happens, in order, before the
//     call returns;
//   - real time: a device thread moves it with steady_clock, scaled by a
//     factor, at the current sample rate.
// The sample rate is the current frequency of the clock source behind the
// streaming terminals (2.0), or the endpoint sampling frequency last set
// (1.0). A rate change only changes how fast real time turns into frames and
// how many frames a high-speed packet carries.
//
// Streaming (bulk endpoints of AudioStreaming settings). A frame carries the
// selected setting's channels (fewer where DeviceBehaviour's high-rate quirk
// applies). A chunk is one
// wMaxPacketSize packet; it carries framesPerChunk frames at its start (8 at
// SuperSpeed and full speed; at high speed 4 below 100000 Hz and 8 from
// 100000 Hz), the rest zero. When a setting with a data endpoint is selected
// at T0, its frame stream starts at T0.
//   - IN: the chunk holding frames [a, a+n) becomes available at T = a+n and
//     goes into the oldest pending transfer at that instant; a transfer
//     completes when full. A chunk with no pending transfer is dropped
//     (overrun).
//   - OUT: the packet that plays frames [a, a+n) is taken at T = a, the
//     instant its first frame starts to play, and its bytes are read from the
//     transfer buffer at that instant, not at submission (as DMA does). This
//     is the latest moment a real device could fetch the data without a
//     gap, so bytes written into a submitted buffer up to then are what
//     plays; it makes the device side of any latency figure zero, so
//     everything measured is the host's. A transfer completes at the instant
//     its last packet is taken. With nothing pending at T = a the device
//     plays the packet's frames as silence (underrun).
//   At one instant OUT packets are taken before IN chunks are delivered.
//
// Completions are called exactly once per submission, never while the
// device's lock is held, one at a time and in the order they happened: the
// completions of one instant are delivered before the clock moves on, so a
// completion that resubmits at once is in time for the next chunk. They run
// on the thread that advances the clock (the AdvanceFrames caller or the
// device thread), on the thread of a call that ends transfers (AbortPipe,
// StallEndpoint, Unplug, SET_INTERFACE ...) before that call returns, or, for
// a submission that fails at once (device gone, endpoint halted, no such
// endpoint), on the submitting thread before SubmitBulk returns -- unless
// another thread is delivering at that moment, which then delivers it. A call
// made from inside a completion never waits for delivery; its completions
// follow when the current one returns.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/urb.h"
#include "sim/usb/device/device_model.h"
#include "sim/usb/device/sample_format.h"
#include "sim/usb/profile/description.h"
#include "sim/usb/profile/descriptor_set.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace sim::usb {

// Frames at the start of each chunk for a bus speed and rate.
std::uint32_t FramesPerChunk(BusSpeed speed, ULONG rate);

// Whether a RANGE subrange holds `rate` (dRES 0 with dMIN == dMAX: one rate).
bool RangeContains(const FrequencyRange& range, ULONG rate);

struct ClockBehaviour {
    UCHAR clockId = 0;
    std::vector<FrequencyRange> ranges;  // empty: the description's, else the six rates 44100 .. 192000
    ULONG initialFrequency = 0;          // 0: 48000 when supported, else the first rate
    // After a frequency change the clock reports "not valid" for this long,
    // in real (steady_clock) time: a rate change is a PLL relock.
    std::chrono::nanoseconds settleTime{0};
    bool neverValid = false;
};

struct VolumeRange {
    SHORT min = static_cast<SHORT>(-127 * 256);  // 1/256 dB
    SHORT max = 0;
    USHORT res = 256;
};

struct FeatureUnitBehaviour {
    UCHAR unitId = 0;
    VolumeRange range;
    SHORT initialVolume = 0;
    bool initialMute = false;
};

// The 6-byte answer of a 2.0 terminal's connector control.
struct ConnectorBehaviour {
    UCHAR terminalId = 0;
    UCHAR channels = 2;  // 0: nothing plugged in
    ULONG channelConfig = 0;
    UCHAR channelNames = 0;
};

struct DeviceBehaviour {
    std::vector<ClockBehaviour> clocks;  // clock sources not listed get the defaults
    std::vector<FeatureUnitBehaviour> featureUnits;
    // Terminals with a connector control not listed report their own channel
    // count (input terminals) or 2.
    std::vector<ConnectorBehaviour> connectors;
    ULONG uac1InitialRate = 0;  // 0: 48000 when the streaming settings accept it, else their first rate
    // Quirk: a 1.0 endpoint without the sampling-frequency control still
    // answers GET_CUR with the current rate (SET_CUR still stalls).
    bool uac1FrequencyReadableWithoutControl = false;
    // Quirk: from 176400 Hz on a high-speed bus, the selected setting's
    // frames carry at most this many channels, whatever its descriptors
    // say (0: as described). See Description::highSpeedHighRateChannels.
    std::uint8_t highSpeedHighRateChannels = 0;
    // The real-time source of the settle time; tests may substitute it.
    std::function<std::chrono::steady_clock::time_point()> realTimeNow;
};

struct ControlResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    ULONG bytes = 0;
};

// One control transfer as the device saw it.
struct ControlRecord {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    std::vector<UCHAR> data;  // host-to-device: what was sent; device-to-host: what was returned
    ControlResult result;
    std::uint64_t frame = 0;  // device clock when it arrived
};

// Makes matching control requests fail. Unset fields match anything.
struct ControlFault {
    std::optional<UCHAR> request;   // bRequest
    std::optional<UCHAR> entity;    // wIndex high byte (interface recipient), endpoint address (endpoint recipient)
    std::optional<UCHAR> selector;  // wValue high byte
    std::optional<std::uint32_t> count;  // unset: always
    USBD_STATUS status = USBD_STATUS_STALL_PID;
};

using BulkCompletion = std::function<void(USBD_STATUS status, ULONG bytes)>;

struct EndpointCounters {
    std::uint64_t submitted = 0;
    std::uint64_t completed = 0;  // every completion, whatever its status
    std::uint64_t succeeded = 0;
    std::uint64_t cancelled = 0;
    std::uint64_t bytes = 0;  // moved by completed transfers
    std::uint32_t inFlight = 0;
    std::uint32_t maxInFlight = 0;
    std::uint64_t resets = 0;
};

struct StreamCounters {
    std::uint64_t framesCaptured = 0;  // frames delivered into IN transfers
    std::uint64_t framesPlayed = 0;    // frames taken from OUT transfers
    std::uint64_t overrunChunks = 0;
    std::uint64_t overrunFrames = 0;
    std::uint64_t underrunPackets = 0;
    std::uint64_t underrunFrames = 0;  // including frames a short OUT packet lacked
    // Real time only: device time given up because the device thread fell
    // too far behind the wall clock (a loaded machine, sanitizers). The
    // clock slips rather than rushing through a burst of frames.
    std::uint64_t slippedFrames = 0;
};

struct PlayedFrame {
    std::uint64_t frame = 0;  // device clock frame it played in
    bool underrun = false;    // silence played for want of data
    std::vector<std::int32_t> samples;  // container values (see LoadSampleValue)
};

struct Tone {
    double frequency = 0;  // Hz
    double amplitude = 0;  // of full scale, 0..1
};

using MidiPacket = std::array<UCHAR, 4>;

class VirtualDevice {
public:
    // From descriptor bytes (a profile's output or a raw dump).
    explicit VirtualDevice(DescriptorSet descriptors, DeviceBehaviour behaviour = {});
    // From a description: its descriptor set, and the clock rates its clock
    // sources declare wherever `behaviour` names none.
    explicit VirtualDevice(const Description& description, DeviceBehaviour behaviour = {});
    ~VirtualDevice();  // stops the device thread; what is still pending completes with DEVICE_GONE
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    // ----- identity
    BusSpeed Speed() const { return descriptors_.speed; }
    const DescriptorSet& Descriptors() const { return descriptors_; }
    const ConfigurationModel& Model() const { return model_; }

    // ----- the control pipe
    // `data` must hold wLength bytes. Standard requests, the audio-class
    // requests the descriptors declare; anything else stalls.
    ControlResult Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    std::vector<ControlRecord> ControlLog() const;
    void ClearControlLog();

    // ----- bulk pipes
    // Queues a transfer on an endpoint of the current configuration and
    // settings; `completion` is called exactly once. Returns the transfer's
    // id (for CancelTransfer). The buffer must stay valid until completion.
    std::uint64_t SubmitBulk(UCHAR endpoint, void* buffer, ULONG length, ULONG flags, BulkCompletion completion);
    // Cancels one pending transfer (an IRP cancel); false when it is no
    // longer pending.
    bool CancelTransfer(std::uint64_t id);
    // Every pending transfer of the endpoint completes with CANCELED.
    void AbortPipe(UCHAR endpoint);
    // Cancels what is pending and clears a halt.
    void ResetPipe(UCHAR endpoint);

    // ----- the clock
    // Stepped mode only (returns false in real time).
    bool AdvanceFrames(std::uint64_t frames);
    void SetStepped();                      // stops the device thread
    void SetRealTime(double factor = 1.0);  // starts it
    std::uint64_t ClockFrame() const;
    ULONG SampleRate() const;
    // Called after the completions of one instant were delivered and before
    // the clock moves on: a host controller that hands completions to its own
    // context waits here until that context is drained, so that stepped runs
    // stay exact.
    void SetCompletionBarrier(std::function<void()> barrier);

    // ----- what IN endpoints capture
    void CaptureSilence();
    void CaptureTones(std::vector<Tone> perChannel);
    void CaptureCounter();
    // The frame played at device frame f is captured at frame f + latency.
    void CaptureLoopback(std::uint32_t latencyFrames);
    // Any signal: v32 (left-justified 32-bit) for (frame, channel).
    void CaptureGenerator(std::function<std::int32_t(std::uint64_t frame, std::uint32_t channel)> generator);

    // ----- what OUT endpoints played
    // The first `maxFrames` frames played are kept (default 1 << 18, about 5 s
    // at 48 kHz); 0 stops recording.
    void SetPlaybackRecording(std::size_t maxFrames);
    std::vector<PlayedFrame> Played() const;
    std::optional<PlayedFrame> PlayedAt(std::uint64_t frame) const;
    void ClearPlayed();

    // ----- MIDI (4-byte event packets on MIDIStreaming endpoints)
    // Queued packets go to pending IN transfers at the next processing pass
    // (AdvanceFrames, or at once in real time).
    void QueueMidiIn(std::span<const MidiPacket> packets);
    std::vector<MidiPacket> MidiOut() const;
    void ClearMidiOut();

    // ----- faults
    void StallEndpoint(UCHAR endpoint);  // pending and later transfers fail with STALL_PID until reset
    void Unplug();                       // everything fails with DEVICE_GONE from now on
    bool Unplugged() const;
    void SetClockNeverValid(UCHAR clockId, bool neverValid);
    // Applies from the next frequency change on.
    void SetClockSettleTime(UCHAR clockId, std::chrono::nanoseconds settleTime);
    // The next `count` IN transfers of the endpoint end after `chunks` chunks
    // (0: a zero-length transfer). Data is not lost: the chunk that ends a
    // zero-length transfer goes on to the next one.
    void InjectShortIn(UCHAR endpoint, std::uint32_t count, std::uint32_t chunks);
    // The next `count` transfers of the endpoint complete with `status` and
    // no data at the instant they would first have moved data.
    void InjectTransferErrors(UCHAR endpoint, std::uint32_t count, USBD_STATUS status);
    void FailControlRequests(const ControlFault& fault);
    void ClearControlFaults();

    // ----- counters
    EndpointCounters Counters(UCHAR endpoint) const;
    StreamCounters Stream() const;
    void ResetCounters();

    // The channels a frame of the selected setting carries now: the
    // setting's, or fewer where the high-rate quirk applies.
    std::uint32_t FrameChannels(UCHAR endpoint) const;

    // ----- state, for tests
    std::optional<UCHAR> CurrentConfiguration() const;  // unset: not configured
    std::optional<UCHAR> CurrentAlternate(UCHAR interfaceNumber) const;
    ULONG ClockFrequency(UCHAR clockId) const;
    std::optional<UCHAR> SelectorPin(UCHAR selectorId) const;
    std::optional<SHORT> Volume(UCHAR unitId, UCHAR channel) const;
    std::optional<bool> Mute(UCHAR unitId, UCHAR channel) const;

private:
    struct Transfer;
    struct EndpointState;
    struct ClockState;
    struct FeatureState;
    struct Recording;
    enum class CaptureKind { Silence, Tones, Counter, Loopback, Generator };
    using Lock = std::unique_lock<std::mutex>;

    // control.cpp
    ControlResult HandleControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data, Lock& lock);
    ControlResult StandardRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult SetConfiguration(USHORT value);
    ControlResult SetInterface(UCHAR interfaceNumber, UCHAR alternate);
    ControlResult ClassInterfaceRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult ClassEndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult Uac2Request(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult Uac1Request(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<UCHAR> data);
    ControlResult ClockSourceRequest(ClockState& clock, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                     std::span<UCHAR> data);
    ControlResult FeatureUnitRequest(FeatureState& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                     std::span<UCHAR> data, bool uac2);
    bool MatchFault(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, USBD_STATUS& status);
    bool ClockValid(const ClockState& clock) const;
    std::chrono::steady_clock::time_point RealNow() const;

    // streaming.cpp
    void ActivateEndpoints(UCHAR interfaceNumber, const AltSettingModel* alt);
    void RebuildActive();
    void DeactivateEndpoints(UCHAR interfaceNumber, USBD_STATUS status);
    EndpointState* ActiveEndpoint(UCHAR address);
    void Finish(Transfer* transfer, USBD_STATUS status);
    void FinishAll(EndpointState& endpoint, USBD_STATUS status);
    std::uint64_t NextInstant() const;
    void RunUntil(Lock& lock, std::uint64_t target);
    bool ProcessMidi();
    void ProcessInstant(std::uint64_t instant);
    void TakeOutPacket(EndpointState& endpoint);
    void DeliverInChunk(EndpointState& endpoint);
    void GenerateChunk(UCHAR* out, const EndpointState& endpoint, std::uint64_t firstFrame, std::uint32_t frames);
    std::int32_t CaptureV32(std::uint64_t frame, std::uint32_t channel) const;
    void RecordFrame(std::uint64_t frame, const SampleLayout& layout, const UCHAR* bytes, bool underrun);
    SampleLayout FrameLayout(const AltSettingModel& alt) const;
    std::uint32_t CurrentFramesPerChunk() const;
    void RealTimeLoop();
    void ReanchorRealTime();

    // delivery
    void Deliver(Lock& lock, bool wait);

    Transfer* NewTransfer();
    void Recycle(Transfer* transfer);

    // rates
    ULONG ResolveClockRate(UCHAR clockId, int depth) const;
    UCHAR StreamingClockEntity() const;
    void RecomputeRate();

    const DescriptorSet descriptors_;
    const ConfigurationModel model_;
    const DeviceBehaviour behaviour_;

    mutable std::mutex mutex_;
    std::condition_variable deliveredCv_;  // delivery progress
    std::condition_variable wakeCv_;       // the device thread

    bool unplugged_ = false;
    std::optional<UCHAR> configuration_;
    std::vector<std::pair<UCHAR, UCHAR>> currentAlternates_;  // interface number, setting
    std::array<std::unique_ptr<EndpointState>, 32> endpoints_;  // by (address & 0x0F) | (IN ? 16 : 0)
    std::vector<EndpointState*> active_;  // the active ones, OUT before IN
    bool packetEndpoints_ = false;        // some active endpoint is MIDI or of no known use

    std::vector<ClockState> clocks_;
    std::vector<std::pair<UCHAR, UCHAR>> selectorPins_;  // selector id, 1-based pin
    std::vector<FeatureState> featureUnits_;
    ULONG uac1Rate_ = 0;
    ULONG rate_ = 48000;

    std::vector<ControlRecord> controlLog_;
    std::vector<ControlFault> controlFaults_;

    std::uint64_t clock_ = 0;
    bool realTime_ = false;
    double realTimeFactor_ = 1.0;
    bool stopThread_ = false;
    std::chrono::steady_clock::time_point anchorTime_{};
    std::uint64_t anchorFrame_ = 0;
    std::thread thread_;
    std::function<void()> barrier_;

    CaptureKind captureKind_ = CaptureKind::Silence;
    std::vector<Tone> tones_;
    std::function<std::int32_t(std::uint64_t, std::uint32_t)> generator_;
    std::uint32_t loopbackLatency_ = 0;
    std::uint32_t loopbackChannels_ = 0;
    std::vector<std::uint64_t> loopbackTags_;  // frame + 1 held in each slot, 0 empty
    std::vector<std::int32_t> loopbackSamples_;

    std::unique_ptr<Recording> recording_;

    std::vector<MidiPacket> midiIn_;
    std::size_t midiInHead_ = 0;
    std::vector<MidiPacket> midiOut_;

    StreamCounters stream_;
    std::uint64_t nextTransferId_ = 1;

    // Completions waiting for delivery, in order.
    Transfer* doneHead_ = nullptr;
    Transfer* doneTail_ = nullptr;
    Transfer* freeTransfers_ = nullptr;
    std::uint64_t finishedCount_ = 0;
    std::uint64_t deliveredCount_ = 0;
    bool delivering_ = false;
    std::thread::id deliveringThread_{};
    std::vector<std::unique_ptr<Transfer>> transferStore_;
};

}  // namespace sim::usb

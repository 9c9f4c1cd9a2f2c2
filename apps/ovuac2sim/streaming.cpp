#include "apps/ovuac2sim/streaming.h"

#include "apps/ovuac2sim/observe.h"
#include "apps/ovuac2sim/status.h"
#include "driver/stream/engine_table.h"
#include "sim/kernel/kernel.h"
#include "sim/usb/device/sample_format.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace ovusim {
namespace {

// The resolution of the capture setting now selected, for decoding the
// counter pattern.
unsigned CaptureResolution(UsbAudioDevice& model) {
    StreamingInterface* s = model.CaptureInterface;
    if (s == nullptr || s->CurrentAlt == 0 || s->CurrentAlt >= s->AltCount) return 0;
    const auto* format = reinterpret_cast<const UCHAR*>(s->Alts[s->CurrentAlt].FormatType);
    if (format == nullptr) return 0;
    return model.IsUac2 ? (format[0] > 5 ? format[5] : 0) : (format[0] > 6 ? format[6] : 0);
}

// Checks that the input ring holds consecutive frames of the device's
// counter pattern, channel by channel, up to the write position.
void CheckCounterPattern(const StreamEngine::RingView& rings, const sim::usb::SampleLayout& layout, Report* r) {
    const ULONG bytesPerFrame = layout.BytesPerFrame();
    if (bytesPerFrame == 0 || !layout.Valid()) return;
    const std::uint64_t ringFrames = kRingSize / bytesPerFrame;
    const std::uint64_t frames = rings.capturedFrames < ringFrames ? rings.capturedFrames : ringFrames;
    const std::uint64_t modulus = sim::usb::CounterFrameModulus(layout.bitResolution);
    const std::uint32_t channelModulus = 1u << sim::usb::CounterChannelBits(layout.bitResolution);
    std::uint64_t position = (rings.inputWritePos + kRingSize - (frames * bytesPerFrame) % kRingSize) % kRingSize;
    std::uint64_t expected = 0;
    for (std::uint64_t f = 0; f < frames; ++f) {
        const UCHAR* frame = rings.inputRing + position;
        for (std::uint32_t c = 0; c < layout.channels; ++c) {
            const sim::usb::CounterCode code = sim::usb::DecodeCounterSample(frame + c * layout.subslotBytes, layout);
            if (c == 0) {
                if (f != 0 && code.frameModulo != expected) ++r->counterGaps;
                expected = (code.frameModulo + 1) % modulus;
            } else if (code.channel != c % channelModulus || (code.frameModulo + 1) % modulus != expected) {
                ++r->counterGaps;
            }
        }
        position = (position + bytesPerFrame) % kRingSize;
    }
    r->checkedFrames = frames;
}

// On the stepped clock the device waits for the host: before each step the
// workers (real threads) get the time to put every transfer back in flight,
// as they would long before the next packet on real hardware. False when
// they did not within a generous real-time bound.
bool WaitForTransfersInFlight(sim::Machine& machine, const StreamEngine& engine) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        machine.kernel().RunUntilQuiet();
        if (engine.Direction(true).outstanding == kCaptureTransfersInFlight &&
            engine.Direction(false).outstanding == kPlaybackTransfersInFlight)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

// What the descriptors show that bulk streaming in both directions needs
// and the device lacks.
std::vector<std::string> DeviceNotes(const DeviceInfo& device) {
    std::vector<std::string> notes;
    for (bool input : {false, true}) {
        bool found = false;
        for (const StreamingInfo& s : device.streaming) found = found || s.input == input;
        if (!found) notes.push_back(std::string("no ") + (input ? "capture" : "playback") + " streaming interface");
    }
    for (const StreamingInfo& s : device.streaming)
        for (const AltInfo& a : s.alts)
            if (a.transferType != "bulk") {
                char note[96];
                std::snprintf(note, sizeof(note), "interface %u setting %u: %s data endpoint 0x%02X", s.number,
                              a.number, a.transferType.c_str(), a.endpoint);
                notes.emplace_back(note);
            }
    return notes;
}

UCHAR DataEndpoint(const StreamingInterface* s, UCHAR fallback) {
    return s != nullptr && s->DataPipe != nullptr ? s->DataPipe->EndpointAddress : fallback;
}

// The streaming set-up the engine chose, as the report shows it.
void DescribeSetup(StreamEngine& engine, UsbAudioDevice& model, Report* r) {
    r->rate = engine.CurrentRate();
    const auto capture = engine.Direction(true);
    const auto playback = engine.Direction(false);
    const ULONG speed = model.BusSpeed();
    const ULONG perChunk = FramesPerChunk(speed, r->rate);
    r->capture = {capture.channels, capture.bits, capture.transferBytes, capture.chunksPerTransfer * perChunk,
                  capture.chunksPerTransfer};
    const auto rings = engine.Rings();
    r->outStride = rings.layout.stride;
    r->outSlots = rings.layout.slots;
    // An OUT transfer is one stride of the output ring.
    r->playback = {playback.channels, playback.bits, rings.layout.stride,
                   ChunkBytesToFrames(speed, r->rate, rings.layout.stride), playback.chunksPerTransfer};
}

// Runs the device clock for the asked time; returns why it stopped early,
// or nothing.
std::string RunClock(sim::Machine& machine, sim::usb::VirtualDevice& device, StreamEngine& engine,
                     const Options& o, const Report& r, UCHAR inEndpoint, UCHAR outEndpoint) {
    const std::uint64_t total = static_cast<std::uint64_t>(o.seconds * r.rate);
    const std::uint64_t step = r.capture.framesPerTransfer != 0 ? r.capture.framesPerTransfer : 64;
    const std::uint64_t progressEvery = r.rate / 2 != 0 ? r.rate / 2 : 1;
    const std::uint64_t start = device.ClockFrame();
    std::uint64_t nextProgress = progressEvery;
    if (!WaitForTransfersInFlight(machine, engine)) return "the workers did not put their transfers in flight";
    if (o.timeScale > 0) device.SetRealTime(o.timeScale);
    std::string stopped;
    for (;;) {
        if (o.timeScale > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            if (!WaitForTransfersInFlight(machine, engine)) {
                stopped = "the workers did not keep their transfers in flight";
                break;
            }
            device.AdvanceFrames(step);
        }
        const std::uint64_t elapsed = device.ClockFrame() - start;
        if (elapsed >= nextProgress || elapsed >= total) {
            std::printf("  %6.2f s  captured %llu frames, played %llu, IN in flight %u, OUT in flight %u\n",
                        static_cast<double>(elapsed) / r.rate,
                        static_cast<unsigned long long>(device.Stream().framesCaptured),
                        static_cast<unsigned long long>(device.Stream().framesPlayed),
                        device.Counters(inEndpoint).inFlight, device.Counters(outEndpoint).inFlight);
            std::fflush(stdout);
            nextProgress += progressEvery;
        }
        if (elapsed >= total) break;
    }
    if (o.timeScale > 0) device.SetStepped();
    return stopped;
}

}  // namespace

void Stream(sim::Machine& machine, sim::usb::VirtualDevice& device, AdapterCommon& adapter, const Options& o,
            Report* r) {
    StreamEngine& engine = adapter.Engine();
    UsbAudioDevice& model = adapter.Device();
    UCHAR inEndpoint = 0x81, outEndpoint = 0x01;
    std::uint64_t errorsWhileStreaming = 0;

    const std::size_t mark = TraceMark(machine);
    const NTSTATUS started = adapter.Start();
    r->streamStart = StreamStartInfo{StatusOf(started), DriverTrace(machine, mark, TRACE_LEVEL_WARNING), {}};
    if (!NT_SUCCESS(started)) {
        r->streamStart->deviceNotes = DeviceNotes(r->device);
        r->problem = "streaming did not start: " + StatusOf(started).Text();
        PrintStreamStart(*r);
    } else {
        r->streamed = true;
        DescribeSetup(engine, model, r);
        PrintSetup(*r);
        const sim::usb::SampleLayout layout{r->capture.channels, r->capture.containerBits / 8,
                                            CaptureResolution(model)};
        inEndpoint = DataEndpoint(model.CaptureInterface, inEndpoint);
        outEndpoint = DataEndpoint(model.PlaybackInterface, outEndpoint);
        r->problem = RunClock(machine, device, engine, o, *r, inEndpoint, outEndpoint);
        machine.kernel().RunUntilQuiet();
        // Stopping cancels the transfers in flight, and a running device
        // clock overruns until the alternate settings are left: neither
        // belongs to the run.
        errorsWhileStreaming = static_cast<std::uint64_t>(engine.Counters().captureErrors) +
                               static_cast<std::uint64_t>(engine.Counters().playbackErrors);
        r->overrunFrames = device.Stream().overrunFrames;
        r->underrunFrames = device.Stream().underrunFrames;
        adapter.Stop();
        if (!o.loopback) CheckCounterPattern(engine.Rings(), layout, r);
    }
    const auto in = device.Counters(inEndpoint);
    const auto out = device.Counters(outEndpoint);
    const auto stream = device.Stream();
    r->framesCaptured = stream.framesCaptured;
    r->framesPlayed = stream.framesPlayed;
    r->inTransfers = in.succeeded;
    r->outTransfers = out.succeeded;
    r->transferErrors = errorsWhileStreaming;
    r->recoveries = static_cast<std::uint64_t>(engine.Counters().recoveries);
    if (!r->streamed || !r->problem.empty()) return;
    if (r->transferErrors != 0) r->problem = "transfers failed";
    else if (r->overrunFrames != 0 || r->underrunFrames != 0) r->problem = "the device lost frames: the host did not keep up";
    else if (!o.loopback && r->checkedFrames == 0) r->problem = "nothing was captured";
    else if (r->counterGaps != 0) r->problem = "the captured counter pattern has gaps";
}

}  // namespace ovusim

// Bulk streaming on the device's stepped sample clock: timing, what is
// captured and played, loopback, and how transfers end.
#include "device_fixture.h"

namespace sim::usb::test {
namespace {

constexpr UCHAR kOut = 0x01;
constexpr UCHAR kIn = 0x81;
// The maker's 16-bit setting at high speed: 32 channels, 64 bytes a frame,
// 4 frames at the start of each 512-byte chunk below 100 kHz.
constexpr SampleLayout k16Bit{32, 2, 16};
constexpr ULONG kChunk = 512;
constexpr ULONG kFramesPerChunk = 4;

// Frame `frame` of an IN transfer's data, read through the layout, as
// (frame modulo, channel) codes of the counter pattern.
CounterCode CodeAt(const std::vector<UCHAR>& data, std::size_t frameInTransfer, std::uint32_t channel,
                   const SampleLayout& layout, ULONG chunk, std::uint32_t framesPerChunk) {
    const std::size_t offset = frameInTransfer / framesPerChunk * chunk +
                               frameInTransfer % framesPerChunk * layout.BytesPerFrame() + channel * layout.subslotBytes;
    return DecodeCounterSample(&data[offset], layout);
}

// Writes 16-bit `value(frame in transfer, channel)` where each frame of an
// OUT transfer sits in the packet layout.
void FillOut(std::vector<UCHAR>& buffer, const SampleLayout& layout, ULONG packet, std::uint32_t framesPerPacket,
             const std::function<std::int16_t(std::size_t, std::uint32_t)>& value) {
    std::fill(buffer.begin(), buffer.end(), UCHAR{0});
    const std::size_t frames = buffer.size() / packet * framesPerPacket;
    for (std::size_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < layout.channels; ++c) {
            const std::size_t offset =
                f / framesPerPacket * packet + f % framesPerPacket * layout.BytesPerFrame() + c * layout.subslotBytes;
            buffer[offset] = static_cast<UCHAR>(value(f, c));
            buffer[offset + 1] = static_cast<UCHAR>(static_cast<std::uint16_t>(value(f, c)) >> 8);
        }
}

TEST(Streaming, EngineTimingAtHighSpeed48k) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->CaptureCounter();
    constexpr ULONG kInBytes = 6 * kChunk;          // 24 frames
    constexpr ULONG kOutBytes = 196608;             // 384 packets, 1536 frames
    constexpr std::uint64_t kOutFrames = kOutBytes / kChunk * kFramesPerChunk;
    TransferLoop in(*device, kIn, kInBytes, 8);
    TransferLoop out(*device, kOut, kOutBytes, 3);
    out.fill = [](std::vector<UCHAR>& buffer, std::uint64_t n) {
        FillOut(buffer, k16Bit, kChunk, kFramesPerChunk, [n](std::size_t f, std::uint32_t c) {
            return static_cast<std::int16_t>(c == 0 ? (n * kOutFrames + f) % 32768 : c == 1 ? n : 0);
        });
    };
    in.Start();
    out.Start();
    EXPECT_EQ(device->Counters(kIn).inFlight, 8u);
    ASSERT_TRUE(device->AdvanceFrames(3 * kOutFrames + 100));

    const auto ins = in.Completions();
    ASSERT_EQ(ins.size(), (3 * kOutFrames + 100) / 24);
    for (std::size_t k = 0; k < ins.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(ins[k].status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(ins[k].slot, static_cast<int>(k % 8));
        EXPECT_EQ(ins[k].bytes, kInBytes);
        EXPECT_EQ(ins[k].frame, 24 * (k + 1));
        for (std::size_t f = 0; f < 24; f += 7)
            EXPECT_EQ(CodeAt(ins[k].data, f, 31, k16Bit, kChunk, kFramesPerChunk),
                      (CounterCode{31, (24 * k + f) % 1024}));
        // The rest of each chunk is zero.
        EXPECT_TRUE(std::all_of(ins[k].data.begin() + 256, ins[k].data.begin() + 512, [](UCHAR b) { return b == 0; }));
    }

    const auto outs = out.Completions();
    ASSERT_EQ(outs.size(), 3u);
    for (std::size_t k = 0; k < outs.size(); ++k) {
        EXPECT_EQ(outs[k].slot, static_cast<int>(k));
        EXPECT_EQ(outs[k].bytes, kOutBytes);
        // Completes when its last packet is taken, at that packet's first frame.
        EXPECT_EQ(outs[k].frame, (k + 1) * kOutFrames - kFramesPerChunk);
    }
    for (std::uint64_t f : {std::uint64_t{0}, std::uint64_t{1}, kOutFrames - 1, kOutFrames, 3 * kOutFrames + 3}) {
        const auto played = device->PlayedAt(f);
        ASSERT_TRUE(played) << f;
        EXPECT_FALSE(played->underrun) << f;
        EXPECT_EQ(played->samples[0], static_cast<std::int32_t>(f % 32768)) << f;
        EXPECT_EQ(played->samples[1], static_cast<std::int32_t>(f / kOutFrames)) << f;
    }

    EXPECT_EQ(device->Counters(kIn).maxInFlight, 8u);
    EXPECT_EQ(device->Counters(kOut).maxInFlight, 3u);
    const StreamCounters stream = device->Stream();
    EXPECT_EQ(stream.overrunChunks, 0u);
    EXPECT_EQ(stream.underrunPackets, 0u);
    EXPECT_EQ(stream.framesCaptured, 24 * ins.size() + 4);  // one chunk into the next transfer
    EXPECT_EQ(stream.framesPlayed, 3 * kOutFrames + 104);  // through the packet taken at the last instant

    // Teardown as the engine does it: stop resubmitting, abort both pipes.
    in.Stop();
    out.Stop();
    device->AbortPipe(kIn);
    device->AbortPipe(kOut);
    for (UCHAR ep : {kIn, kOut}) {
        const EndpointCounters c = device->Counters(ep);
        EXPECT_EQ(c.submitted, c.completed) << int{ep};
        EXPECT_EQ(c.inFlight, 0u);
        EXPECT_EQ(c.cancelled, ep == kIn ? 8u : 3u);
    }
}

// Frames per chunk follow the speed and rate; the maker's device carries 16
// channels per frame from 176.4 kHz at high speed, its descriptors' 32
// elsewhere.
TEST(Streaming, FramesPerChunkAndChannelsBySpeedAndRate) {
    struct Case {
        BusSpeed speed;
        ULONG rate;
        ULONG chunk;
        std::uint32_t framesPerChunk;
        std::uint32_t channels;
    };
    const Case cases[] = {
        {BusSpeed::Full, 44100, 64, 8, 2},      {BusSpeed::High, 44100, 512, 4, 32},
        {BusSpeed::High, 96000, 512, 4, 32},    {BusSpeed::High, 176400, 512, 8, 16},
        {BusSpeed::High, 192000, 512, 8, 16},   {BusSpeed::Super, 48000, 1024, 8, 32},
        {BusSpeed::Super, 192000, 1024, 8, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << BusSpeedName(c.speed) << " " << c.rate);
        auto device = StreamingMakerDevice(c.speed, c.rate);
        device->CaptureCounter();
        EXPECT_EQ(device->FrameChannels(kIn), c.channels);
        EXPECT_EQ(device->FrameChannels(kOut), c.channels);
        const SampleLayout layout{c.channels, 2, 16};
        TransferLoop in(*device, kIn, 2 * c.chunk, 1);
        in.Start();
        device->AdvanceFrames(2 * c.framesPerChunk);
        const auto done = in.Completions();
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].frame, 2 * c.framesPerChunk);
        // The second chunk starts with frame framesPerChunk.
        EXPECT_EQ(DecodeCounterSample(&done[0].data[c.chunk], layout), (CounterCode{0, c.framesPerChunk}));
        const std::size_t used = c.framesPerChunk * layout.BytesPerFrame();
        EXPECT_EQ(DecodeCounterSample(&done[0].data[c.chunk + used - 2], layout),
                  (CounterCode{layout.channels - 1, 2 * c.framesPerChunk - 1}));
        EXPECT_TRUE(std::all_of(done[0].data.begin() + c.chunk + used, done[0].data.end(), [](UCHAR b) { return b == 0; }));
    }
}

// The frame width follows a rate change made while the setting is selected.
TEST(Streaming, ChannelsPerFrameFollowARateChange) {
    auto device = StreamingMakerDevice(BusSpeed::High, 96000);
    EXPECT_EQ(device->FrameChannels(kIn), 32u);
    SetClockRate(*device, kMakerClockSourceIds[0], 192000);
    EXPECT_EQ(device->FrameChannels(kIn), 16u);
    SetClockRate(*device, kMakerClockSourceIds[0], 48000);
    EXPECT_EQ(device->FrameChannels(kIn), 32u);
    // A generic device keeps its described channels.
    auto generic = std::make_unique<VirtualDevice>(GenericUac2Device({.channels = 8, .isochronous = false}));
    Configure(*generic);
    SetClockRate(*generic, generic->Model().clockSources.front().id, 192000);
    SelectAlt(*generic, 2, 1);
    const UCHAR in = generic->Model().Interface(2)->Alternate(1)->endpoints.front().address;
    EXPECT_EQ(generic->FrameChannels(in), 8u);
}

TEST(Streaming, CaptureLayoutFollowsTheSelectedSetting) {
    struct Case {
        UCHAR alternate;
        SampleLayout layout;
        std::uint32_t framesPerChunk;  // frames that fit a 512-byte chunk
    };
    for (const Case& c : {Case{1, {32, 2, 16}, 4}, Case{2, {32, 4, 24}, 4}, Case{3, {32, 4, 32}, 4}}) {
        SCOPED_TRACE(int{c.alternate});
        auto device = StreamingMakerDevice(BusSpeed::High);
        SelectAlt(*device, 2, c.alternate);
        device->CaptureCounter();
        TransferLoop in(*device, kIn, 3 * kChunk, 1);
        in.Start();
        device->AdvanceFrames(12);
        const auto done = in.Completions();
        ASSERT_EQ(done.size(), 1u);
        for (std::size_t f = 0; f < 12; ++f)
            EXPECT_EQ(CodeAt(done[0].data, f, 5, c.layout, kChunk, c.framesPerChunk), (CounterCode{5, f}));
        // 24 significant bits in a 4-byte subslot leave the low byte zero.
        if (c.layout.bitResolution == 24) {
            EXPECT_EQ(done[0].data[0], 0);
        }
    }
}

TEST(Streaming, OutReadsTheBufferWhenThePacketIsTaken) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    std::vector<UCHAR> buffer(4 * kChunk);
    const auto fill = [&](std::int16_t v) {
        FillOut(buffer, k16Bit, kChunk, kFramesPerChunk, [v](std::size_t, std::uint32_t) { return v; });
    };
    fill(1);
    std::vector<std::uint64_t> doneAt;
    device->SubmitBulk(kOut, buffer.data(), static_cast<ULONG>(buffer.size()), 0,
                       [&](USBD_STATUS, ULONG) { doneAt.push_back(device->ClockFrame()); });
    device->AdvanceFrames(0);  // packet 0 (frames 0-3) is taken now
    fill(2);                   // the driver keeps writing into the submitted buffer
    device->AdvanceFrames(4);  // packet 1
    fill(3);
    device->AdvanceFrames(12);  // packets 2 and 3, then an underrun
    EXPECT_EQ(doneAt, std::vector<std::uint64_t>{12});

    const auto played = device->Played();
    ASSERT_EQ(played.size(), 20u);
    for (std::size_t f = 0; f < played.size(); ++f) {
        SCOPED_TRACE(f);
        EXPECT_EQ(played[f].frame, f);
        const std::int32_t expected = f < 4 ? 1 : f < 8 ? 2 : f < 16 ? 3 : 0;
        EXPECT_EQ(played[f].samples[0], expected);
        EXPECT_EQ(played[f].samples[31], expected);
        EXPECT_EQ(played[f].underrun, f >= 16);
    }
}

TEST(Streaming, IdleStreamsCountUnderrunsAndOverruns) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->AdvanceFrames(40);
    const StreamCounters s = device->Stream();
    EXPECT_EQ(s.underrunPackets, 11u);  // packets taken at 0, 4, ..., 40
    EXPECT_EQ(s.underrunFrames, 44u);
    EXPECT_EQ(s.overrunChunks, 10u);  // chunks ending at 4, 8, ..., 40
    EXPECT_EQ(s.overrunFrames, 40u);
    EXPECT_EQ(s.framesPlayed + s.framesCaptured, 0u);
    const auto played = device->Played();
    EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](const PlayedFrame& p) { return p.underrun; }));
    // Nothing streams at alternate setting 0.
    SelectAlt(*device, 1, 0);
    SelectAlt(*device, 2, 0);
    device->ResetCounters();
    device->AdvanceFrames(400);
    EXPECT_EQ(device->Stream().underrunPackets + device->Stream().overrunChunks, 0u);
}

TEST(Streaming, LoopbackLatencyIsExact) {
    constexpr std::uint32_t kLatency = 100;
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->CaptureLoopback(kLatency);
    const auto value = [](std::uint64_t frame, std::uint32_t channel) {
        return static_cast<std::int16_t>((frame * 7 + channel) % 30000 + 1);
    };
    constexpr std::uint64_t kOutFrames = 4 * kFramesPerChunk;
    TransferLoop out(*device, kOut, 4 * kChunk, 3);
    out.fill = [&](std::vector<UCHAR>& buffer, std::uint64_t n) {
        FillOut(buffer, k16Bit, kChunk, kFramesPerChunk,
                [&](std::size_t f, std::uint32_t c) { return value(n * kOutFrames + f, c); });
    };
    TransferLoop in(*device, kIn, 6 * kChunk, 8);
    out.Start();
    in.Start();
    device->AdvanceFrames(480);

    const auto ins = in.Completions();
    ASSERT_EQ(ins.size(), 20u);
    for (std::size_t k = 0; k < ins.size(); ++k)
        for (std::size_t f = 0; f < 24; ++f) {
            const std::uint64_t frame = 24 * k + f;
            for (std::uint32_t c : {0u, 17u, 31u}) {
                const std::size_t offset = f / 4 * kChunk + f % 4 * 64 + c * 2;
                const auto sample = static_cast<std::int16_t>(ins[k].data[offset] | ins[k].data[offset + 1] << 8);
                ASSERT_EQ(sample, frame < kLatency ? 0 : value(frame - kLatency, c)) << "frame " << frame << " ch " << c;
            }
        }
}

// How each way of ending transfers completes them: exactly once, with its
// status, partial IN data counted; and what later submissions get.
TEST(Streaming, EndingTransfersCompletesEachExactlyOnce) {
    enum class End { Abort, Reset, Stall, Unplug, SelectZero, Unconfigure };
    struct Case {
        const char* name;
        End end;
        USBD_STATUS status;
        USBD_STATUS later;  // the status a submission made afterwards gets (PENDING: accepted)
    };
    const Case cases[] = {
        {"abort", End::Abort, USBD_STATUS_CANCELED, USBD_STATUS_PENDING},
        {"reset", End::Reset, USBD_STATUS_CANCELED, USBD_STATUS_PENDING},
        {"stall", End::Stall, USBD_STATUS_STALL_PID, USBD_STATUS_STALL_PID},
        {"unplug", End::Unplug, USBD_STATUS_DEVICE_GONE, USBD_STATUS_DEVICE_GONE},
        {"setting 0", End::SelectZero, USBD_STATUS_CANCELED, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"unconfigure", End::Unconfigure, USBD_STATUS_CANCELED, USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = StreamingMakerDevice(BusSpeed::High);
        std::vector<std::vector<UCHAR>> buffers(8, std::vector<UCHAR>(6 * kChunk));
        struct Seen {
            int calls = 0;
            USBD_STATUS status = USBD_STATUS_PENDING;
            ULONG bytes = 0;
        };
        std::vector<Seen> seen(8);
        for (int i = 0; i < 8; ++i) {
            const UCHAR ep = i < 5 ? kIn : kOut;
            device->SubmitBulk(ep, buffers[i].data(), static_cast<ULONG>(buffers[i].size()), 0,
                               [&seen, i](USBD_STATUS s, ULONG b) { seen[i] = {seen[i].calls + 1, s, b}; });
        }
        device->AdvanceFrames(8);  // two chunks into the first IN transfer, three packets out of the first OUT
        switch (c.end) {
        case End::Abort: device->AbortPipe(kIn), device->AbortPipe(kOut); break;
        case End::Reset: device->ResetPipe(kIn), device->ResetPipe(kOut); break;
        case End::Stall: device->StallEndpoint(kIn), device->StallEndpoint(kOut); break;
        case End::Unplug: device->Unplug(); break;
        case End::SelectZero: SelectAlt(*device, 1, 0), SelectAlt(*device, 2, 0); break;
        case End::Unconfigure: Set(*device, Request(0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0), {}); break;
        }
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(seen[i].calls, 1) << i;
            EXPECT_EQ(seen[i].status, c.status) << i;
        }
        EXPECT_EQ(seen[0].bytes, 2 * kChunk);  // what had arrived before the end
        EXPECT_EQ(seen[1].bytes, 0u);
        device->AdvanceFrames(100);
        EXPECT_EQ(seen[0].calls + seen[7].calls, 2);

        USBD_STATUS later = USBD_STATUS_PENDING;
        device->SubmitBulk(kIn, buffers[0].data(), kChunk, 0, [&](USBD_STATUS s, ULONG) { later = s; });
        EXPECT_EQ(later, c.later);
        if (c.end == End::Stall) {
            // Until the pipe is reset.
            device->ResetPipe(kIn);
            later = USBD_STATUS_PENDING;
            device->SubmitBulk(kIn, buffers[0].data(), kChunk, 0, [&](USBD_STATUS s, ULONG) { later = s; });
            device->AdvanceFrames(4);
            EXPECT_EQ(later, USBD_STATUS_SUCCESS);
            EXPECT_EQ(device->Counters(kIn).resets, 1u);
        }
        device->AbortPipe(kIn);  // before `later` goes
    }
}

TEST(Streaming, CancellingOneTransfer) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->CaptureCounter();
    std::vector<UCHAR> a(kChunk), b(kChunk), c(kChunk);
    std::vector<std::pair<char, USBD_STATUS>> done;
    const auto submit = [&](std::vector<UCHAR>& buffer, char name) {
        return device->SubmitBulk(kIn, buffer.data(), kChunk, 0, [&done, name](USBD_STATUS s, ULONG) { done.emplace_back(name, s); });
    };
    submit(a, 'a');
    const std::uint64_t second = submit(b, 'b');
    submit(c, 'c');
    EXPECT_TRUE(device->CancelTransfer(second));
    EXPECT_FALSE(device->CancelTransfer(second));
    device->AdvanceFrames(8);
    using P = std::pair<char, USBD_STATUS>;
    EXPECT_EQ(done, (std::vector<P>{{'b', USBD_STATUS_CANCELED}, {'a', USBD_STATUS_SUCCESS}, {'c', USBD_STATUS_SUCCESS}}));
    // The cancelled transfer took no chunk: 'c' carries frames 4..7.
    EXPECT_EQ(DecodeCounterSample(c.data(), k16Bit), (CounterCode{0, 4}));
}

TEST(Streaming, ShortAndZeroLengthInTransfersLoseNoData) {
    struct Case {
        std::uint32_t count;
        std::uint32_t chunks;
        std::vector<ULONG> bytes;  // of the first completions
    };
    const Case cases[] = {
        {2, 0, {0, 0, 6 * kChunk, 6 * kChunk}},
        {1, 2, {2 * kChunk, 6 * kChunk, 6 * kChunk}},
        {3, 1, {kChunk, kChunk, kChunk, 6 * kChunk}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.count << " x " << c.chunks);
        auto device = StreamingMakerDevice(BusSpeed::High);
        device->CaptureCounter();
        device->InjectShortIn(kIn, c.count, c.chunks);
        TransferLoop in(*device, kIn, 6 * kChunk, 8);
        in.Start();
        device->AdvanceFrames(96);
        // The transfer being filled gives back what it holds.
        in.Stop();
        device->AbortPipe(kIn);
        const auto done = in.Completions();
        ASSERT_GE(done.size(), c.bytes.size());
        std::uint64_t nextFrame = 0;
        for (std::size_t k = 0; k < done.size(); ++k) {
            if (k < c.bytes.size()) {
                EXPECT_EQ(done[k].bytes, c.bytes[k]) << k;
            }
            for (std::size_t f = 0; f < done[k].bytes / kChunk * kFramesPerChunk; ++f)
                ASSERT_EQ(CodeAt(done[k].data, f, 0, k16Bit, kChunk, kFramesPerChunk).frameModulo, nextFrame++ % 1024);
        }
        EXPECT_EQ(nextFrame, 96u);
        EXPECT_EQ(device->Stream().overrunFrames, 0u);
    }
}

TEST(Streaming, InjectedTransferErrorsEndTransfersWithoutData) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->CaptureCounter();
    device->InjectTransferErrors(kIn, 1, USBD_STATUS_XACT_ERROR);
    device->InjectTransferErrors(kOut, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    std::vector<UCHAR> in1(kChunk), in2(kChunk), out1(kChunk), out2(kChunk);
    std::vector<std::pair<USBD_STATUS, std::uint64_t>> ins, outs;
    const auto record = [&](auto& list) {
        return [&list, &device](USBD_STATUS s, ULONG) { list.emplace_back(s, device->ClockFrame()); };
    };
    device->SubmitBulk(kIn, in1.data(), kChunk, 0, record(ins));
    device->SubmitBulk(kIn, in2.data(), kChunk, 0, record(ins));
    device->SubmitBulk(kOut, out1.data(), kChunk, 0, record(outs));
    device->SubmitBulk(kOut, out2.data(), kChunk, 0, record(outs));
    device->AdvanceFrames(4);
    using P = std::pair<USBD_STATUS, std::uint64_t>;
    EXPECT_EQ(ins, (std::vector<P>{{USBD_STATUS_XACT_ERROR, 4}, {USBD_STATUS_SUCCESS, 4}}));
    EXPECT_EQ(outs, (std::vector<P>{{USBD_STATUS_DEV_NOT_RESPONDING, 0}, {USBD_STATUS_SUCCESS, 0}}));
    EXPECT_EQ(DecodeCounterSample(in2.data(), k16Bit), (CounterCode{0, 0}));
    EXPECT_EQ(device->Stream().underrunPackets, 1u);  // the packet at frame 4
}

TEST(Streaming, InTransferNotAWholeNumberOfPacketsBabbles) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    std::vector<UCHAR> buffer(kChunk + 100);
    USBD_STATUS status = USBD_STATUS_PENDING;
    ULONG bytes = 0;
    device->SubmitBulk(kIn, buffer.data(), static_cast<ULONG>(buffer.size()), 0, [&](USBD_STATUS s, ULONG b) {
        status = s;
        bytes = b;
    });
    device->AdvanceFrames(8);
    EXPECT_EQ(status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(bytes, kChunk);
    EXPECT_EQ(device->Stream().overrunChunks, 1u);
}

TEST(Streaming, RateChangeChangesFramesPerPacketAtHighSpeed) {
    auto device = StreamingMakerDevice(BusSpeed::High, 96000);
    device->CaptureCounter();
    TransferLoop in(*device, kIn, kChunk, 1);
    in.Start();
    device->AdvanceFrames(8);
    SetClockRate(*device, kMakerClockSourceIds[0], 192000);
    EXPECT_EQ(device->SampleRate(), 192000u);
    device->AdvanceFrames(16);
    std::vector<std::uint64_t> at;
    for (const auto& c : in.Completions()) at.push_back(c.frame);
    EXPECT_EQ(at, (std::vector<std::uint64_t>{4, 8, 16, 24}));
}

TEST(Streaming, TonesFollowTheAbsoluteFrame) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    device->CaptureTones({{1000, 0.5}, {0, 0}, {12000, 1.0}});
    TransferLoop in(*device, kIn, 6 * kChunk, 2);
    in.Start();
    device->AdvanceFrames(48);
    const auto done = in.Completions();
    ASSERT_EQ(done.size(), 2u);
    const auto sample = [&](std::size_t frame, std::uint32_t channel) {
        const auto& data = done[frame / 24].data;
        const std::size_t f = frame % 24;
        return LoadSampleValue(&data[f / 4 * kChunk + f % 4 * 64 + channel * 2], k16Bit);
    };
    struct Case {
        std::size_t frame;
        std::uint32_t channel;
        std::int32_t value;
    };
    // 1000 Hz at 48 kHz peaks at frame 12 and troughs at 36; 12 kHz peaks at 1.
    for (const Case& c : {Case{0, 0, 0}, Case{12, 0, 16383}, Case{36, 0, -16384}, Case{1, 2, 32767}, Case{3, 2, -32768},
                          Case{12, 1, 0}, Case{12, 5, 0}})
        EXPECT_EQ(sample(c.frame, c.channel), c.value) << c.frame << " ch " << c.channel;
}

TEST(Streaming, EndpointHaltThroughStandardRequests) {
    auto device = StreamingMakerDevice(BusSpeed::High);
    const auto halted = [&] { return Get(*device, Request(0x82, USB_REQUEST_GET_STATUS, 0, kIn, 2)).data; };
    EXPECT_EQ(halted(), (std::vector<UCHAR>{0, 0}));
    std::vector<UCHAR> buffer(kChunk);
    USBD_STATUS status = USBD_STATUS_PENDING;
    device->SubmitBulk(kIn, buffer.data(), kChunk, 0, [&](USBD_STATUS s, ULONG) { status = s; });
    EXPECT_EQ(Set(*device, Request(0x02, USB_REQUEST_SET_FEATURE, 0, kIn, 0), {}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(halted(), (std::vector<UCHAR>{1, 0}));
    EXPECT_EQ(Set(*device, Request(0x02, USB_REQUEST_CLEAR_FEATURE, 0, kIn, 0), {}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(halted(), (std::vector<UCHAR>{0, 0}));
    device->SubmitBulk(kIn, buffer.data(), kChunk, 0, [&](USBD_STATUS s, ULONG) { status = s; });
    device->AdvanceFrames(4);
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
}

TEST(Midi, PacketsInAndOut) {
    VirtualDevice device(MidiDevice());
    Configure(device);
    constexpr UCHAR kMidiIn = 0x82, kMidiOut = 0x02;
    std::vector<UCHAR> buffer(64);
    TransferLoop in(device, kMidiIn, 64, 1);
    in.Start();
    device.AdvanceFrames(100);
    EXPECT_TRUE(in.Completions().empty());  // nothing to say yet

    std::vector<MidiPacket> packets;
    for (UCHAR i = 0; i < 20; ++i) packets.push_back({0x09, 0x90, i, 0x40});
    device.QueueMidiIn(packets);
    device.AdvanceFrames(0);
    device.AdvanceFrames(8);  // the resubmitted transfer is served one interval later
    const auto done = in.Completions();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].bytes, 64u);
    EXPECT_EQ(done[1].bytes, 16u);
    EXPECT_EQ(std::vector<UCHAR>(done[1].data.begin(), done[1].data.begin() + 4), (std::vector<UCHAR>{0x09, 0x90, 16, 0x40}));

    const std::vector<UCHAR> events = {0x19, 0x90, 0x3C, 0x40, 0x19, 0x90, 0x3C, 0x00};
    std::copy(events.begin(), events.end(), buffer.begin());
    ULONG sent = 0;
    device.SubmitBulk(kMidiOut, buffer.data(), 8, 0, [&](USBD_STATUS, ULONG b) { sent = b; });
    device.AdvanceFrames(0);
    EXPECT_EQ(sent, 8u);
    EXPECT_EQ(device.MidiOut(), (std::vector<MidiPacket>{{0x19, 0x90, 0x3C, 0x40}, {0x19, 0x90, 0x3C, 0x00}}));
}

}  // namespace
}  // namespace sim::usb::test

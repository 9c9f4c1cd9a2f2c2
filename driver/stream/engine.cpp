// The engine's lifecycle, the configuration of a direction, start and stop,
// stream formats, the ASIO start and stop, and the "\asio" handle list.
// PASSIVE_LEVEL throughout unless a routine says otherwise.
#include "driver/stream/engine.h"

#include "driver/core/adapter_interfaces.h"
#include "driver/core/audio_device.h"
#include "driver/core/device_registry.h"
#include "driver/core/kernel_locks.h"
#include "driver/stream/asio_file_context.h"
#include "driver/stream/engine_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr ULONG kEngineTag = PoolTag("USBA");
// Descriptors kept per direction beyond those in flight.
constexpr USHORT kDescriptorCacheDepth = 16;
constexpr USHORT kPacketLookasideDepth = 32;
constexpr ULONG kBufferSizeMin = 24;
constexpr ULONG kBufferSizeMax = 4096;
constexpr ULONG kMarginMax = 4096;
// Before anyone sets one: the size the ASIO driver starts with.
constexpr ULONG kDefaultBufferSize = 256;
// With no endpoint record to ask: the engine's own frames.
constexpr ULONG kFallbackChannels = 2;
constexpr ULONG kFallbackBits = 32;
constexpr ULONG kFormatTagPcmValue = 1;

}  // namespace

// ---------------------------------------------------------------- lifecycle

NTSTATUS StreamEngine::Initialize(IEngineHost* host) {
    adapter_ = host;
    bufferSize_ = kDefaultBufferSize;
    KeInitializeMutex(&adapterMutex_, 0);
    for (bool capture : {true, false}) {
        DirectionState& dir = Dir(capture);
        dir.engine = this;
        dir.capture = capture;
        KeInitializeSpinLock(&dir.userLock);
        KeInitializeSpinLock(&dir.outstandingLock);
        const LONG inFlight = static_cast<LONG>(capture ? kCaptureTransfersInFlight : kPlaybackTransfersInFlight);
        KeInitializeSemaphore(&dir.semaphore, inFlight, inFlight);
        KeInitializeEvent(&dir.stop, NotificationEvent, TRUE);
        KeInitializeEvent(&dir.error, NotificationEvent, FALSE);
        KeInitializeEvent(&dir.idle, NotificationEvent, TRUE);
        KeInitializeEvent(&dir.run, NotificationEvent, FALSE);
        InitializeSListHead(&dir.descriptorCache);
        ExInitializeNPagedLookasideList(&dir.descriptorLookaside, nullptr, nullptr, POOL_NX_ALLOCATION,
                                        sizeof(TransferDescriptor), kEngineTag, kDescriptorCacheDepth);
    }
    ExInitializeNPagedLookasideList(&packetLookaside_, nullptr, nullptr, POOL_NX_ALLOCATION,
                                    sizeof(SystemAudioPacket), kEngineTag, kPacketLookasideDepth);
    lookasidesReady_ = true;

    KeInitializeSpinLock(&outputLock_);
    KeInitializeSpinLock(&bufferLock_);
    InitializeListHead(&freeBuffers_);
    InitializeListHead(&completedBuffers_);
    for (CaptureBuffer& buffer : captureBuffers_) InsertTailList(&freeBuffers_, &buffer.link);
    KeInitializeSpinLock(&playbackDoneLock_);
    InitializeListHead(&playbackDone_);
    KeInitializeDpc(&captureDpc_, CaptureDpc, this);
    KeInitializeDpc(&playbackDpc_, PlaybackDpc, this);
    InitializeListHead(&renderPackets_);
    KeInitializeSpinLock(&capturePacketLock_);
    InitializeListHead(&capturePackets_);
    KeInitializeSpinLock(&handleLock_);
    InitializeListHead(&handles_);
    initialized_ = true;
    return STATUS_SUCCESS;
}

void StreamEngine::Shutdown() {
    if (initialized_) {
        // Whatever users are left: no thread may outlive the adapter.
        {
            MutexHold hold(&adapterMutex_);
            while (capture_.thread != nullptr || playback_.thread != nullptr) StopStreamingLocked();
        }
        KeFlushQueuedDpcs();
        DiscardPackets();
        initialized_ = false;
    }
    if (lookasidesReady_) {
        for (bool capture : {true, false}) {
            DirectionState& dir = Dir(capture);
            while (PSLIST_ENTRY entry = InterlockedPopEntrySList(&dir.descriptorCache))
                ExFreeToNPagedLookasideList(&dir.descriptorLookaside, entry);
            ExDeleteNPagedLookasideList(&dir.descriptorLookaside);
        }
        ExDeleteNPagedLookasideList(&packetLookaside_);
        lookasidesReady_ = false;
    }
}

// ---------------------------------------------------------------- helpers

StreamingInterface* StreamEngine::Interface(bool capture) const {
    UsbAudioDevice& device = adapter_->Device();
    return capture ? device.CaptureInterface : device.PlaybackInterface;
}

bool StreamEngine::AtSettingZero(bool capture) const {
    const StreamingInterface* stream = Interface(capture);
    return stream == nullptr || stream->CurrentAlt == 0;
}

void StreamEngine::SelectSettingZero(bool capture) {
    StreamingInterface* stream = Interface(capture);
    if (stream == nullptr || stream->CurrentAlt == 0) return;
    UsbAudioDevice& device = adapter_->Device();
    const NTSTATUS status = device.SelectAltSetting(stream->InterfaceNumber, 0);
    if (NT_SUCCESS(status)) {
        stream->CurrentAlt = 0;
    } else {
        ENGINE_TRACE(TRACE_LEVEL_WARNING, "%s: setting 0 not selected: 0x%08x", capture ? "capture" : "playback",
                     static_cast<unsigned>(status));
    }
    device.LinkPipes();
    // Setting 0 has no data endpoint.
    if (NT_SUCCESS(status)) stream->DataPipe = nullptr;
}

ULONG StreamEngine::Speed() const { return adapter_->Device().BusSpeed(); }

bool StreamEngine::PowerBlocked() const {
    return adapter_->PowerBlocked();
}

bool StreamEngine::Removed() const { return adapter_->SurpriseRemoved(); }

bool StreamEngine::IsDeviceGoneStatus(NTSTATUS status) {
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED;
}

void StreamEngine::MarkDeviceGone() {
    InterlockedExchange(&deviceGone_, 1);
    KeSetEvent(&capture_.stop, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&playback_.stop, IO_NO_INCREMENT, FALSE);
}

bool StreamEngine::DirectionRunning(bool capture) const { return Dir(capture).thread != nullptr; }

StreamEngine::DirectionView StreamEngine::Direction(bool capture) const {
    auto& d = const_cast<DirectionState&>(Dir(capture));
    ULONG users = 0;
    ULONG outstanding = 0;
    {
        SpinHold hold(&d.userLock);
        users = d.users;
    }
    {
        SpinHold hold(&d.outstandingLock);
        outstanding = d.outstanding;
    }
    return {d.formatTag,         d.channels,      d.bits,       d.rate, d.bytesPerFrame, d.formatSet,
            d.chunksPerTransfer, d.transferBytes, d.streamRate, users,  outstanding};
}

StreamEngine::RingView StreamEngine::Rings() const {
    SpinHold hold(const_cast<KSPIN_LOCK*>(&outputLock_));
    return {inputRing_, inputWritePos_, capturedFrames_, baseFrame_,  outputRing_, layout_,
            outputSlot_, renderGroup_,  playCursor_,     silenceFill_, silenceLag_};
}

void StreamEngine::CaptureBufferCounts(ULONG* free, ULONG* completed) {
    ULONG f = 0;
    ULONG c = 0;
    SpinHold hold(&bufferLock_);
    for (LIST_ENTRY* e = freeBuffers_.Flink; e != &freeBuffers_; e = e->Flink) ++f;
    for (LIST_ENTRY* e = completedBuffers_.Flink; e != &completedBuffers_; e = e->Flink) ++c;
    *free = f;
    *completed = c;
}

void StreamEngine::AttachSystemAudio(ISystemAudioPath* path) {
    if (path == nullptr) {
        InterlockedExchange(&captureActive_, 0);
        InterlockedExchange(&renderActive_, 0);
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&systemAudio_), path);
}

void StreamEngine::AttachDefaultFormatSource(IDefaultFormatSource* source) { defaultFormats_ = source; }

void StreamEngine::SetSystemAudioActive(bool capture, bool active) {
    InterlockedExchange(capture ? &captureActive_ : &renderActive_, active ? 1 : 0);
}

// ---------------------------------------------------------------- configure

NTSTATUS StreamEngine::ConfigureDirectionLocked(bool capture) {
    DirectionState& dir = Dir(capture);
    if (!AtSettingZero(capture)) return STATUS_SUCCESS;
    if (Interface(capture) == nullptr) return STATUS_INVALID_PARAMETER;
    if (!dir.formatSet) return STATUS_UNSUCCESSFUL;
    const ULONG speed = Speed();
    const ULONG rate = CurrentRate();
    // One clock serves both directions: after a forced rate change the new
    // rate waits until the other direction has stopped too.
    const DirectionState& other = Dir(!capture);
    if (other.thread != nullptr && other.streamRate != rate) return STATUS_UNSUCCESSFUL;
    const ULONG d = ChunksPerTransfer(speed, rate);
    AppliedFormat applied{};
    NTSTATUS status = adapter_->Device().ApplyFormat(capture, dir.formatTag, dir.channels, dir.bits, rate, d, &applied);
    if (!NT_SUCCESS(status)) {
        ENGINE_TRACE(TRACE_LEVEL_ERROR, "%s: format not applied: 0x%08x", capture ? "capture" : "playback",
                     static_cast<unsigned>(status));
        return status;
    }
    const ULONG chunk = ChunkSize(speed);
    const ULONG bytesPerFrame = applied.Channels * (applied.ContainerBits / 8);
    // The ring layouts and the chunk framing assume packets of exactly the
    // speed's chunk size: a larger endpoint would put the render target
    // outside the output ring, a smaller one would put stale bytes between
    // chunks, and frames that do not fit a chunk would spill into the next.
    if (applied.TransferSize != d * chunk || bytesPerFrame == 0 ||
        FramesPerChunk(speed, rate) * bytesPerFrame > chunk) {
        ENGINE_TRACE(TRACE_LEVEL_ERROR, "%s: transfer of %u bytes for %u chunks of %u, %u bytes per frame refused",
                     capture ? "capture" : "playback", applied.TransferSize, d, chunk, bytesPerFrame);
        SelectSettingZero(capture);
        return STATUS_UNSUCCESSFUL;
    }
    dir.channels = applied.Channels;
    dir.bits = applied.ContainerBits;
    dir.bytesPerFrame = bytesPerFrame;
    dir.chunksPerTransfer = d;
    dir.transferBytes = applied.TransferSize;
    dir.streamRate = rate;
    if (capture) return STATUS_SUCCESS;

    OutputLayout layout{};
    if (!ComputeOutputLayout(d * chunk, &layout)) {
        SelectSettingZero(capture);
        return STATUS_UNSUCCESSFUL;
    }
    SpinHold hold(&outputLock_);
    playCursor_ = 0;
    silenceLag_ = dir.channels * kSilenceLagPerChannel;
    silenceFill_ = silenceLag_ != 0 ? kRingSize - silenceLag_ : 0;
    layout_ = layout;
    outputSlot_ = 0;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- start and stop

bool StreamEngine::WaitForValidClock() {
    UsbAudioDevice& device = adapter_->Device();
    for (ULONG poll = 0; poll < kClockValidPolls; ++poll) {
        if (device.IsClockValid()) return true;
        LARGE_INTEGER oneMillisecond;
        oneMillisecond.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &oneMillisecond);
    }
    return device.IsClockValid() != FALSE;
}

void StreamEngine::RemoveUser(DirectionState& dir) {
    SpinHold hold(&dir.userLock);
    if (dir.users > 0 && --dir.users == 0) KeSetEvent(&dir.stop, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StreamEngine::StartDirection(DirectionState& dir) {
    ULONG users = 0;
    {
        SpinHold hold(&dir.userLock);
        users = ++dir.users;
        if (users == 1) {
            KeClearEvent(&dir.stop);
            // The last run's aborts leave it set; it is no error of this run.
            KeClearEvent(&dir.error);
        }
    }
    if (users > 1) return STATUS_SUCCESS;

    if (dir.capture) {
        capturedFrames_ = 0;
        inputWritePos_ = 0;
        baseFrame_ = 0;
        if (!WaitForValidClock()) {
            ENGINE_TRACE(TRACE_LEVEL_ERROR, "capture: the clock did not become valid");
            RemoveUser(dir);
            return STATUS_UNSUCCESSFUL;
        }
    } else {
        KeInitializeSemaphore(&dir.semaphore, kPlaybackTransfersInFlight, kPlaybackTransfersInFlight);
    }
    HANDLE threadHandle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &dir);
    if (NT_SUCCESS(status)) {
        PVOID thread = nullptr;
        status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(threadHandle);
        if (NT_SUCCESS(status)) {
            dir.thread = thread;
        } else {
            // The thread runs but cannot be waited for: make it leave at once.
            KeSetEvent(&dir.stop, IO_NO_INCREMENT, FALSE);
        }
    }
    if (!NT_SUCCESS(status)) {
        ENGINE_TRACE(TRACE_LEVEL_ERROR, "%s: worker not created: 0x%08x", dir.capture ? "capture" : "playback",
                     static_cast<unsigned>(status));
        RemoveUser(dir);
        return status;
    }
    KeSetEvent(&dir.run, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::StartStreamingLocked() {
    // Terminal until the adapter is rebuilt: a worker would only refuse.
    if (DeviceGone()) return STATUS_DEVICE_NOT_CONNECTED;
    if (adapter_->TakeClockReapply() && selectedClock_ != 0) {
        const NTSTATUS status = SetClockSourceLocked(selectedClock_, TRUE);
        if (!NT_SUCCESS(status))
            ENGINE_TRACE(TRACE_LEVEL_WARNING, "clock source %u not re-applied: 0x%08x", selectedClock_,
                         static_cast<unsigned>(status));
    }
    if (capture_.users == 0) {
        SpinHold hold(&bufferLock_);
        while (!IsListEmpty(&completedBuffers_)) InsertTailList(&freeBuffers_, RemoveHeadList(&completedBuffers_));
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (AtSettingZero(true)) {
        renderGroup_ = 0;
        status = ConfigureDirectionLocked(true);
    }
    if (NT_SUCCESS(status) && AtSettingZero(false)) status = ConfigureDirectionLocked(false);
    if (NT_SUCCESS(status)) {
        status = StartDirection(capture_);
        if (NT_SUCCESS(status)) {
            status = StartDirection(playback_);
            // Both directions or neither: the capture user goes again.
            if (!NT_SUCCESS(status)) {
                RemoveUser(capture_);
                if (capture_.users == 0 && capture_.thread != nullptr) JoinWorker(capture_);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        if (capture_.thread == nullptr && playback_.thread == nullptr) {
            EndRun();
        } else {
            for (bool capture : {true, false})
                if (Dir(capture).users == 0 && Dir(capture).thread == nullptr) SelectSettingZero(capture);
        }
    }
    return status;
}

NTSTATUS StreamEngine::StartStreaming() {
    MutexHold hold(&adapterMutex_);
    return StartStreamingLocked();
}

void StreamEngine::JoinWorker(DirectionState& dir) {
    PVOID thread = dir.thread;
    dir.thread = nullptr;
    KeClearEvent(&dir.run);
    // The worker waits for a semaphore unit, which only a completion gives
    // back: abort instead of waiting for the device to finish.
    if (StreamingInterface* stream = Interface(dir.capture); stream != nullptr && stream->DataPipe != nullptr)
        adapter_->Device().AbortPipe(stream->DataPipe);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    // The worker left once every transfer of the direction was done, so the
    // DPCs their completions queued are the last of this run. They must have
    // run before a new run resets the ring positions and the format.
    KeFlushQueuedDpcs();
}

void StreamEngine::EndRun() {
    for (bool capture : {true, false})
        if (Dir(capture).users == 0) SelectSettingZero(capture);
    bool laidOut = false;
    {
        SpinHold hold(&outputLock_);
        laidOut = layout_.groupCount != 0;
        layout_.stride = 0;
        layout_.groupCount = 0;
    }
    // Nothing touches the output ring now: the OUT transfers are done, the
    // capture DPC is flushed and writes are refused without a layout. So it
    // is zeroed without the output lock, and nobody waits behind 1.5 MB.
    if (laidOut) std::memset(outputRing_, 0, kRingSize);
}

NTSTATUS StreamEngine::StopStreamingLocked() {
    RemoveUser(capture_);
    RemoveUser(playback_);
    for (bool capture : {true, false}) {
        DirectionState& dir = Dir(capture);
        if (dir.users != 0 || dir.thread == nullptr) continue;
        if (!capture) {
            // Queued render packets keep OUT transfers going after the stop;
            // with capture stopped nothing would ever consume them.
            SpinHold hold(&outputLock_);
            while (!IsListEmpty(&renderPackets_))
                ReleasePacket(OVU_CONTAINING_RECORD(RemoveHeadList(&renderPackets_), SystemAudioPacket, link));
        }
        JoinWorker(dir);
    }
    if (capture_.users == 0) {
        SpinHold hold(&capturePacketLock_);
        while (!IsListEmpty(&capturePackets_))
            ReleasePacket(OVU_CONTAINING_RECORD(RemoveHeadList(&capturePackets_), SystemAudioPacket, link));
    }
    if (playback_.users == 0) {
        SpinHold hold(&outputLock_);
        while (!IsListEmpty(&renderPackets_))
            ReleasePacket(OVU_CONTAINING_RECORD(RemoveHeadList(&renderPackets_), SystemAudioPacket, link));
    }
    if (capture_.thread == nullptr && playback_.thread == nullptr) EndRun();
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::StopStreaming() {
    MutexHold hold(&adapterMutex_);
    return StopStreamingLocked();
}

// ---------------------------------------------------------------- formats

NTSTATUS StreamEngine::DefaultFormat(bool capture, ULONG* channels, ULONG* bits) {
    if (defaultFormats_ != nullptr) return defaultFormats_->GetDefaultFormat(capture, channels, bits);
    *channels = kFallbackChannels;
    *bits = kFallbackBits;
    return STATUS_SUCCESS;
}

void StreamEngine::StoreFormat(DirectionState& dir, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate) {
    dir.formatTag = formatTag;
    dir.channels = channels;
    dir.bits = bits;
    dir.rate = rate;
    dir.bytesPerFrame = channels * (bits / 8);
    dir.formatSet = true;
}

NTSTATUS StreamEngine::SetFormatLocked(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate) {
    if (rate != CurrentRate()) return STATUS_INVALID_PARAMETER;
    DirectionState& dir = Dir(capture);
    DirectionState& other = Dir(!capture);
    if (dir.formatSet && dir.channels == channels && dir.bits == bits && dir.rate == rate) return STATUS_SUCCESS;
    const bool stopped = KeReadStateEvent(&dir.stop) != 0;
    // A format the other direction kept from before a rate change binds
    // nothing while that direction is stopped: it is chosen again below.
    const bool otherStale = other.formatSet && other.rate != rate && KeReadStateEvent(&other.stop) != 0;
    if (!(rate == dir.rate || stopped) || (other.formatSet && other.rate != rate && !otherStale))
        return STATUS_UNSUCCESSFUL;
    UsbAudioDevice& device = adapter_->Device();
    NTSTATUS status = device.ChooseFormat(capture, formatTag, channels, bits, rate, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
    if ((!other.formatSet || otherStale) && Interface(!capture) != nullptr) {
        ULONG otherChannels = 0;
        ULONG otherBits = 0;
        status = DefaultFormat(!capture, &otherChannels, &otherBits);
        if (NT_SUCCESS(status))
            status = device.ChooseFormat(!capture, formatTag, otherChannels, otherBits, rate, nullptr, nullptr);
        if (!NT_SUCCESS(status)) {
            otherChannels = channels;
            otherBits = bits;
            status = device.ChooseFormat(!capture, formatTag, channels, bits, rate, nullptr, nullptr);
        }
        if (NT_SUCCESS(status)) StoreFormat(other, formatTag, otherChannels, otherBits, rate);
    }
    StoreFormat(dir, formatTag, channels, bits, rate);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate) {
    MutexHold hold(&adapterMutex_);
    return SetFormatLocked(capture, formatTag, channels, bits, rate);
}

// ---------------------------------------------------------------- ASIO start and stop

NTSTATUS StreamEngine::AsioStart() {
    MutexHold hold(&adapterMutex_);
    if (Removed()) return STATUS_DELETE_PENDING;
    outputMargin_ = OutputMargin(adapter_->Margins(), Speed(), CurrentRate(), bufferSize_);
    for (bool capture : {true, false}) {
        if (Interface(capture) == nullptr || !AtSettingZero(capture)) continue;
        ULONG channels = 0;
        ULONG bits = 0;
        NTSTATUS status = DefaultFormat(capture, &channels, &bits);
        if (NT_SUCCESS(status)) status = SetFormatLocked(capture, kFormatTagPcmValue, channels, bits, CurrentRate());
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = StartStreamingLocked();
    if (!NT_SUCCESS(status)) return status;
    status = StartStreamingLocked();
    if (!NT_SUCCESS(status)) {
        StopStreamingLocked();
        return status;
    }
    KeSetEvent(&capture_.run, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&playback_.run, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AsioStop() {
    MutexHold hold(&adapterMutex_);
    if (Removed()) return STATUS_DELETE_PENDING;
    StopStreamingLocked();
    return StopStreamingLocked();
}

// ---------------------------------------------------------------- device settings

NTSTATUS StreamEngine::SetClockSourceLocked(ULONG clockId, BOOLEAN force) {
    if (clockId < 0x25 || clockId > 0x28) return STATUS_INVALID_PARAMETER;
    if (capture_.thread != nullptr || playback_.thread != nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = adapter_->Device().SelectClockSource(static_cast<UCHAR>(clockId), force);
    // The choice counts once the device's property store holds it.
    if (NT_SUCCESS(status)) status = DeviceRegistry::WriteClockSource(adapter_->PhysicalDevice(), clockId);
    if (NT_SUCCESS(status)) selectedClock_ = clockId;
    return status;
}

NTSTATUS StreamEngine::SetClockSource(ULONG clockId, BOOLEAN force) {
    MutexHold hold(&adapterMutex_);
    return SetClockSourceLocked(clockId, force);
}

NTSTATUS StreamEngine::SetBufferSize(ULONG frames) {
    if (frames < kBufferSizeMin || frames > kBufferSizeMax) return STATUS_INVALID_PARAMETER;
    RecomputeRunning();
    if (AnyHandleRunning() && frames != bufferSize_) return STATUS_UNSUCCESSFUL;
    bufferSize_ = frames;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::GetUsbSpeed(ULONG* speed) {
    if (speed == nullptr) return STATUS_INVALID_PARAMETER;
    *speed = Speed();
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::ReadAndClearCounter(ULONG* value) {
    if (value == nullptr) return STATUS_INVALID_PARAMETER;
    *value = static_cast<ULONG>(InterlockedExchange(&readClearCounter_, 0));
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::GetOutputMargin(ULONG* frames) {
    if (frames == nullptr) return STATUS_INVALID_PARAMETER;
    *frames = outputMargin_;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetOutputMargin(ULONG frames) {
    if (frames > kMarginMax) return STATUS_INVALID_PARAMETER;
    outputMargin_ = frames;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- "\asio" handles

NTSTATUS StreamEngine::AttachHandle(AsioFileContext* handle) {
    if (handle == nullptr || handle->tag != kAsioHandleTag) return STATUS_INVALID_PARAMETER;
    SpinHold hold(&handleLock_);
    InsertTailList(&handles_, &handle->adapterLink);
    return STATUS_SUCCESS;
}

void StreamEngine::DetachHandle(AsioFileContext* handle) {
    if (handle == nullptr) return;
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
        if (e == &handle->adapterLink) {
            RemoveEntryList(e);
            InitializeListHead(e);
            return;
        }
    }
}

void StreamEngine::RecomputeRunning() {
    LONG running = 0;
    {
        SpinHold hold(&handleLock_);
        for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink)
            if (HandleOfLink(e)->running) running = 1;
    }
    InterlockedExchange(&anyRunning_, running);
}

void StreamEngine::BlockAsioHandles() {
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
        AsioFileContext* handle = HandleOfLink(e);
        handle->blocked = 1;
        IRP* tick = nullptr;
        {
            SpinHold tickHold(&handle->tickLock);
            tick = handle->tickRequest;
            handle->tickRequest = nullptr;
            handle->tickWord = nullptr;
        }
        if (tick != nullptr) CompleteRequest(tick, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
}

void StreamEngine::UnblockAsioHandles() {
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) HandleOfLink(e)->blocked = 0;
}

void StreamEngine::CancelRequests(FILE_OBJECT* fileObject, ULONG scope) {
    AsioFileContext* only = nullptr;
    if (fileObject != nullptr && scope != kCancelAllHandles) {
        only = static_cast<AsioFileContext*>(fileObject->FsContext2);
        if (only == nullptr || only->tag != kAsioHandleTag) return;
    }
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
        AsioFileContext* handle = HandleOfLink(e);
        if (only != nullptr && handle != only) continue;
        for (;;) {
            IRP* irp = PopQueuedRead(handle);
            if (irp == nullptr) break;
            CompleteRequest(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
        }
    }
}

void StreamEngine::CompleteRequest(IRP* irp, NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
}

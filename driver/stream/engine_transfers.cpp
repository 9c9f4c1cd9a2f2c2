// The direction workers, the bulk submissions and their completions, and the
// two DPCs. Each direction keeps its transfers in flight by resubmitting from
// the completion (capture) or the completion DPC (playback); the worker only
// fills the semaphore's slots and runs the error recovery.
#include "driver/core/audio_device.h"
#include "driver/core/kernel_locks.h"
#include "driver/stream/asio_file_context.h"
#include "driver/stream/engine.h"
#include "driver/stream/engine_trace.h"
#include "platform/base/ntstatus.h"
#include "platform/kernel/object.h"
#include "platform/kernel/thread.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr USHORT kDescriptorCacheLimit = 16;

bool Signalled(KEVENT* event) { return KeReadStateEvent(event) != 0; }

}  // namespace

// ---------------------------------------------------------------- workers (PASSIVE_LEVEL)

void StreamEngine::WorkerRoutine(PVOID context) {
    auto* dir = static_cast<DirectionState*>(context);
    dir->engine->RunWorker(*dir);
}

void StreamEngine::RunWorker(DirectionState& dir) {
    PVOID events[3] = {&dir.stop, &dir.error, &dir.run};
    for (;;) {
        KeWaitForSingleObject(&dir.semaphore, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS woken = KeWaitForMultipleObjects(3, events, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (woken == STATUS_WAIT_0) break;
        if (woken == STATUS_WAIT_0 + 1) {
            RecoverFromError(dir);
            continue;
        }
        AddOutstanding(dir);
        if (dir.capture) {
            SubmitCapture(nullptr);
        } else {
            SubmitPlayback(nullptr);
        }
    }
    KeReleaseSemaphore(&dir.semaphore, IO_NO_INCREMENT, 1, FALSE);
    StreamingInterface* stream = Interface(dir.capture);
    UsbAudioDevice& device = adapter_->Device();
    // The stop operation aborts too, but a worker that leaves because the
    // device went away must not wait for transfers the device still holds.
    if (stream != nullptr && stream->DataPipe != nullptr) device.AbortPipe(stream->DataPipe);
    if (dir.capture && DeviceGone()) {
        StreamingInterface* playback = Interface(false);
        if (playback != nullptr && playback->DataPipe != nullptr) device.AbortPipe(playback->DataPipe);
    }
    KeWaitForSingleObject(&dir.idle, Executive, KernelMode, FALSE, nullptr);
    if (!DeviceGone() && !Removed() && stream != nullptr && stream->DataPipe != nullptr) device.ResetPipe(stream->DataPipe);
    // Setting 0 is selected, and the output ring zeroed, by the stop once
    // both workers are gone: a setting change relinks every interface's
    // pipe, which the other direction may still be using, and the capture
    // DPC may still mix into the ring.
}

void StreamEngine::RecoverFromError(DirectionState& dir) {
    KeReleaseSemaphore(&dir.semaphore, IO_NO_INCREMENT, 1, FALSE);
    InterlockedIncrement(&counters_.recoveries);
    UsbAudioDevice& device = adapter_->Device();
    // The capture worker stops both directions: playback is paced by capture.
    for (bool capture : {true, false}) {
        if (capture != dir.capture && !dir.capture) continue;
        StreamingInterface* stream = Interface(capture);
        if (stream == nullptr || stream->DataPipe == nullptr) continue;
        if (IsDeviceGoneStatus(device.AbortPipe(stream->DataPipe))) MarkDeviceGone();
    }
    KeWaitForSingleObject(&dir.idle, Executive, KernelMode, FALSE, nullptr);
    if (DeviceGone() || Removed()) {
        KeClearEvent(&dir.error);
        // Submissions refuse from now on; without a stop the worker would
        // spin on its own refusals.
        KeSetEvent(&playback_.stop, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&dir.stop, IO_NO_INCREMENT, FALSE);
    } else if (PowerBlocked()) {
        // Resumed by the next start once the device is back.
        KeClearEvent(&dir.run);
        KeClearEvent(&dir.error);
    } else {
        StreamingInterface* stream = Interface(dir.capture);
        if (stream != nullptr && stream->DataPipe != nullptr) {
            const NTSTATUS status = device.ResetPipe(stream->DataPipe);
            if (IsDeviceGoneStatus(status)) MarkDeviceGone();
            if (!NT_SUCCESS(status))
                ENGINE_TRACE(TRACE_LEVEL_WARNING, "%s: pipe reset failed: 0x%08x", dir.capture ? "capture" : "playback",
                             static_cast<unsigned>(status));
        }
        KeClearEvent(&dir.error);
    }
    if (!dir.capture) {
        // Only a system-audio render stream that exists restarts; without
        // one, mixing would zero ring stretches that ASIO clients wrote.
        ISystemAudioPath* path = systemAudio_;
        if (path != nullptr) {
            path->PlaybackRestarted();
            InterlockedExchange(&renderActive_, 1);
        }
    }
    ENGINE_TRACE(TRACE_LEVEL_INFORMATION, "%s: recovered from a transfer error", dir.capture ? "capture" : "playback");
}

void StreamEngine::AddOutstanding(DirectionState& dir) {
    SpinHold hold(&dir.outstandingLock);
    if (++dir.outstanding == 1) KeClearEvent(&dir.idle);
}

void StreamEngine::SubOutstanding(DirectionState& dir) {
    SpinHold hold(&dir.outstandingLock);
    if (dir.outstanding > 0 && --dir.outstanding == 0) KeSetEvent(&dir.idle, IO_NO_INCREMENT, FALSE);
}

TransferDescriptor* StreamEngine::TakeDescriptor(DirectionState& dir) {
    PSLIST_ENTRY entry = InterlockedPopEntrySList(&dir.descriptorCache);
    if (entry == nullptr) entry = static_cast<PSLIST_ENTRY>(ExAllocateFromNPagedLookasideList(&dir.descriptorLookaside));
    if (entry == nullptr) return nullptr;
    auto* descriptor = reinterpret_cast<TransferDescriptor*>(entry);
    *descriptor = {};
    descriptor->engine = this;
    return descriptor;
}

void StreamEngine::ReturnDescriptor(DirectionState& dir, TransferDescriptor* descriptor) {
    if (QueryDepthSList(&dir.descriptorCache) < kDescriptorCacheLimit) {
        InterlockedPushEntrySList(&dir.descriptorCache, &descriptor->cacheLink);
    } else {
        ExFreeToNPagedLookasideList(&dir.descriptorLookaside, descriptor);
    }
}

// ---------------------------------------------------------------- playback (<= DISPATCH_LEVEL)

void StreamEngine::SubmitPlayback(TransferDescriptor* completed) {
    DirectionState& dir = playback_;
    if (completed != nullptr) ReturnDescriptor(dir, completed);
    bool refuse = false;
    if (Signalled(&dir.stop)) {
        SpinHold hold(&outputLock_);
        refuse = IsListEmpty(&renderPackets_);
    }
    if (refuse || DeviceGone() || Removed() || Signalled(&dir.error)) {
        refuse = true;
    } else if (PowerBlocked()) {
        KeSetEvent(&dir.error, IO_NO_INCREMENT, FALSE);
        refuse = true;
    }
    TransferDescriptor* descriptor = nullptr;
    if (!refuse) {
        descriptor = TakeDescriptor(dir);
        ULONG stride = 0;
        ULONG slot = 0;
        if (descriptor != nullptr) {
            SpinHold hold(&outputLock_);
            stride = layout_.stride;
            slot = outputSlot_;
            if (stride != 0) outputSlot_ = (outputSlot_ + 1) % (kRingSize / stride);
        }
        if (descriptor != nullptr && stride != 0) {
            descriptor->data = outputRing_ + static_cast<SIZE_T>(slot) * stride;
            descriptor->length = stride;
            const NTSTATUS status =
                adapter_->Device().WritePlayback(descriptor->data, nullptr, stride, PlaybackComplete, descriptor);
            if (NT_SUCCESS(status)) return;
            ENGINE_TRACE(TRACE_LEVEL_WARNING, "playback submission failed: 0x%08x", static_cast<unsigned>(status));
            if (IsDeviceGoneStatus(status)) MarkDeviceGone();
            KeSetEvent(&dir.error, IO_NO_INCREMENT, FALSE);
        }
    }
    InterlockedIncrement(&counters_.playbackRefusals);
    KeReleaseSemaphore(&dir.semaphore, IO_NO_INCREMENT, 1, FALSE);
    if (descriptor != nullptr) ReturnDescriptor(dir, descriptor);
    SubOutstanding(dir);
}

void StreamEngine::PlaybackComplete(NTSTATUS status, ULONG, PVOID context, PVOID) {
    auto* descriptor = static_cast<TransferDescriptor*>(context);
    StreamEngine* self = descriptor->engine;
    if (IsDeviceGoneStatus(status)) self->MarkDeviceGone();
    if (!NT_SUCCESS(status)) {
        InterlockedIncrement(&self->counters_.playbackErrors);
        KeSetEvent(&self->playback_.error, IO_NO_INCREMENT, FALSE);
    }
    bool wasEmpty = false;
    {
        SpinHold hold(&self->playbackDoneLock_);
        wasEmpty = IsListEmpty(&self->playbackDone_);
        InsertTailList(&self->playbackDone_, &descriptor->link);
    }
    if (wasEmpty) KeInsertQueueDpc(&self->playbackDpc_, nullptr, nullptr);
}

void StreamEngine::PlaybackDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<StreamEngine*>(context);
    for (;;) {
        TransferDescriptor* descriptor = nullptr;
        {
            SpinHold hold(&self->playbackDoneLock_);
            if (IsListEmpty(&self->playbackDone_)) break;
            descriptor = OVU_CONTAINING_RECORD(RemoveHeadList(&self->playbackDone_), TransferDescriptor, link);
        }
        self->SubmitPlayback(descriptor);
    }
}

// ---------------------------------------------------------------- capture (<= DISPATCH_LEVEL)

CaptureBuffer* StreamEngine::TakeCaptureBuffer() {
    SpinHold hold(&bufferLock_);
    if (!IsListEmpty(&freeBuffers_)) return OVU_CONTAINING_RECORD(RemoveHeadList(&freeBuffers_), CaptureBuffer, link);
    if (!IsListEmpty(&completedBuffers_)) {
        // The DPC fell behind by 40 transfers: its oldest data goes.
        InterlockedIncrement(&counters_.captureBuffersDropped);
        return OVU_CONTAINING_RECORD(RemoveHeadList(&completedBuffers_), CaptureBuffer, link);
    }
    return nullptr;
}

void StreamEngine::FreeCaptureBuffer(CaptureBuffer* buffer) {
    SpinHold hold(&bufferLock_);
    InsertTailList(&freeBuffers_, &buffer->link);
}

void StreamEngine::SubmitCapture(TransferDescriptor* descriptor) {
    DirectionState& dir = capture_;
    bool refuse = DeviceGone() || Removed() || Signalled(&dir.stop) || Signalled(&dir.error);
    if (!refuse && PowerBlocked()) {
        KeSetEvent(&dir.error, IO_NO_INCREMENT, FALSE);
        refuse = true;
    }
    if (!refuse) {
        if (descriptor == nullptr) descriptor = TakeDescriptor(dir);
        CaptureBuffer* buffer = descriptor != nullptr ? TakeCaptureBuffer() : nullptr;
        if (buffer != nullptr) {
            descriptor->buffer = buffer;
            descriptor->data = buffer->data;
            descriptor->length = dir.transferBytes;
            const NTSTATUS status =
                adapter_->Device().ReadCapture(buffer->data, dir.transferBytes, CaptureComplete, descriptor);
            if (NT_SUCCESS(status)) return;
            ENGINE_TRACE(TRACE_LEVEL_WARNING, "capture submission failed: 0x%08x", static_cast<unsigned>(status));
            if (IsDeviceGoneStatus(status)) MarkDeviceGone();
            KeSetEvent(&dir.error, IO_NO_INCREMENT, FALSE);
            descriptor->buffer = nullptr;
            FreeCaptureBuffer(buffer);
        }
    }
    InterlockedIncrement(&counters_.captureRefusals);
    KeReleaseSemaphore(&dir.semaphore, IO_NO_INCREMENT, 1, FALSE);
    if (descriptor != nullptr) ReturnDescriptor(dir, descriptor);
    SubOutstanding(dir);
}

ULONG StreamEngine::FramesInTransfer(ULONG bytes) const {
    const ULONG speed = Speed();
    const ULONG chunk = ChunkSize(speed);
    const ULONG framesPerChunk = FramesPerChunk(speed, capture_.streamRate);
    const ULONG bytesPerFrame = capture_.bytesPerFrame;
    if (bytesPerFrame == 0) return 0;
    ULONG frames = 0;
    for (ULONG offset = 0, i = 0; i < capture_.chunksPerTransfer && offset < bytes; ++i, offset += chunk) {
        const ULONG held = (bytes - offset < chunk ? bytes - offset : chunk) / bytesPerFrame;
        frames += held < framesPerChunk ? held : framesPerChunk;
    }
    return frames;
}

void StreamEngine::CaptureComplete(NTSTATUS status, ULONG bytes, PVOID context, PVOID) {
    auto* descriptor = static_cast<TransferDescriptor*>(context);
    StreamEngine* self = descriptor->engine;
    CaptureBuffer* buffer = descriptor->buffer;
    descriptor->buffer = nullptr;
    // The count comes from the bus: never past what was asked for.
    if (bytes > descriptor->length) bytes = descriptor->length;
    if (NT_SUCCESS(status) && bytes < descriptor->length) InterlockedIncrement(&self->counters_.shortCaptures);

    buffer->stamp = self->capturedFrames_;
    self->CaptureBytes(buffer) = bytes;
    if (NT_SUCCESS(status))
        WriteNoFence64(reinterpret_cast<volatile LONG64*>(&self->capturedFrames_),
                       static_cast<LONG64>(self->capturedFrames_ + self->FramesInTransfer(bytes)));

    if (!NT_SUCCESS(status)) {
        self->FreeCaptureBuffer(buffer);
        InterlockedIncrement(&self->counters_.captureErrors);
        if (IsDeviceGoneStatus(status)) self->MarkDeviceGone();
        KeSetEvent(&self->capture_.error, IO_NO_INCREMENT, FALSE);
        self->SubmitCapture(descriptor);
        return;
    }
    if (bytes > 0 && Signalled(&self->capture_.run)) {
        bool wasEmpty = false;
        {
            SpinHold hold(&self->bufferLock_);
            wasEmpty = IsListEmpty(&self->completedBuffers_);
            InsertTailList(&self->completedBuffers_, &buffer->link);
        }
        if (wasEmpty) KeInsertQueueDpc(&self->captureDpc_, nullptr, nullptr);
    } else {
        self->FreeCaptureBuffer(buffer);
    }
    self->AdvanceTickWords();
    self->SubmitCapture(descriptor);
}

void StreamEngine::AdvanceTickWords() {
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
        AsioFileContext* handle = HandleOfLink(e);
        SpinHold tickHold(&handle->tickLock);
        if (handle->tickWord != nullptr) InterlockedIncrement(handle->tickWord);
    }
}

void StreamEngine::CaptureDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<StreamEngine*>(context);
    for (;;) {
        CaptureBuffer* buffer = nullptr;
        ULONG bytes = 0;
        {
            SpinHold hold(&self->bufferLock_);
            if (IsListEmpty(&self->completedBuffers_)) break;
            buffer = OVU_CONTAINING_RECORD(RemoveHeadList(&self->completedBuffers_), CaptureBuffer, link);
            bytes = self->CaptureBytes(buffer);
        }
        self->ProcessCaptureBuffer(buffer, bytes);
        self->FreeCaptureBuffer(buffer);
    }
}

// The capture DPC's per-transfer work (input ring, reads, system-audio copy
// and mixing, silence), the ASIO write, and the system-audio packet queues.
// Everything here but Write runs at DISPATCH_LEVEL and allocates nothing.
#include "driver/core/audio_device.h"
#include "driver/core/kernel_locks.h"
#include "driver/stream/asio_file_context.h"
#include "driver/stream/engine.h"
#include "driver/stream/engine_trace.h"
#include "platform/base/ntstatus.h"

#include <cstring>

namespace {

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

// Distance from `from` forward to `to` in the ring.
ULONG RingDistance(ULONG from, ULONG to) { return to >= from ? to - from : kRingSize - from + to; }

// Copies `length` bytes into the ring at `position`, wrapping at its end.
void CopyIntoRing(UCHAR* ring, ULONG position, const UCHAR* source, ULONG length) {
    const ULONG first = Min(length, kRingSize - position);
    std::memcpy(ring + position, source, first);
    if (length > first) std::memcpy(ring, source + first, length - first);
}

void CopyFromRing(const UCHAR* ring, ULONG position, UCHAR* target, ULONG length) {
    const ULONG first = Min(length, kRingSize - position);
    std::memcpy(target, ring + position, first);
    if (length > first) std::memcpy(target + first, ring, length - first);
}

}  // namespace

// ---------------------------------------------------------------- the capture DPC's work

void StreamEngine::ProcessCaptureBuffer(CaptureBuffer* buffer, ULONG bytes) {
    const ULONG speed = Speed();
    const ULONG chunk = ChunkSize(speed);
    const ULONG framesPerChunk = FramesPerChunk(speed, capture_.streamRate);
    const ULONG bytesPerFrame = capture_.bytesPerFrame;

    // Only the frames at the start of each chunk the transfer holds: a short
    // transfer leaves the rest of the buffer stale.
    ULONG framesCopied = 0;
    if (bytesPerFrame != 0) {
        for (ULONG i = 0, offset = 0; i < capture_.chunksPerTransfer && offset < bytes; ++i, offset += chunk) {
            const ULONG held = Min(bytes - offset, chunk) / bytesPerFrame;
            const ULONG amount = Min(held, framesPerChunk) * bytesPerFrame;
            if (amount == 0 || amount > kRingSize) continue;
            CopyIntoRing(inputRing_, inputWritePos_, buffer->data + offset, amount);
            inputWritePos_ = (inputWritePos_ + amount) % kRingSize;
            framesCopied += amount / bytesPerFrame;
        }
        baseFrame_ = buffer->stamp + framesCopied - inputWritePos_ / bytesPerFrame;
    }

    ServeReads();

    ISystemAudioPath* path = systemAudio_;
    if (path != nullptr && ReadAcquire(&captureActive_) != 0) {
        const ULONG delivered = path->CopyCapture(buffer->data, bytes);
        if (delivered != 0) path->StreamAdvanced(true, delivered);
    }

    const ULONG playbackBytes = playback_.transferBytes;
    ULONG consumed = 0;
    {
        SpinHold hold(&outputLock_);
        const ULONG groupCount = layout_.groupCount;
        if (groupCount != 0) {
            renderGroup_ = (renderGroup_ + 1) % groupCount;
            const ULONG target = ((renderGroup_ + kRenderLookAheadGroups) % groupCount) * playbackBytes;
            if (path != nullptr && ReadAcquire(&renderActive_) != 0)
                consumed = path->MixRender(outputRing_, kRingSize, target,
                                           ChunkBytesToFrames(speed, playback_.streamRate, playbackBytes));
            FillSilence(playbackBytes);
        }
    }
    if (consumed != 0) path->StreamAdvanced(false, consumed);
}

// ---------------------------------------------------------------- reads

PVOID StreamEngine::RequestBuffer(IRP* irp) {
    DEVICE_OBJECT* fdo = adapter_->FunctionalDevice();
    const bool buffered = fdo != nullptr ? (fdo->Flags & DO_BUFFERED_IO) != 0 : irp->MdlAddress == nullptr;
    if (buffered) return irp->AssociatedIrp.SystemBuffer;
    if (irp->MdlAddress == nullptr) return nullptr;
    return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
}

void StreamEngine::ServeReads() {
    const ULONG bytesPerFrame = capture_.bytesPerFrame;
    if (bytesPerFrame == 0) return;
    const ULONG writePos = inputWritePos_;
    // The frame just past the newest one in the ring.
    const ULONG64 writeFrame = baseFrame_ + writePos / bytesPerFrame;
    SpinHold hold(&handleLock_);
    for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
        AsioFileContext* handle = HandleOfLink(e);
        for (;;) {
            IRP* irp = PopQueuedRead(handle);
            if (irp == nullptr) break;
            const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            const ULONG done = static_cast<ULONG>(irp->IoStatus.Information);
            const ULONG want = length > done ? length - done : 0;
            // A zero-length read has no buffer and needs none.
            auto* target = static_cast<UCHAR*>(RequestBuffer(irp));
            if (target == nullptr && want != 0) {
                CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0, IO_SOUND_INCREMENT);
                continue;
            }
            ULONG copied = 0;
            if (want == 0) {
            } else if (want > kRingSize || handle->inputReadPos > kRingSize - 1) {
                // Not synchronised: this handle's data starts now.
                handle->inputReadPos = writePos;
            } else {
                copied = Min(want, RingDistance(handle->inputReadPos, writePos));
                CopyFromRing(inputRing_, handle->inputReadPos, target + done, copied);
                handle->inputReadPos = (handle->inputReadPos + copied) % kRingSize;
            }
            irp->IoStatus.Information = done + copied;
            if (done + copied >= length) {
                // A zero-length read before the first pass has no position
                // to stamp from; the next real read stamps instead.
                if ((ReadAcquire(&handle->syncFlags) & 1) && handle->inputReadPos < kRingSize) {
                    // Counted back from the write position, so a read that
                    // ended before the ring's wrap still gets its own lap.
                    const ULONG behind = RingDistance(handle->inputReadPos, writePos) / bytesPerFrame;
                    WriteRelease64(reinterpret_cast<volatile LONG64*>(&handle->stampedFrame),
                                   static_cast<LONG64>(writeFrame - behind));
                    InterlockedAnd(&handle->syncFlags, ~1);
                }
                CompleteRequest(irp, STATUS_SUCCESS, done + copied, IO_SOUND_INCREMENT);
                continue;
            }
            {
                SpinHold queueHold(&handle->readQueueLock);
                InsertHeadList(&handle->readQueue, &irp->Tail.Overlay.ListEntry);
            }
            break;
        }
    }
}

// ---------------------------------------------------------------- silence (output lock held)

void StreamEngine::FillSilence(ULONG transferLength) {
    const ULONG frames = ChunkBytesToFrames(Speed(), playback_.streamRate, transferLength);
    const ULONG step = playback_.channels * frames * 4;
    if (playback_.bytesPerFrame == 0 || frames >= kRingSize / playback_.bytesPerFrame) return;
    ULONG fill = silenceFill_;
    bool looked = false;
    ULONG nearest = kRingSize;
    {
        SpinHold hold(&handleLock_);
        for (LIST_ENTRY* e = handles_.Flink; e != &handles_; e = e->Flink) {
            const AsioFileContext* handle = HandleOfLink(e);
            if (ReadUCharNoFence(&handle->running) == 0 || handle->outputWritePos >= kRingSize) continue;
            looked = true;
            if (handle->outputWritePos == fill) {
                nearest = 0;
                break;
            }
            nearest = Min(nearest, RingDistance(fill, handle->outputWritePos));
        }
    }
    const LONG64 lagged = static_cast<LONG64>(playCursor_) - silenceLag_ - fill;
    ULONG room = static_cast<ULONG>(((lagged % kRingSize) + kRingSize) % kRingSize);
    if (looked) room = nearest == 0 ? 0 : Min(nearest, room);
    const ULONG amount = Min(3 * step, room) & ~3u;
    const ULONG first = Min(amount, kRingSize - fill);
    std::memset(outputRing_ + fill, 0, first);
    if (amount > first) std::memset(outputRing_, 0, amount - first);
    silenceFill_ = (fill + amount) % kRingSize;
    playCursor_ = step != 0 ? (playCursor_ + step) % kRingSize : playCursor_;
}

// ---------------------------------------------------------------- writes (PASSIVE_LEVEL)

void StreamEngine::Write(IRP* irp) {
    irp->IoStatus.Information = 0;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    auto* handle = stack->FileObject != nullptr ? static_cast<AsioFileContext*>(stack->FileObject->FsContext2) : nullptr;
    if (handle == nullptr || KeReadStateEvent(&playback_.error) != 0) {
        CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0, IO_NO_INCREMENT);
        return;
    }
    const auto* source = static_cast<const UCHAR*>(RequestBuffer(irp));
    const ULONG length = stack->Parameters.Write.Length;
    const ULONG words = length / 4;
    NTSTATUS status = STATUS_SUCCESS;
    bool stopped = false;
    {
        // The silence filler reads the write position under this lock.
        SpinHold hold(&outputLock_);
        ULONG position = 0;
        if (layout_.groupCount == 0) {
            // Without a layout the ring has no size: the streams are
            // stopped, and the stop zeroes the ring without this lock.
            stopped = true;
            status = STATUS_UNSUCCESSFUL;
        } else if (ReadAcquire(&handle->syncFlags) & 1) {
            // No read has completed since the start, so there is no frame
            // stamp to place this buffer by: it would land anywhere.
            if (handle->outputWritePos >= kRingSize) status = STATUS_UNSUCCESSFUL;
            position = handle->outputWritePos % kRingSize;
        } else {
            InterlockedOr(&handle->syncFlags, 1);
            if (handle->outputWritePos >= kRingSize) {
                const auto stamp = static_cast<ULONG64>(
                    ReadAcquire64(reinterpret_cast<volatile LONG64*>(&handle->stampedFrame)));
                handle->outputWritePos =
                    static_cast<ULONG>(((stamp + outputMargin_) * playback_.bytesPerFrame) % kRingSize);
            }
            position = handle->outputWritePos;
        }
        if (source == nullptr || length > kRingSize) status = STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(status)) {
            const ULONG first = Min(words, (kRingSize - position) / 4);
            std::memcpy(outputRing_ + position, source, static_cast<SIZE_T>(first) * 4);
            std::memcpy(outputRing_, source + static_cast<SIZE_T>(first) * 4, static_cast<SIZE_T>(words - first) * 4);
            handle->outputWritePos = (position + words * 4) % kRingSize;
        }
    }
    if (!NT_SUCCESS(status)) {
        CompleteRequest(irp, status, 0, stopped ? IO_NO_INCREMENT : IO_SOUND_INCREMENT);
        return;
    }
    CompleteRequest(irp, STATUS_SUCCESS, words * 4, IO_SOUND_INCREMENT);
}

// ---------------------------------------------------------------- system-audio packets

SystemAudioPacket* StreamEngine::NewPacket(PVOID address, ULONG length) {
    if (!lookasidesReady_) return nullptr;
    auto* packet = static_cast<SystemAudioPacket*>(ExAllocateFromNPagedLookasideList(&packetLookaside_));
    if (packet != nullptr) *packet = {{}, static_cast<UCHAR*>(address), length};
    return packet;
}

void StreamEngine::ReleasePacket(SystemAudioPacket* packet) { ExFreeToNPagedLookasideList(&packetLookaside_, packet); }

NTSTATUS StreamEngine::QueueRenderPacket(PVOID address, ULONG length) {
    SystemAudioPacket* packet = NewPacket(address, length);
    if (packet == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    SpinHold hold(&outputLock_);
    InsertTailList(&renderPackets_, &packet->link);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::QueueCapturePacket(PVOID address, ULONG length) {
    SystemAudioPacket* packet = NewPacket(address, length);
    if (packet == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    InsertTailList(&capturePackets_, &packet->link);
    return STATUS_SUCCESS;
}

void StreamEngine::DiscardPackets() {
    {
        SpinHold hold(&capturePacketLock_);
        while (!IsListEmpty(&capturePackets_))
            ReleasePacket(OVU_CONTAINING_RECORD(RemoveHeadList(&capturePackets_), SystemAudioPacket, link));
    }
    SpinHold hold(&outputLock_);
    while (!IsListEmpty(&renderPackets_))
        ReleasePacket(OVU_CONTAINING_RECORD(RemoveHeadList(&renderPackets_), SystemAudioPacket, link));
}

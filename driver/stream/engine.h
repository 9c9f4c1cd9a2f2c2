// The bulk streaming engine: both directions of the device's bulk endpoints,
// the input and output rings, and the frame clock every client aligns to.
// Held inside the adapter object (zero-filled pool, placement-new).
//
// The adapter calls the operations below; their behaviour, the engine's
// state and its threads, DPCs and locks are the engine's own. The engine
// sees the adapter only as its IEngineHost (engine_hooks.h).
//
// Where things run:
//   - operations from the adapter, the "\asio" handles and the WaveRT
//     streams: PASSIVE_LEVEL; start, stop, format and clock changes take
//     the adapter mutex (the *Locked variants expect it held);
//   - one system thread per running direction keeps the transfers in flight
//     and recovers from transfer errors;
//   - USB completions (up to DISPATCH_LEVEL), the capture DPC and the
//     playback-completion DPC do the per-transfer work and never wait.
// Lock order: output lock -> handle-list lock -> a handle's read-queue or
// tick lock. The capture-buffer, descriptor, user-count and outstanding
// locks are leaves.
#pragma once

#include "driver/stream/engine_hooks.h"
#include "driver/stream/engine_table.h"
#include "platform/base/list.h"
#include "platform/base/types.h"
#include "platform/io/irp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/dpc.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/lookaside.h"
#include "platform/kernel/spinlock.h"

class StreamEngine;
struct AsioFileContext;
struct StreamingInterface;

// One IN transfer's landing place: a 24-byte header and the data.
struct CaptureBuffer {
    LIST_ENTRY link;  // in the free or the completed list
    ULONG64 stamp;    // capturedFrames when the transfer completed
    UCHAR data[kCaptureBufferBytes];
};
static_assert(offsetof(CaptureBuffer, data) == 24);
static_assert(sizeof(CaptureBuffer) == 24 + kCaptureBufferBytes);

// One bulk transfer in flight: cached per direction, from a lookaside list
// when the cache is empty.
struct alignas(16) TransferDescriptor {
    SLIST_ENTRY cacheLink;  // in the direction's free cache
    LIST_ENTRY link;        // in the playback-completed list
    UCHAR* data;
    ULONG length;
    StreamEngine* engine;
    CaptureBuffer* buffer;  // capture only
};

// A stretch of a WaveRT buffer queued for the next mixing or capture step.
struct SystemAudioPacket {
    LIST_ENTRY link;
    UCHAR* address;
    ULONG remaining;
};

// Glitches and recoveries, for tests and tracing. Updated with interlocked
// adds from any context.
struct EngineCounters {
    volatile LONG captureBuffersDropped;  // completed data overwritten before the DPC saw it
    volatile LONG captureRefusals;        // IN submissions refused or failed
    volatile LONG playbackRefusals;
    volatile LONG captureErrors;  // IN transfers completed with an error
    volatile LONG playbackErrors;
    volatile LONG recoveries;  // error branches run by the workers
    volatile LONG shortCaptures;  // IN transfers shorter than requested
};

class StreamEngine {
public:
    // ---- lifecycle (adapter) ----

    // At adapter creation: events, semaphores, lookaside lists, DPCs,
    // capture buffers. `host` outlives the engine. PASSIVE_LEVEL.
    NTSTATUS Initialize(IEngineHost* host);
    // At adapter destruction: stops the worker threads and streams and frees
    // what Initialize took. Safe after a failed or skipped Initialize.
    void Shutdown();

    // ---- the "\asio" handle operations (IAsioStreamControl, slot order) ----

    // Links the record into the handle list; STATUS_INVALID_PARAMETER for a
    // record without the "asio" tag.
    NTSTATUS AttachHandle(AsioFileContext* handle);
    void DetachHandle(AsioFileContext* handle);
    // Copies one buffer into the output ring and completes the request.
    void Write(IRP* irp);
    // Completes with STATUS_CANCELLED every read queued on `fileObject`'s
    // handle, or on every handle when `fileObject` is null.
    void CancelRequests(FILE_OBJECT* fileObject, ULONG scope);
    // Under the adapter mutex: margin, default formats, two users per
    // direction. STATUS_DELETE_PENDING after removal.
    NTSTATUS AsioStart();
    NTSTATUS AsioStop();
    NTSTATUS SetBufferSize(ULONG frames);
    NTSTATUS SetClockSource(ULONG clockId, BOOLEAN force);
    NTSTATUS GetUsbSpeed(ULONG* speed);
    NTSTATUS ReadAndClearCounter(ULONG* value);
    NTSTATUS GetOutputMargin(ULONG* frames);
    NTSTATUS SetOutputMargin(ULONG frames);
    void RecomputeRunning();

    // Power, from the adapter. The power state, the power-down-pending flag
    // and the surprise-removed flag live in the adapter; the engine asks its
    // host for them.
    void BlockAsioHandles();
    void UnblockAsioHandles();

    // ---- the engine operations (WaveRT streams, rate changes) ----

    // Selects the alternate setting for the direction's format at the
    // current rate and derives the transfer parameters. Adapter mutex held;
    // only while the direction's interface is at setting 0.
    NTSTATUS ConfigureDirectionLocked(bool capture);
    // One user on each direction (adapter mutex held / taken).
    NTSTATUS StartStreamingLocked();
    NTSTATUS StartStreaming();
    // One user off each direction.
    NTSTATUS StopStreamingLocked();
    NTSTATUS StopStreaming();
    // The direction's stream format; the rate must be the current rate.
    NTSTATUS SetFormatLocked(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate);
    NTSTATUS SetFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate);
    void SetSystemAudioActive(bool capture, bool active);
    // A stretch of the render (or capture) WaveRT buffer for the next step.
    // STATUS_INSUFFICIENT_RESOURCES when no packet record can be had.
    // The render queue is taken under the output lock here; the capture
    // queue's caller holds CapturePacketLock() (the capture copy asks for
    // packets under it).
    NTSTATUS QueueRenderPacket(PVOID address, ULONG length);
    NTSTATUS QueueCapturePacket(PVOID address, ULONG length);

    // ---- attachments and adapter-wide values ----

    void AttachSystemAudio(ISystemAudioPath* path);
    void AttachDefaultFormatSource(IDefaultFormatSource* source);
    KMUTEX* AdapterMutex() { return &adapterMutex_; }
    // Changed under the adapter mutex; read from any thread (the rate
    // property, the "\asio" handles).
    ULONG CurrentRate() const { return static_cast<ULONG>(ReadAcquire(&currentRate_)); }
    void SetCurrentRate(ULONG rate) { WriteRelease(&currentRate_, static_cast<LONG>(rate)); }
    ULONG SelectedClockSource() const { return selectedClock_; }
    ULONG BufferSize() const { return bufferSize_; }
    bool AnyHandleRunning() const { return ReadAcquire(&anyRunning_) != 0; }
    bool DeviceGone() const { return ReadAcquire(&deviceGone_) != 0; }
    // True while the direction has a worker thread (a rate or clock change
    // is refused then).
    bool DirectionRunning(bool capture) const;

    // ---- state for the WaveRT side and for tests ----

    struct DirectionView {
        ULONG formatTag, channels, bits, rate, bytesPerFrame;
        bool formatSet;
        ULONG chunksPerTransfer, transferBytes, streamRate;
        ULONG users, outstanding;
    };
    DirectionView Direction(bool capture) const;
    struct RingView {
        const UCHAR* inputRing;
        ULONG inputWritePos;
        ULONG64 capturedFrames;
        ULONG64 baseFrame;
        const UCHAR* outputRing;
        OutputLayout layout;
        ULONG outputSlot, renderGroup, playCursor, silenceFill, silenceLag;
    };
    // A snapshot for tests and diagnostics: exact only while no transfer
    // completes (stopped, or a stepped clock between steps).
    RingView Rings() const;
    // Safe while streaming.
    ULONG64 CapturedFrames() const {
        return static_cast<ULONG64>(ReadNoFence64(reinterpret_cast<const volatile LONG64*>(&capturedFrames_)));
    }
    const EngineCounters& Counters() const { return counters_; }
    UCHAR* OutputRing() { return outputRing_; }
    KSPIN_LOCK* OutputLock() { return &outputLock_; }
    LIST_ENTRY* RenderPackets() { return &renderPackets_; }
    LIST_ENTRY* CapturePackets() { return &capturePackets_; }
    KSPIN_LOCK* CapturePacketLock() { return &capturePacketLock_; }
    // Returns a used-up packet record to its cache.
    void ReleasePacket(SystemAudioPacket* packet);
    // Capture buffers in the free and completed lists.
    void CaptureBufferCounts(ULONG* free, ULONG* completed);

    // ---- the per-transfer work, exposed for the benchmark ----

    // The capture DPC's work for one completed buffer holding `bytes`.
    void ProcessCaptureBuffer(CaptureBuffer* buffer, ULONG bytes);

private:
    struct DirectionState {
        StreamEngine* engine;
        bool capture;
        // stream format
        ULONG formatTag;
        ULONG channels;
        ULONG bits;
        ULONG rate;
        ULONG bytesPerFrame;
        bool formatSet;
        // transfer parameters, fixed while the direction streams
        ULONG chunksPerTransfer;
        ULONG transferBytes;
        // The rate the device was set to when the direction was configured.
        // The streaming path frames chunks with it: a forced rate change only
        // records the new current rate, which the next configuration takes.
        ULONG streamRate;
        KSPIN_LOCK userLock;
        ULONG users;
        PVOID thread;  // referenced thread object while a worker exists
        KSPIN_LOCK outstandingLock;
        ULONG outstanding;
        KSEMAPHORE semaphore;
        KEVENT stop;
        KEVENT error;
        KEVENT idle;
        KEVENT run;
        SLIST_HEADER descriptorCache;
        NPAGED_LOOKASIDE_LIST descriptorLookaside;
    };

    // Records a validated stream format on the direction.
    static void StoreFormat(DirectionState& dir, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate);
    DirectionState& Dir(bool capture) { return capture ? capture_ : playback_; }
    const DirectionState& Dir(bool capture) const { return capture ? capture_ : playback_; }
    StreamingInterface* Interface(bool capture) const;
    bool AtSettingZero(bool capture) const;
    void SelectSettingZero(bool capture);
    ULONG Speed() const;
    bool PowerBlocked() const;
    bool Removed() const;
    void MarkDeviceGone();
    static bool IsDeviceGoneStatus(NTSTATUS status);

    // start and stop
    NTSTATUS StartDirection(DirectionState& dir);
    void RemoveUser(DirectionState& dir);
    // Ends the direction's worker and flushes the DPCs its transfers queued.
    void JoinWorker(DirectionState& dir);
    // Both workers are gone: setting 0, no layout, a zeroed output ring.
    void EndRun();
    bool WaitForValidClock();
    NTSTATUS DefaultFormat(bool capture, ULONG* channels, ULONG* bits);
    NTSTATUS SetClockSourceLocked(ULONG clockId, BOOLEAN force);

    // workers and transfers
    static void WorkerRoutine(PVOID context);
    void RunWorker(DirectionState& dir);
    void RecoverFromError(DirectionState& dir);
    void AddOutstanding(DirectionState& dir);
    void SubOutstanding(DirectionState& dir);
    TransferDescriptor* TakeDescriptor(DirectionState& dir);
    void ReturnDescriptor(DirectionState& dir, TransferDescriptor* descriptor);
    void SubmitPlayback(TransferDescriptor* completed);
    void SubmitCapture(TransferDescriptor* descriptor);
    static void PlaybackComplete(NTSTATUS status, ULONG bytes, PVOID context, PVOID reserved);
    static void CaptureComplete(NTSTATUS status, ULONG bytes, PVOID context, PVOID reserved);
    static void PlaybackDpc(KDPC* dpc, PVOID context, PVOID, PVOID);
    static void CaptureDpc(KDPC* dpc, PVOID context, PVOID, PVOID);
    void AdvanceTickWords();
    // Frames an IN transfer of `bytes` carries: framesPerChunk per whole
    // chunk, what fits of a trailing short one.
    ULONG FramesInTransfer(ULONG bytes) const;

    // capture buffers
    CaptureBuffer* TakeCaptureBuffer();
    void FreeCaptureBuffer(CaptureBuffer* buffer);
    ULONG& CaptureBytes(CaptureBuffer* buffer) { return captureBytes_[buffer - captureBuffers_]; }

    // ASIO transport
    void ServeReads();
    void FillSilence(ULONG transferLength);
    PVOID RequestBuffer(IRP* irp);
    void DiscardPackets();
    SystemAudioPacket* NewPacket(PVOID address, ULONG length);
    static void CompleteRequest(IRP* irp, NTSTATUS status, ULONG_PTR information, CCHAR boost);

    IEngineHost* adapter_;
    bool initialized_;
    bool lookasidesReady_;

    KMUTEX adapterMutex_;
    volatile LONG currentRate_;
    ULONG selectedClock_;

    DirectionState capture_;
    DirectionState playback_;

    // input ring
    UCHAR inputRing_[kRingSize];
    ULONG inputWritePos_;
    ULONG64 capturedFrames_;
    ULONG64 baseFrame_;

    // output ring, guarded by the output lock while streams run
    KSPIN_LOCK outputLock_;
    UCHAR outputRing_[kRingSize];
    OutputLayout layout_;
    ULONG outputSlot_;
    ULONG renderGroup_;
    ULONG playCursor_;
    ULONG silenceFill_;
    ULONG silenceLag_;

    // capture buffers: free and completed lists under one lock
    KSPIN_LOCK bufferLock_;
    LIST_ENTRY freeBuffers_;
    LIST_ENTRY completedBuffers_;
    CaptureBuffer captureBuffers_[kCaptureBufferCount];
    ULONG captureBytes_[kCaptureBufferCount];

    // playback completions waiting for their DPC
    KSPIN_LOCK playbackDoneLock_;
    LIST_ENTRY playbackDone_;
    KDPC captureDpc_;
    KDPC playbackDpc_;

    volatile LONG deviceGone_;

    // system audio
    volatile LONG captureActive_;
    volatile LONG renderActive_;
    ISystemAudioPath* systemAudio_;
    IDefaultFormatSource* defaultFormats_;
    LIST_ENTRY renderPackets_;  // under the output lock
    KSPIN_LOCK capturePacketLock_;
    LIST_ENTRY capturePackets_;
    NPAGED_LOOKASIDE_LIST packetLookaside_;

    // ASIO handles
    KSPIN_LOCK handleLock_;
    LIST_ENTRY handles_;
    ULONG outputMargin_;
    ULONG bufferSize_;
    volatile LONG anyRunning_;
    volatile LONG readClearCounter_;

    EngineCounters counters_;
};

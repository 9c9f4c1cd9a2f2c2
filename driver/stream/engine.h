// The bulk streaming engine: both directions of the device's bulk endpoints,
// the input and output rings, and the frame clock every client aligns to.
// Held inside the adapter object (zero-filled pool, placement-new).
//
// The adapter calls the operations below; their behaviour, the engine's
// state and its threads, DPCs and locks are the engine's own.
#pragma once

#include "platform/base/types.h"
#include "platform/io/irp.h"

class AdapterCommon;
struct AsioFileContext;

class StreamEngine {
public:
    // At adapter creation: events, semaphores, lookaside lists, DPCs, work
    // items, capture buffers. PASSIVE_LEVEL.
    NTSTATUS Initialize(AdapterCommon* adapter);
    // At adapter destruction: stops the worker threads and streams and frees
    // what Initialize took. Safe after a failed or skipped Initialize.
    void Shutdown();

    // The "\asio" handle operations (IAsioStreamControl, in its slot order).
    NTSTATUS AttachHandle(AsioFileContext* handle);
    void DetachHandle(AsioFileContext* handle);
    void Write(IRP* irp);
    void CancelRequests(FILE_OBJECT* fileObject, ULONG scope);
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
    // and the surprise-removed flag live in the adapter (PowerState(),
    // PowerDownPending(), SurpriseRemoved()); the engine reads them there.
    void BlockAsioHandles();
    void UnblockAsioHandles();
};

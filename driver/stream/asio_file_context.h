// The per-handle record of an "\asio" handle, kept in the file object's
// FsContext2. Non-paged pool, tag "USBA".
#pragma once

#include "driver/core/kernel_locks.h"
#include "platform/base/list.h"
#include "platform/base/types.h"
#include "platform/io/irp.h"
#include "platform/kernel/spinlock.h"

struct IAdapterCommon;
struct IAsioStreamControl;

// "asio" read as a little-endian number: the only test by which the
// dispatch routines recognise an "\asio" handle.
inline constexpr ULONG kAsioHandleTag = 0x6173696f;
inline constexpr ULONG kNotSynchronised = 0xFFFFFFFFu;

struct AsioFileContext {
    IAdapterCommon* adapter;       // not counted
    IAsioStreamControl* control;   // one counted reference, held until close
    ULONG inputReadPos;            // byte offset in the input ring; kNotSynchronised
    LIST_ENTRY readQueue;          // queued READ requests, in arrival order
    KSPIN_LOCK readQueueLock;
    ULONG outputWritePos;          // byte offset in the output ring; kNotSynchronised
    LIST_ENTRY adapterLink;        // in the adapter's list of "\asio" handles
    ULONG tag;                     // kAsioHandleTag
    UCHAR blocked;                 // streaming refused (power down)
    UCHAR running;                 // between a successful start and its stop
    ULONG64 stampedFrame;          // capture frame recorded at a READ completion
    KSPIN_LOCK tickLock;           // guards the two tick fields
    IRP* tickRequest;              // the pending IOCTL_UAC2_MAP_TICK_COUNTER, or none
    volatile LONG* tickWord;       // its mapped 4-byte output, or none
    volatile LONG syncFlags;       // bit 0: the next READ completion stamps stampedFrame
};

// The record that a link of the adapter's handle list belongs to.
inline AsioFileContext* HandleOfLink(LIST_ENTRY* link) {
    return OVU_CONTAINING_RECORD(link, AsioFileContext, adapterLink);
}

// Takes the oldest queued READ of `handle`, or null. At or below
// DISPATCH_LEVEL.
inline IRP* PopQueuedRead(AsioFileContext* handle) {
    SpinHold hold(&handle->readQueueLock);
    if (IsListEmpty(&handle->readQueue)) return nullptr;
    return OVU_CONTAINING_RECORD(RemoveHeadList(&handle->readQueue), IRP, Tail.Overlay.ListEntry);
}

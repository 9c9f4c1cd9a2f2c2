// Deferred procedure calls. A DPC belongs to the machine it was initialised
// on, is queued at most once until it runs, and runs at DISPATCH_LEVEL on
// the machine's DPC thread in the order DPCs were queued.
#pragma once

#include "platform/base/list.h"
#include "platform/base/types.h"

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;

using PKDEFERRED_ROUTINE = void (*)(KDPC* dpc, PVOID deferredContext, PVOID systemArgument1, PVOID systemArgument2);

struct KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID volatile DpcData;
};
static_assert(sizeof(KDPC) == 64);
static_assert(offsetof(KDPC, DpcListEntry) == 8);
static_assert(offsetof(KDPC, DeferredRoutine) == 24);
static_assert(offsetof(KDPC, DpcData) == 56);

enum KDPC_IMPORTANCE { LowImportance = 0, MediumImportance = 1, HighImportance = 2, MediumHighImportance = 3 };

extern "C" void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext);
// FALSE when the DPC is already queued (the arguments are then not updated).
extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2);
// TRUE when the DPC was queued and has been taken off the queue unrun.
extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
// PASSIVE_LEVEL: returns once every DPC queued before the call has run.
extern "C" void KeFlushQueuedDpcs();
extern "C" void KeSetImportanceDpc(PRKDPC dpc, KDPC_IMPORTANCE importance);

// Executive work items: routines run at PASSIVE_LEVEL on one of the
// machine's worker threads, in the order they were queued per queue.
#pragma once

#include "platform/base/list.h"
#include "platform/base/types.h"

enum WORK_QUEUE_TYPE {
    CriticalWorkQueue = 0,
    DelayedWorkQueue = 1,
    HyperCriticalWorkQueue = 2,
    NormalWorkQueue = 3,
    BackgroundWorkQueue = 4,
    RealTimeWorkQueue = 5,
    SuperCriticalWorkQueue = 6,
    MaximumWorkQueue = 7,
};

using PWORKER_THREAD_ROUTINE = void (*)(PVOID parameter);

struct WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID volatile Parameter;
};
static_assert(sizeof(WORK_QUEUE_ITEM) == 32);
static_assert(offsetof(WORK_QUEUE_ITEM, WorkerRoutine) == 16);
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine, PVOID parameter) {
    item->WorkerRoutine = routine;
    item->Parameter = parameter;
    item->List.Flink = nullptr;  // not queued
    item->List.Blink = nullptr;
}

// IRQL <= DISPATCH_LEVEL. Queuing an item that is still queued is a
// verifier stop.
extern "C" void ExQueueWorkItem(PWORK_QUEUE_ITEM workItem, WORK_QUEUE_TYPE queueType);

// The kernel executive as drivers see it (the wdm.h subset the package uses).
#pragma once

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/dpc.h"
#include "platform/kernel/interlocked.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/lookaside.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/spinlock.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/time.h"
#include "platform/kernel/workitem.h"
#include "platform/trace/debug.h"
#include "platform/trace/trace.h"

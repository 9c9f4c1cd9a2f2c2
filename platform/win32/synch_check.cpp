// <windows.h>'s synchronisation records and constants against the numbers
// platform/win32/synch.h asserts.
#include <windows.h>

#include <cstddef>

#include "platform/win32/synch_layout.h"

static_assert(sizeof(SECURITY_ATTRIBUTES) == OVU_SECURITY_ATTRIBUTES_SIZE);
static_assert(offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == OVU_SECURITY_ATTRIBUTES_INHERIT);
static_assert(sizeof(CRITICAL_SECTION) == OVU_CRITICAL_SECTION_SIZE);
static_assert(offsetof(CRITICAL_SECTION, LockCount) == OVU_CRITICAL_SECTION_LOCK_COUNT);
static_assert(offsetof(CRITICAL_SECTION, RecursionCount) == OVU_CRITICAL_SECTION_RECURSION_COUNT);
static_assert(offsetof(CRITICAL_SECTION, OwningThread) == OVU_CRITICAL_SECTION_OWNING_THREAD);
static_assert(offsetof(CRITICAL_SECTION, SpinCount) == OVU_CRITICAL_SECTION_SPIN_COUNT);
static_assert(INFINITE == OVU_INFINITE);
static_assert(WAIT_ABANDONED_0 == OVU_WAIT_ABANDONED_0);
static_assert(WAIT_IO_COMPLETION == OVU_WAIT_IO_COMPLETION);
static_assert(WAIT_TIMEOUT == OVU_WAIT_TIMEOUT);
static_assert(WAIT_FAILED == OVU_WAIT_FAILED);
static_assert(EVENT_MODIFY_STATE == OVU_EVENT_MODIFY_STATE);
static_assert(EVENT_ALL_ACCESS == OVU_EVENT_ALL_ACCESS);
static_assert(SYNCHRONIZE == OVU_SYNCHRONIZE);
static_assert(MUTEX_ALL_ACCESS == OVU_MUTEX_ALL_ACCESS);

// <windows.h>'s thread constants against the numbers
// platform/win32/process.h asserts.
#include <windows.h>

#include "platform/win32/process_layout.h"

static_assert(CREATE_SUSPENDED == OVU_CREATE_SUSPENDED);
static_assert(STACK_SIZE_PARAM_IS_A_RESERVATION == OVU_STACK_SIZE_PARAM_IS_A_RESERVATION);
static_assert(STILL_ACTIVE == OVU_STILL_ACTIVE);

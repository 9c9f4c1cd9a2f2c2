// The multimedia timer's clock (timeapi.h): milliseconds since the system
// started, the time stamp of the ASIO driver's buffer switches.
#pragma once

#include "platform/base/types.h"

extern "C" DWORD timeGetTime();

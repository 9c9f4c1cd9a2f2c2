// The hardware ids of the devices the user-mode deliverables serve.
#pragma once

#include "platform/base/types.h"

inline constexpr PCWSTR SupportedHardwareIds[] = {u"USB\\VID_7A3C&PID_0B51&MI_00"};

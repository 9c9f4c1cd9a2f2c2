// Tracing of the streaming engine, through the driver's one provider.
#pragma once

#include "driver/core/usb_trace.h"

inline constexpr ULONG TRACE_FLAG_ENGINE = 0x00000008;

#define ENGINE_TRACE(level, ...) OVU_TRACE(g_DriverTrace, (level), TRACE_FLAG_ENGINE, __VA_ARGS__)

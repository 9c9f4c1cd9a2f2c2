// The driver's one event-tracing provider. Driver entry registers it; until
// then every trace through it is a single load and compare.
#pragma once

#include "platform/trace/trace.h"

// {4E1B6C2A-93D7-4F0E-A8C5-2B7D1E6F9A30}
inline TRACE_PROVIDER g_DriverTrace = {
    "ovuac2audio",
    {0x4e1b6c2a, 0x93d7, 0x4f0e, {0xa8, 0xc5, 0x2b, 0x7d, 0x1e, 0x6f, 0x9a, 0x30}},
    0,
    0,
    nullptr,
};

// Trace flags of the driver's components.
inline constexpr ULONG TRACE_FLAG_USB = 0x00000001;     // request layer
inline constexpr ULONG TRACE_FLAG_MODEL = 0x00000002;   // descriptor model
inline constexpr ULONG TRACE_FLAG_FILTER = 0x00000004;  // filter description, node properties

#define USB_TRACE(level, ...) OVU_TRACE(g_DriverTrace, (level), TRACE_FLAG_USB, __VA_ARGS__)
#define MODEL_TRACE(level, ...) OVU_TRACE(g_DriverTrace, (level), TRACE_FLAG_MODEL, __VA_ARGS__)
#define FILTER_TRACE(level, ...) OVU_TRACE(g_DriverTrace, (level), TRACE_FLAG_FILTER, __VA_ARGS__)

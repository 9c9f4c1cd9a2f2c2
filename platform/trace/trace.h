// Event tracing: one facility for kernel and user mode.
//
// These are the package's own calls, not Windows functions: a Windows
// backend implements them over EtwRegister / EtwWriteString (the driver) and
// EventRegister / EventWriteString (the user-mode deliverables), each of
// which registers its provider at load and unregisters it at unload.
//
// A component registers a provider record (a name and a GUID) and traces
// through OVU_TRACE with a level and flags. The record carries the level and
// flags that are enabled for it, so a disabled trace costs one load and one
// compare, and its arguments are never evaluated.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"

inline constexpr UCHAR TRACE_LEVEL_NONE = 0;
inline constexpr UCHAR TRACE_LEVEL_CRITICAL = 1;
inline constexpr UCHAR TRACE_LEVEL_FATAL = 1;
inline constexpr UCHAR TRACE_LEVEL_ERROR = 2;
inline constexpr UCHAR TRACE_LEVEL_WARNING = 3;
inline constexpr UCHAR TRACE_LEVEL_INFORMATION = 4;
inline constexpr UCHAR TRACE_LEVEL_VERBOSE = 5;

// Usually a static of the component. Name and Guid are set by the component;
// the rest belongs to the tracing facility.
struct TRACE_PROVIDER {
    const char* Name;
    GUID Guid;
    volatile UCHAR EnabledLevel;  // 0: off
    volatile ULONG EnabledFlags;
    PVOID Session;
};
static_assert(offsetof(TRACE_PROVIDER, Guid) == 8);

// Registers `provider` with the calling machine's tracing; the level and
// flags enabled for its name (or for all providers) apply from then on.
// STATUS_INVALID_PARAMETER when it is registered already.
NTSTATUS TraceRegisterProvider(TRACE_PROVIDER* provider);
void TraceUnregisterProvider(TRACE_PROVIDER* provider);

// True when a trace at `level` with `flags` would be recorded: the level is
// at most the enabled level and the flags (when any) meet the enabled flags.
inline bool TraceIsEnabled(const TRACE_PROVIDER* provider, UCHAR level, ULONG flags) {
    const UCHAR enabled = __atomic_load_n(&provider->EnabledLevel, __ATOMIC_RELAXED);
    if (level == 0 || level > enabled) return false;
    return flags == 0 || (__atomic_load_n(&provider->EnabledFlags, __ATOMIC_RELAXED) & flags) != 0;
}

// Records one formatted line (printf conventions). Prefer OVU_TRACE.
void TraceFormatted(TRACE_PROVIDER* provider, UCHAR level, ULONG flags, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define OVU_TRACE(provider, level, flags, ...)                                          \
    do {                                                                                \
        if (TraceIsEnabled(&(provider), (level), (flags)))                              \
            TraceFormatted(&(provider), (level), (flags), __VA_ARGS__);                   \
    } while (0)

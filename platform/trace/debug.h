// Debugger output: kernel DbgPrint and user-mode OutputDebugString. The
// debugger sees the text exactly as formatted, with no decoration.
#pragma once

#include "platform/base/types.h"

using PCSTR = const char*;

// Returns STATUS_SUCCESS.
extern "C" ULONG DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));

// Component filtering as on Windows: levels 0-31 are bit numbers, larger
// values are masks; DPFLTR_ERROR_LEVEL reaches the debugger by default, the
// other levels only when the component's mask enables them.
inline constexpr ULONG DPFLTR_IHVDRIVER_ID = 77;
inline constexpr ULONG DPFLTR_IHVAUDIO_ID = 80;
inline constexpr ULONG DPFLTR_ERROR_LEVEL = 0;
inline constexpr ULONG DPFLTR_WARNING_LEVEL = 1;
inline constexpr ULONG DPFLTR_TRACE_LEVEL = 2;
inline constexpr ULONG DPFLTR_INFO_LEVEL = 3;
inline constexpr ULONG DPFLTR_MASK = 0x80000000;
extern "C" ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) __attribute__((format(printf, 3, 4)));

extern "C" void OutputDebugStringA(PCSTR outputString);
// UTF-16; the captured text is UTF-8.
extern "C" void OutputDebugStringW(PCWSTR outputString);

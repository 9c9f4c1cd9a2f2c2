// Interrupt request levels. The IRQL belongs to the calling thread: raising
// it to DISPATCH_LEVEL forbids waiting and paged memory until it is lowered.
#pragma once

#include "platform/base/types.h"

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;

inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL LOW_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL CLOCK_LEVEL = 13;
inline constexpr KIRQL HIGH_LEVEL = 15;

// The processor mode a request or a wait comes from (KPROCESSOR_MODE).
using KPROCESSOR_MODE = CHAR;
enum MODE { KernelMode = 0, UserMode = 1, MaximumMode = 2 };

extern "C" KIRQL KeGetCurrentIrql();

// Raises to `newIrql` and returns the previous level; raising to a lower
// level is a verifier stop.
extern "C" KIRQL KfRaiseIrql(KIRQL newIrql);
inline void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) { *oldIrql = KfRaiseIrql(newIrql); }
extern "C" KIRQL KeRaiseIrqlToDpcLevel();

// Lowers to `newIrql`; lowering to a higher level is a verifier stop.
extern "C" void KeLowerIrql(KIRQL newIrql);

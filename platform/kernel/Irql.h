// Interrupt request levels. Every simulated thread has its own IRQL; event and DPC callbacks run
// at DISPATCH_LEVEL on the thread that delivers them.
#pragma once

#include "KernelTypes.h"

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL LOW_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 31;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

namespace plat {
// Fails loudly when the current IRQL is above max; `what` names the routine.
void CheckIrqlAtMost(KIRQL max, const char* what);
}  // namespace plat

// Routines in pageable sections may run only at or below APC_LEVEL.
#define PAGED_CODE() ::plat::CheckIrqlAtMost(APC_LEVEL, __func__)

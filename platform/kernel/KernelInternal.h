// Shared between the stand-in's own sources; kernel code never includes it.
#pragma once

#include "Scheduler.h"

namespace plat {
KIRQL& CurrentIrqlRef();
// A deadline for a Windows time-out: null stays null, negative is relative, positive absolute.
bool DeadlineFromTimeout(const LARGE_INTEGER* timeout, VTime* deadline);
// Virtual time 0 in the 100-ns units of KeQuerySystemTime (1 January 2026).
constexpr LONGLONG kBootSystemTime = 134115552000000000LL;
}  // namespace plat

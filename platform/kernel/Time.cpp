#include "platform/kernel/Time.h"

#include "platform/kernel/KernelInternal.h"
#include "platform/kernel/Verifier.h"

using plat::Scheduler;

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = plat::kBootSystemTime + plat::ToKernelUnits(Scheduler::Current().Now());
}

ULONGLONG KeQueryInterruptTime() { return static_cast<ULONGLONG>(plat::ToKernelUnits(Scheduler::Current().Now())); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = kPerformanceFrequency;
  LARGE_INTEGER now;
  now.QuadPart = Scheduler::Current().Now() / (plat::kNsPerSecond / kPerformanceFrequency);
  return now;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  // A stall is a busy wait: long ones are a driver bug, and at DISPATCH_LEVEL anything over 50 us
  // keeps the processor from its DPCs, as Driver Verifier reports.
  if (MicroSeconds > 50000) plat::Violation("KeStallExecutionProcessor for more than 50 ms");
  if (MicroSeconds > 50 && KeGetCurrentIrql() >= DISPATCH_LEVEL)
    plat::Violation("KeStallExecutionProcessor for more than 50 us at DISPATCH_LEVEL");
  Scheduler::Current().Stall(static_cast<plat::VTime>(MicroSeconds) * 1000);
}

ULONG KeQueryTimeIncrement() { return 156250; }

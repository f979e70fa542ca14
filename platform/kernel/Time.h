// Time on the virtual clock.
#pragma once

#include "KernelTypes.h"

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);       // 100 ns since 1601
ULONGLONG KeQueryInterruptTime();                          // 100 ns since boot
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
void KeStallExecutionProcessor(ULONG MicroSeconds);
ULONG KeQueryTimeIncrement();

// The performance counter runs at 10 MHz.
constexpr LONGLONG kPerformanceFrequency = 10000000;

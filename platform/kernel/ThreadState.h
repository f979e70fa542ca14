// What each thread keeps for itself: its IRQL, last error, critical regions and the rest. A
// simulated thread's lives in the scheduler's record of it, which the scheduler makes current at
// every switch; outside a simulated thread it is the real thread's own.
#pragma once

#include <cstdint>

namespace plat {

struct ThreadState {
  uint8_t irql = 0;                  // a KIRQL; PASSIVE_LEVEL to begin with
  int catchingViolations = 0;        // depth of ExpectViolation
  int criticalRegions = 0;           // KeEnterCriticalRegion less KeLeaveCriticalRegion
  uint32_t lastError = 0;            // a program's GetLastError
  void* threadObject = nullptr;      // the process's thread object, for a thread of a program
};

// The current one; null on a real thread no scheduler has switched, which then has its own.
// Initial-exec: see ThreadState.cpp.
[[gnu::tls_model("initial-exec")]] extern thread_local constinit ThreadState* tlCurrentThreadState;
ThreadState& OwnThreadState();

// Inline: every IRQL change and check of the kernel stand-in asks for it.
inline ThreadState& CurrentThreadState() {
  ThreadState* state = tlCurrentThreadState;
  return state != nullptr ? *state : OwnThreadState();
}
// The scheduler's switch: `state` becomes the current one; null gives the real thread its own back.
void SetCurrentThreadState(ThreadState* state);

}  // namespace plat

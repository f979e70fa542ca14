// What passing the processor costs between simulated threads: a wake (the host signals an event
// a thread waits on, which runs and waits again) and a hand-off (two threads signal each other in
// turn, each waking the other and waiting for its answer).
#include <benchmark/benchmark.h>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Sync.h"

namespace {

constexpr int kRallies = 64;  // hand-offs of one benchmark iteration, each way

bool Waited(KEVENT& event) {
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
}

void BM_WakeOfAWaitingThread(benchmark::State& state) {
  plat::Scheduler sched;
  KEVENT wake;
  KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
  int64_t woken = 0;
  sched.Spawn("waiter", [&] {
    while (Waited(wake)) ++woken;
  }, true);
  sched.RunUntilIdle();
  for (auto _ : state) {
    KeSetEvent(&wake, 0, FALSE);
    sched.RunUntilIdle();
  }
  if (woken != state.iterations()) state.SkipWithError("a wake was lost");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WakeOfAWaitingThread);

void BM_HandOffBetweenTwoThreads(benchmark::State& state) {
  plat::Scheduler sched;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  int remaining = 0;
  sched.Spawn("ping", [&] {
    while (Waited(ping)) KeSetEvent(&pong, 0, FALSE);
  }, true);
  sched.Spawn("pong", [&] {
    while (Waited(pong))
      if (--remaining > 0) KeSetEvent(&ping, 0, FALSE);
  }, true);
  sched.RunUntilIdle();
  for (auto _ : state) {
    remaining = kRallies;
    KeSetEvent(&ping, 0, FALSE);
    sched.RunUntilIdle();
  }
  if (remaining != 0) state.SkipWithError("the rally stopped early");
  state.SetItemsProcessed(state.iterations() * 2 * kRallies);
}
BENCHMARK(BM_HandOffBetweenTwoThreads);

}  // namespace

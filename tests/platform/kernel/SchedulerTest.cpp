#include "platform/kernel/Scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>

#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"
#include "tests/support/Seeds.h"

namespace {

using plat::kNsPerMs;
using plat::kNsPerSecond;
using plat::Scheduler;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Scheduler, TimeMovesOnlyToTheNextEventWhenNothingCanRun) {
  Scheduler s;
  bool done = false;
  s.Spawn("sleeper", [&] {
    LARGE_INTEGER t = RelativeMs(10);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    done = true;
  });
  s.RunUntil(5 * kNsPerMs);
  EXPECT_FALSE(done);
  EXPECT_EQ(s.Now(), 5 * kNsPerMs);
  s.RunUntil([&] { return done; }, 100 * kNsPerMs);
  EXPECT_TRUE(done);
  EXPECT_EQ(s.Now(), 10 * kNsPerMs);
}

TEST(Scheduler, EventsRunInTimeOrderAndInInsertionOrderAtOneTime) {
  Scheduler s;
  std::string order;
  s.At(20, [&] { order += 'c'; });
  s.At(10, [&] { order += 'a'; });
  s.At(10, [&] { order += 'b'; });
  uint64_t cancelled = s.At(15, [&] { order += 'x'; });
  EXPECT_TRUE(s.Cancel(cancelled));
  s.RunUntil(100);
  EXPECT_EQ(order, "abc");
}

TEST(Scheduler, EventsRunAtTheirIrql) {
  Scheduler s;
  KIRQL atDispatch = 0xFF, atPassive = 0xFF;
  s.After(1, [&] { atDispatch = KeGetCurrentIrql(); });
  s.After(2, [&] { atPassive = KeGetCurrentIrql(); }, PASSIVE_LEVEL);
  s.RunFor(10);
  EXPECT_EQ(atDispatch, DISPATCH_LEVEL);
  EXPECT_EQ(atPassive, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Scheduler, HostWaitPumpsUntilAThreadSignals) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  s.Spawn("signaller", [&] {
    LARGE_INTEGER t = RelativeMs(3);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(s.Now(), 3 * kNsPerMs);
}

TEST(Scheduler, HostWaitingWithNothingToRunIsCaught) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  std::string what = plat::ExpectViolation([&] { KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr); });
  EXPECT_NE(what.find("waits for ever"), std::string::npos) << what;
}

TEST(Scheduler, PassiveEventsWaitUntilTheHostIsNoLongerWaiting) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  bool stepRan = false;
  s.After(kNsPerMs, [&] { stepRan = true; }, PASSIVE_LEVEL);
  s.After(5 * kNsPerMs, [&] { KeSetEvent(&ev, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(s.Now(), 5 * kNsPerMs);
  EXPECT_FALSE(stepRan);
  s.RunUntilIdle();
  EXPECT_TRUE(stepRan);
}

TEST(Scheduler, ReadyThreadsRunInTheOrderTheyBecameReady) {
  Scheduler s;
  std::string order;
  for (char c : std::string("abc"))
    s.Spawn(std::string(1, c), [&order, c] {
      order += c;
      ZwYieldExecution();
      order += static_cast<char>(c - 32);
    });
  s.RunUntilIdle();
  EXPECT_EQ(order, "abcABC");
  EXPECT_EQ(s.LiveThreads(), 0u);
}

// A scenario with threads, timed waits, events and DPCs; its trace must not depend on the run.
uint64_t RunScenario(std::vector<std::string>* trace) {
  Scheduler s;
  s.KeepTrace(true);
  KEVENT go;
  KeInitializeEvent(&go, SynchronizationEvent, FALSE);
  int counter = 0;
  for (int i = 0; i < 4; ++i) {
    s.Spawn("worker" + std::to_string(i), [&, i] {
      for (int round = 0; round < 5; ++round) {
        LARGE_INTEGER t = RelativeMs(1 + i);
        if (KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS) counter += 10;
        s.Note("worker" + std::to_string(i) + " round " + std::to_string(round) + " " + std::to_string(counter));
      }
    });
  }
  for (int k = 1; k <= 20; ++k) s.At(k * 700000, [&] { KeSetEvent(&go, IO_NO_INCREMENT, FALSE); });
  s.RunFor(50 * kNsPerMs);
  *trace = s.TraceLog();
  return s.TraceHash();
}

TEST(Scheduler, OneScenarioRunTwiceGivesTheSameTrace) {
  std::vector<std::string> first, second;
  uint64_t h1 = RunScenario(&first);
  uint64_t h2 = RunScenario(&second);
  EXPECT_GT(first.size(), 40u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(h1, h2);
}

TEST(Scheduler, ShutdownParksThreadsThatStillWaitWithoutUnwindingThem) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  bool passedWait = false;
  bool unwound = false;
  struct Guard {
    bool* unwound;
    ~Guard() { *unwound = true; }
  };
  {
    Scheduler s;
    s.Spawn("stuck", [&] {
      Guard guard{&unwound};
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      passedWait = true;
    });
    s.RunUntilIdle();
    s.Spawn("never ran", [] { FAIL() << "a thread that never ran was started at shutdown"; });
    EXPECT_EQ(s.LiveThreads(), 2u);
  }
  EXPECT_FALSE(passedWait);
  EXPECT_FALSE(unwound);
  EXPECT_EQ(Scheduler::TakeAbandonedThreads(), std::vector<std::string>{"stuck"});
}

// Threads switch on one real thread: what each keeps for itself must not follow the switch.
TEST(Scheduler, EachThreadKeepsItsOwnIrqlAcrossSwitchesUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Scheduler s;
    s.SetSeed(seed);
    std::vector<KIRQL> raisedSaw, passiveSaw;
    s.Spawn("raised", [&] {
      KIRQL old;
      KeRaiseIrql(APC_LEVEL, &old);
      for (int i = 0; i < 5; ++i) {
        ZwYieldExecution();
        raisedSaw.push_back(KeGetCurrentIrql());
      }
      KeLowerIrql(old);
    });
    s.Spawn("passive", [&] {
      for (int i = 0; i < 5; ++i) {
        ZwYieldExecution();
        passiveSaw.push_back(KeGetCurrentIrql());
      }
    });
    s.RunUntilIdle();
    EXPECT_EQ(raisedSaw, std::vector<KIRQL>(5, APC_LEVEL));
    EXPECT_EQ(passiveSaw, std::vector<KIRQL>(5, PASSIVE_LEVEL));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
}

TEST(Scheduler, AThreadsViolationIsLoudWhileTheHostCatchesItsOwn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Scheduler s;
        s.Spawn("faulty", [] { plat::Violation("the thread's own fault"); });
        plat::ExpectViolation([&] { s.RunUntilIdle(); });
      },
      "VERIFIER VIOLATION: the thread's own fault");
}

TEST(Scheduler, AThreadCatchesItsOwnViolationWhileOthersRun) {
  Scheduler s;
  std::string caught;
  s.Spawn("catcher", [&] {
    caught = plat::ExpectViolation([] {
      ZwYieldExecution();
      plat::Violation("expected here");
    });
  });
  s.Spawn("bystander", [] { ZwYieldExecution(); });
  s.RunUntilIdle();
  EXPECT_EQ(caught, "expected here");
}

// Each thread runs on a stack of its own with a guard page below it: running off its end stops
// the program at once instead of writing over whatever lies there.
int Deeper(int depth) {
  if (depth == INT_MAX) return 0;
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return depth + Deeper(depth + 1) + frame[0];
}

TEST(Scheduler, AThreadRunningOffItsStackHitsTheGuard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Scheduler s;
        s.Spawn("deep", [] { std::printf("%d\n", Deeper(0)); });
        s.RunUntilIdle();
      },
      "");
}

TEST(Scheduler, ASystemThreadIdleAtShutdownEndsCleanly) {
  {
    Scheduler s;
    KSEMAPHORE work;
    KeInitializeSemaphore(&work, 0, 10);
    s.Spawn("worker", [&] {
      while (KeWaitForSingleObject(&work, Executive, KernelMode, FALSE, nullptr) != STATUS_THREAD_IS_TERMINATING) {
      }
    }, true);
    s.RunUntilIdle();
  }
  EXPECT_TRUE(Scheduler::TakeAbandonedThreads().empty());
}

TEST(Scheduler, AStallLetsTheRestOfTheMachineRun) {
  Scheduler s;
  bool completed = false;
  plat::VTime seenAt = -1;
  s.After(kNsPerMs, [&] { completed = true; });
  std::vector<plat::VTime> ticks;
  std::function<void()> tick = [&] {
    ticks.push_back(s.Now());
    if (ticks.size() < 200) s.After(125000, tick);
  };
  s.After(0, tick);
  s.Spawn("staller", [&] {
    for (int i = 0; i < 4 && seenAt < 0; ++i) {
      KeStallExecutionProcessor(5000);
      if (completed) seenAt = s.Now();
    }
    for (int i = 0; i < 3; ++i) KeStallExecutionProcessor(5000);
  });
  s.RunUntil([&] { return s.LiveThreads() == 0; }, kNsPerSecond);
  EXPECT_EQ(seenAt, 5 * kNsPerMs);
  EXPECT_EQ(s.Now(), 20 * kNsPerMs);
  s.RunFor(kNsPerSecond);
  ASSERT_EQ(ticks.size(), 200u);
  for (size_t i = 0; i < ticks.size(); ++i) EXPECT_EQ(ticks[i], static_cast<plat::VTime>(i) * 125000);
}

TEST(Scheduler, TheHostStallingStillRunsEventsAndThreads) {
  Scheduler s;
  bool ran = false;
  bool threadRan = false;
  s.After(1000, [&] { ran = true; });
  s.Spawn("other", [&] { threadRan = true; });
  KeStallExecutionProcessor(5);
  EXPECT_EQ(s.Now(), 5000);
  EXPECT_TRUE(ran);
  EXPECT_TRUE(threadRan);
}

struct StallingDpc {
  KDPC self;
  KDPC other;
  bool otherRan = false;
  bool eventRanInStall = false;
  bool eventRan = false;
};

TEST(Scheduler, ADpcThatStallsLetsEventsAndOtherDpcsRunMeanwhile) {
  Scheduler s;
  StallingDpc d;
  KeInitializeDpc(&d.other, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<StallingDpc*>(c)->otherRan = true; }, &d);
  KeInitializeDpc(&d.self, [](PKDPC, PVOID c, PVOID, PVOID) {
    auto* d = static_cast<StallingDpc*>(c);
    KeInsertQueueDpc(&d->other, nullptr, nullptr);
    KeStallExecutionProcessor(40);
    d->eventRanInStall = d->eventRan && d->otherRan;
  }, &d);
  s.After(10000, [&] { d.eventRan = true; });
  KeInsertQueueDpc(&d.self, nullptr, nullptr);
  EXPECT_TRUE(d.eventRanInStall);
  EXPECT_EQ(s.Now(), 40000);
}

TEST(Scheduler, AStallOver50MicrosecondsAtDispatchLevelIsCaught) {
  Scheduler s;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeStallExecutionProcessor(50);
  std::string what = plat::ExpectViolation([] { KeStallExecutionProcessor(51); });
  KeLowerIrql(old);
  EXPECT_NE(what.find("50 us"), std::string::npos) << what;
}

TEST(Scheduler, RealTimePacesIdleVirtualTimeToTheWallClock) {
  Scheduler s;
  s.SetRealTime(true);
  auto start = std::chrono::steady_clock::now();
  s.RunFor(20 * kNsPerMs);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(Scheduler, PerformanceCounterAndSystemTimeFollowTheVirtualClock) {
  Scheduler s;
  LARGE_INTEGER freq;
  LARGE_INTEGER t0 = KeQueryPerformanceCounter(&freq);
  LARGE_INTEGER sys0;
  KeQuerySystemTime(&sys0);
  s.RunFor(kNsPerSecond);
  LARGE_INTEGER t1 = KeQueryPerformanceCounter(nullptr);
  LARGE_INTEGER sys1;
  KeQuerySystemTime(&sys1);
  EXPECT_EQ(t1.QuadPart - t0.QuadPart, freq.QuadPart);
  EXPECT_EQ(sys1.QuadPart - sys0.QuadPart, 10000000);
}

}  // namespace

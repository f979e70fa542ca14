// Seeded interleavings: processors overtake each other at preemption points, spin locks really
// exclude, deadlocks are named, and a seed always gives the same order.
#include <gtest/gtest.h>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"
#include "tests/support/Seeds.h"

namespace {

using plat::Scheduler;

constexpr LONG kRounds = 20;

// A DPC and a thread each bump a shared counter kRounds times, reading and writing it around a
// preemption point, with or without a spin lock.
struct Counter {
  bool locked = false;
  KSPIN_LOCK lock = 0;
  LONG value = 0;
  LONG touches = 0;

  void Bump() {
    for (LONG i = 0; i < kRounds; ++i) {
      KIRQL old = PASSIVE_LEVEL;
      if (locked) KeAcquireSpinLock(&lock, &old);
      LONG seen = value;
      InterlockedIncrement(&touches);
      value = seen + 1;
      if (locked) KeReleaseSpinLock(&lock, old);
    }
  }
};

LONG RunCounter(uint64_t seed, bool locked, uint64_t* traceHash = nullptr) {
  Scheduler s;
  s.SetProcessors(2);
  s.SetSeed(seed);
  Counter c;
  c.locked = locked;
  KeInitializeSpinLock(&c.lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<Counter*>(context)->Bump(); }, &c);
  s.Spawn("bumper", [&c] { c.Bump(); });
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  s.RunUntilIdle();
  if (traceHash != nullptr) *traceHash = s.TraceHash();
  return c.value;
}

TEST(Interleaving, AnUnlockedCounterLosesUpdatesUnderSomeSeedAndALockedOneNever) {
  int lossy = 0;
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    EXPECT_EQ(RunCounter(seed, true), 2 * kRounds);
    if (RunCounter(seed, false) != 2 * kRounds) ++lossy;
  }
  if (qxtest::InterleavingSeeds().size() > 1) {
    EXPECT_GT(lossy, 0) << "no seed let the DPC overtake the thread";
  }
  EXPECT_EQ(RunCounter(0, false), 2 * kRounds) << "seed 0 runs first in, first out";
}

TEST(Interleaving, OneSeedAlwaysGivesTheSameTrace) {
  for (uint64_t seed : {0ull, 3ull, 11ull}) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    uint64_t first = 0, second = 0;
    LONG a = RunCounter(seed, false, &first);
    LONG b = RunCounter(seed, false, &second);
    EXPECT_EQ(a, b);
    EXPECT_EQ(first, second);
  }
}

struct Pair {
  KSPIN_LOCK first = 0;
  KSPIN_LOCK second = 0;
  LONG step = 0;
};

void TakeBoth(PKSPIN_LOCK a, PKSPIN_LOCK b, LONG* step) {
  KIRQL old;
  KeAcquireSpinLock(a, &old);
  InterlockedIncrement(step);
  KeAcquireSpinLockAtDpcLevel(b);
  KeReleaseSpinLockFromDpcLevel(b);
  KeReleaseSpinLock(a, old);
}

TEST(Interleaving, TwoLocksTakenInOppositeOrdersDeadlockUnderSomeSeedWithBothHoldersNamed) {
  int deadlocks = 0;
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    std::string what;
    {
      Scheduler s;
      s.SetSeed(seed);
      Pair p;
      s.Spawn("alpha", [&p] { TakeBoth(&p.first, &p.second, &p.step); });
      s.Spawn("beta", [&p] { TakeBoth(&p.second, &p.first, &p.step); });
      what = plat::ExpectViolation([&] { s.RunUntilIdle(); });
      if (what.empty()) {
        EXPECT_EQ(s.LiveThreads(), 0u);
      }
    }
    std::vector<std::string> abandoned = Scheduler::TakeAbandonedThreads();
    if (what.empty()) continue;
    ++deadlocks;
    EXPECT_NE(what.find("deadlock"), std::string::npos) << what;
    EXPECT_NE(what.find("'alpha'"), std::string::npos) << what;
    EXPECT_NE(what.find("'beta'"), std::string::npos) << what;
    EXPECT_NE(what.find("interleaving seed " + std::to_string(seed)), std::string::npos) << what;
    EXPECT_EQ(abandoned.size(), 2u);
  }
  if (qxtest::InterleavingSeeds().size() > 1) {
    EXPECT_GT(deadlocks, 0);
  }
}

TEST(Interleaving, AThreadSpinningOnALockHeldByAStallingThreadRunsOnceItIsReleased) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Scheduler s;
    s.SetSeed(seed);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    plat::VTime tookAt = -1;
    s.Spawn("holder", [&] {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      for (int i = 0; i < 4; ++i) KeStallExecutionProcessor(50);
      KeReleaseSpinLock(&lock, old);
    });
    s.Spawn("spinner", [&] {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      tookAt = s.Now();
      KeReleaseSpinLock(&lock, old);
    });
    s.RunUntil([&] { return s.LiveThreads() == 0; }, plat::kNsPerMs);
    EXPECT_EQ(s.LiveThreads(), 0u);
    EXPECT_GE(tookAt, 0);
  }
}

}  // namespace

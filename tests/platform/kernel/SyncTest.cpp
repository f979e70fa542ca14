#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"

namespace {

using plat::ExpectViolation;
using plat::kNsPerMs;
using plat::Scheduler;

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}
LONGLONG ToUnits(plat::VTime ns) { return ns / 100; }
LARGE_INTEGER Zero() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

TEST(Events, SatisfiedWaitResetsASynchronizationEventButNotANotificationEvent) {
  Scheduler s;
  struct Case {
    EVENT_TYPE type;
    LONG stateAfterWait;
  };
  for (Case c : {Case{SynchronizationEvent, 0}, Case{NotificationEvent, 1}}) {
    KEVENT ev;
    KeInitializeEvent(&ev, c.type, TRUE);
    LARGE_INTEGER poll = Zero();
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ev), c.stateAfterWait);
  }
}

TEST(Events, SetWakesOneWaiterOfASynchronizationEventAndAllOfANotificationEvent) {
  for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
    Scheduler s;
    KEVENT ev;
    KeInitializeEvent(&ev, type, FALSE);
    int woken = 0;
    for (int i = 0; i < 3; ++i)
      s.Spawn("waiter", [&] {
        LARGE_INTEGER t = RelativeMs(100);
        if (KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS) ++woken;
      });
    s.RunUntilIdle();
    KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
    s.RunUntilIdle();
    EXPECT_EQ(woken, type == SynchronizationEvent ? 1 : 3);
    s.RunFor(200 * kNsPerMs);
  }
}

TEST(Waits, TimeOutOnVirtualTimeWithStatusTimeout) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  plat::VTime woke = 0;
  s.Spawn("waiter", [&] {
    LARGE_INTEGER t = RelativeMs(750);
    status = KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t);
    woke = s.Now();
  });
  s.RunFor(plat::kNsPerSecond);
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(woke, 750 * kNsPerMs);
}

TEST(Waits, ATimeOutInThePastRelativeOrAbsoluteTimesOutAtOnce) {
  constexpr LONGLONG kUnitsPerMs = 10000;
  // The machine has run 5 ms; the event is signalled 5 ms later.
  struct Case {
    const char* what;
    std::function<LONGLONG(LONGLONG now)> timeout;  // from the system time now
    NTSTATUS status;
    plat::VTime waited;  // virtual time the wait took
  } cases[] = {
      {"relative zero", [](LONGLONG) { return 0LL; }, STATUS_TIMEOUT, 0},
      {"absolute now", [](LONGLONG now) { return now; }, STATUS_TIMEOUT, 0},
      {"absolute a moment ago", [](LONGLONG now) { return now - 1; }, STATUS_TIMEOUT, 0},
      {"absolute before boot", [](LONGLONG now) { return now - ToUnits(plat::kNsPerSecond); }, STATUS_TIMEOUT, 0},
      {"absolute in 1601", [](LONGLONG) { return 1LL; }, STATUS_TIMEOUT, 0},
      {"relative 2 ms", [](LONGLONG) { return -2 * kUnitsPerMs; }, STATUS_TIMEOUT, 2 * kNsPerMs},
      {"absolute in 2 ms", [](LONGLONG now) { return now + 2 * kUnitsPerMs; }, STATUS_TIMEOUT, 2 * kNsPerMs},
      {"relative beyond the clock's range", [](LONGLONG) { return INT64_MIN; }, STATUS_SUCCESS, 5 * kNsPerMs},
      {"absolute beyond the clock's range", [](LONGLONG) { return INT64_MAX; }, STATUS_SUCCESS, 5 * kNsPerMs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scheduler s;
    s.RunFor(5 * kNsPerMs);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    s.After(5 * kNsPerMs, [&ev] { KeSetEvent(&ev, IO_NO_INCREMENT, FALSE); });
    NTSTATUS status = STATUS_PENDING;
    plat::VTime waited = -1;
    s.Spawn("waiter", [&] {
      LARGE_INTEGER t;
      KeQuerySystemTime(&t);
      t.QuadPart = c.timeout(t.QuadPart);
      plat::VTime from = s.Now();
      status = KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t);
      waited = s.Now() - from;
    });
    s.RunFor(20 * kNsPerMs);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(waited, c.waited);
  }
}

TEST(Waits, ADelayOrATimerDueInThePastEndsAtOnce) {
  struct Case {
    const char* what;
    std::function<LONGLONG(LONGLONG now)> due;
  } cases[] = {
      {"relative zero", [](LONGLONG) { return 0LL; }},
      {"absolute a moment ago", [](LONGLONG now) { return now - 1; }},
      {"absolute in 1601", [](LONGLONG) { return 1LL; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scheduler s;
    s.RunFor(5 * kNsPerMs);
    plat::VTime delayed = -1;
    s.Spawn("delayer", [&] {
      LARGE_INTEGER t;
      KeQuerySystemTime(&t);
      t.QuadPart = c.due(t.QuadPart);
      plat::VTime from = s.Now();
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      delayed = s.Now() - from;
    });
    s.RunUntilIdle();
    EXPECT_EQ(delayed, 0);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    t.QuadPart = c.due(t.QuadPart);
    KeSetTimer(&timer, t, nullptr);
    s.RunUntilIdle();
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(s.Now(), 5 * kNsPerMs);
  }
}

TEST(Waits, OnlyAZeroTimeOutMayWaitAtDispatchLevel) {
  Scheduler s;
  s.RunFor(kNsPerMs);
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 1;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero = Zero();
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  std::string v = ExpectViolation([&] { KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &past); });
  EXPECT_NE(v.find("without a zero time-out"), std::string::npos) << v;
  PVOID objects[] = {&ev};
  v = ExpectViolation([&] {
    KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &past, nullptr);
  });
  EXPECT_NE(v.find("without a zero time-out"), std::string::npos) << v;
  KeLowerIrql(old);
}

TEST(Waits, WaitAnyReportsTheIndexOfTheSignalledObject) {
  Scheduler s;
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, NotificationEvent, TRUE);
  PVOID objects[] = {&a, &b};
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
}

TEST(Irql, ViolationsAreCaught) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  struct Case {
    const char* name;
    std::function<void()> act;
  };
  Case cases[] = {
      {"wait at DISPATCH_LEVEL",
       [&] {
         LARGE_INTEGER t = RelativeMs(1);
         KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t);
       }},
      {"paged pool at DISPATCH_LEVEL", [&] { ExAllocatePoolWithTag(PagedPool, 8, plat::PoolTag("Test")); }},
      {"PAGED_CODE at DISPATCH_LEVEL", [&] { PAGED_CODE(); }},
      {"fast mutex at DISPATCH_LEVEL",
       [&] {
         FAST_MUTEX m;
         ExInitializeFastMutex(&m);
         ExAcquireFastMutex(&m);
       }},
  };
  for (auto& c : cases) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(ExpectViolation(c.act).empty()) << c.name;
    KeLowerIrql(old);
  }
}

TEST(Irql, PollingWaitIsAllowedAtDispatchLevelAndPagedCodeAtApcLevel) {
  Scheduler s;
  KEVENT ev;
  KeInitializeEvent(&ev, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_TRUE(ExpectViolation([] { PAGED_CODE(); }).empty());
  KeLowerIrql(old);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER poll = Zero();
  EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  KeLowerIrql(old);
}

TEST(SpinLocks, RaiseToDispatchAndRestore) {
  Scheduler s;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(SpinLocks, ReleasingALockNotHeldOrTakingItTwiceIsCaught) {
  Scheduler s;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_NE(ExpectViolation([&] { KeReleaseSpinLockFromDpcLevel(&lock); }).find("not held"), std::string::npos);
  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_NE(ExpectViolation([&] { KeAcquireSpinLockAtDpcLevel(&lock); }).find("twice"), std::string::npos);
  KeReleaseSpinLockFromDpcLevel(&lock);
  KeLowerIrql(old);
}

TEST(Mutexes, KernelMutexIsRecursiveAndBlocksOtherThreads) {
  Scheduler s;
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  bool otherHasIt = false;
  s.Spawn("other", [&] {
    KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
    otherHasIt = true;
    KeReleaseMutex(&m, FALSE);
  });
  s.RunUntilIdle();
  EXPECT_FALSE(otherHasIt);
  KeReleaseMutex(&m, FALSE);
  s.RunUntilIdle();
  EXPECT_FALSE(otherHasIt);
  KeReleaseMutex(&m, FALSE);
  s.RunUntilIdle();
  EXPECT_TRUE(otherHasIt);
  EXPECT_FALSE(ExpectViolation([&] { KeReleaseMutex(&m, FALSE); }).empty());
}

TEST(Mutexes, FastMutexHoldsApcLevelAndSerialises) {
  Scheduler s;
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  std::string order;
  for (char c : std::string("ab"))
    s.Spawn(std::string(1, c), [&, c] {
      ExAcquireFastMutex(&m);
      EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
      order += c;
      LARGE_INTEGER t = RelativeMs(1);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      order += c;
      ExReleaseFastMutex(&m);
    });
  s.RunFor(10 * kNsPerMs);
  EXPECT_EQ(order, "aabb");
}

TEST(Dpcs, RunAtDispatchLevelOnceWhenQueuedTwice) {
  Scheduler s;
  struct Ctx {
    int runs = 0;
    KIRQL irql = 0;
  } ctx;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
    auto* x = static_cast<Ctx*>(c);
    x->runs++;
    x->irql = KeGetCurrentIrql();
  }, &ctx);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_EQ(ctx.runs, 0);
  KeLowerIrql(old);  // dropping below DISPATCH_LEVEL delivers it
  EXPECT_EQ(ctx.runs, 1);
  EXPECT_EQ(ctx.irql, DISPATCH_LEVEL);
}

TEST(Timers, FireTheirDpcAndSignalAtTheDueTime) {
  Scheduler s;
  KTIMER timer;
  KeInitializeTimer(&timer);
  plat::VTime firedAt = -1;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { *static_cast<plat::VTime*>(c) = Scheduler::Current().Now(); },
                  &firedAt);
  KeSetTimer(&timer, RelativeMs(5), &dpc);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(firedAt, 5 * kNsPerMs);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Interlocked, ReturnTheWindowsValues) {
  LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 4), 6);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 10), 10);
  EXPECT_EQ(InterlockedCompareExchange(&v, 2, 10), 1);
  EXPECT_EQ(InterlockedExchange(&v, 7), 1);
  EXPECT_EQ(InterlockedDecrement(&v), 6);
}

}  // namespace

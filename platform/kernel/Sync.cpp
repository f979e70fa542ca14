#include "platform/kernel/Sync.h"

#include <array>
#include <atomic>

#include "platform/kernel/KernelInternal.h"
#include "platform/kernel/ThreadState.h"
#include "platform/kernel/Verifier.h"

using plat::CurrentIrqlRef;
using plat::Scheduler;
using plat::Violation;

namespace plat {

void CheckIrqlAtMost(KIRQL max, const char* what) {
  if (CurrentIrqlRef() > max)
    Violation(std::string(what) + " called at IRQL " + std::to_string(CurrentIrqlRef()) + ", above " +
              std::to_string(max));
}

bool DeadlineFromTimeout(const LARGE_INTEGER* timeout, VTime* deadline) {
  if (timeout == nullptr) return false;
  VTime now = Scheduler::Current().Now();
  constexpr VTime kEnd = INT64_MAX;  // a time-out beyond the clock's range never comes
  LONGLONG units = timeout->QuadPart;
  if (units <= 0) {
    *deadline = units < -((kEnd - now) / 100) ? kEnd : now - FromKernelUnits(units);
    return true;
  }
  // Absolute system time; one already past (even before boot) is due now.
  LONGLONG sinceBoot = units - kBootSystemTime;
  if (sinceBoot <= ToKernelUnits(now))
    *deadline = now;
  else
    *deadline = sinceBoot > kEnd / 100 ? kEnd : FromKernelUnits(sinceBoot);
  return true;
}

namespace {
// Only a wait that merely looks (a zero time-out) may be made above APC_LEVEL; any other, even one
// whose time-out has already passed, may block on Windows.
void CheckWaitIrql(const LARGE_INTEGER* timeout, const char* what) {
  if (timeout == nullptr || timeout->QuadPart != 0) CheckIrqlAtMost(APC_LEVEL, what);
}
}  // namespace

}  // namespace plat

KIRQL KeGetCurrentIrql() { return CurrentIrqlRef(); }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL cur = CurrentIrqlRef();
  if (NewIrql < cur) Violation("KeRaiseIrql to a lower IRQL");
  plat::PreemptionPoint();
  *OldIrql = cur;
  CurrentIrqlRef() = NewIrql;
  if (auto* s = Scheduler::TryCurrent()) s->Record(Scheduler::Trace::Irql, NewIrql);
}

void KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > CurrentIrqlRef()) Violation("KeLowerIrql to a higher IRQL");
  CurrentIrqlRef() = NewIrql;
  auto* s = Scheduler::TryCurrent();
  if (s == nullptr) return;
  s->Record(Scheduler::Trace::Irql, NewIrql);
  if (NewIrql < DISPATCH_LEVEL) s->DrainDpcs();
  plat::PreemptionPoint();
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

// Events

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  *Event = {};
  Event->Header.Type = Type == NotificationEvent ? DispatcherNotificationEvent : DispatcherSynchronizationEvent;
  Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  plat::PreemptionPoint();
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  if (auto* s = Scheduler::TryCurrent()) s->Signal(&Event->Header);
  return previous;
}

void KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG KeResetEvent(PRKEVENT Event) {
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

// Mutexes and semaphores

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  *Mutex = {};
  Mutex->Header.Type = DispatcherMutant;
  Mutex->Header.SignalState = 1;
  Mutex->Level = Level;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  if (Mutex->OwnerThread != KeGetCurrentThread()) Violation("KeReleaseMutex of a mutex the thread does not own");
  LONG previous = Mutex->Header.SignalState;
  Mutex->Header.SignalState += 1;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    Scheduler::Current().Signal(&Mutex->Header);
  }
  return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) { return Mutex->Header.SignalState; }

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  *Semaphore = {};
  Semaphore->Header.Type = DispatcherSemaphore;
  Semaphore->Header.SignalState = Count;
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) Violation("semaphore limit exceeded");
  Semaphore->Header.SignalState += Adjustment;
  if (auto* s = Scheduler::TryCurrent()) s->Signal(&Semaphore->Header);
  return previous;
}

// Fast mutexes: taken at or below APC_LEVEL, held at APC_LEVEL.

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  *FastMutex = {};
  FastMutex->Count = 1;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  plat::CheckIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  if (FastMutex->Count == 0 && FastMutex->Owner == KeGetCurrentThread())
    Violation("ExAcquireFastMutex of a fast mutex the thread already owns");
  while (FastMutex->Count == 0)
    KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
  FastMutex->Count = 0;
  FastMutex->Owner = KeGetCurrentThread();
  KeRaiseIrql(APC_LEVEL, &FastMutex->OldIrql);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  plat::CheckIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
  if (FastMutex->Count == 0) return FALSE;
  FastMutex->Count = 0;
  FastMutex->Owner = KeGetCurrentThread();
  KeRaiseIrql(APC_LEVEL, &FastMutex->OldIrql);
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  if (FastMutex->Count != 0 || FastMutex->Owner != KeGetCurrentThread())
    Violation("ExReleaseFastMutex of a fast mutex the thread does not own");
  if (KeGetCurrentIrql() != APC_LEVEL) Violation("ExReleaseFastMutex not at APC_LEVEL");
  KIRQL old = FastMutex->OldIrql;
  FastMutex->Owner = nullptr;
  FastMutex->Count = 1;
  KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
  KeLowerIrql(old);
}

// Waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE WaitMode, BOOLEAN, PLARGE_INTEGER Timeout) {
  plat::CheckWaitIrql(Timeout, "KeWaitForSingleObject without a zero time-out");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  plat::PreemptionPoint();
  plat::VTime deadline = 0;
  bool timed = plat::DeadlineFromTimeout(Timeout, &deadline);
  return Scheduler::Current().Wait(&header, 1, WaitAny, timed ? &deadline : nullptr, WaitMode == UserMode);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN, PLARGE_INTEGER Timeout, PVOID) {
  plat::CheckWaitIrql(Timeout, "KeWaitForMultipleObjects without a zero time-out");
  plat::PreemptionPoint();
  // Windows allows at most 64 objects in one wait.
  if (Count > 64) Violation("KeWaitForMultipleObjects with more than 64 objects");
  std::array<DISPATCHER_HEADER*, 64> headers;
  for (ULONG i = 0; i < Count; ++i) headers[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
  plat::VTime deadline = 0;
  bool timed = plat::DeadlineFromTimeout(Timeout, &deadline);
  return Scheduler::Current().Wait(headers.data(), Count, WaitType, timed ? &deadline : nullptr, WaitMode == UserMode);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN, PLARGE_INTEGER Interval) {
  plat::VTime deadline = 0;
  if (!plat::DeadlineFromTimeout(Interval, &deadline)) Violation("KeDelayExecutionThread without an interval");
  plat::CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (deadline <= Scheduler::Current().Now()) {
    Scheduler::Current().Yield();
    return STATUS_SUCCESS;
  }
  Scheduler::Current().Wait(nullptr, 0, WaitAny, &deadline, WaitMode == UserMode);
  return STATUS_SUCCESS;
}

NTSTATUS ZwYieldExecution() {
  Scheduler::Current().Yield();
  return STATUS_SUCCESS;
}

PKTHREAD KeGetCurrentThread() {
  if (auto* s = Scheduler::TryCurrent()) return s->CurrentKThread();
  // Outside the machine (free-running stress tests) each real thread is its own.
  return reinterpret_cast<PKTHREAD>(&plat::CurrentThreadState());
}

// Spin locks. A context that finds one held spins: the scheduler runs the rest of the machine,
// the holder included, until it is released. Without a scheduler (free-running stress tests) the
// lock really spins.

namespace {
ULONG_PTR LockOwnerTag() { return reinterpret_cast<ULONG_PTR>(KeGetCurrentThread()) | 1; }

void TakeSpinLock(PKSPIN_LOCK SpinLock) {
  plat::PreemptionPoint();
  ULONG_PTR me = LockOwnerTag();
  while (true) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    if (expected == me) Violation("a spin lock was acquired twice by one thread");
    if (auto* s = Scheduler::TryCurrent()) s->SpinUntilFree(SpinLock, expected);
  }
}

void DropSpinLock(PKSPIN_LOCK SpinLock) {
  ULONG_PTR held = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (held == 0) Violation("a spin lock that is not held was released");
  if (held != LockOwnerTag()) Violation("a spin lock was released by a thread that does not hold it");
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  if (auto* s = Scheduler::TryCurrent()) s->LockReleased(SpinLock);
  plat::PreemptionPoint();
}
}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  TakeSpinLock(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old;
  KeAcquireSpinLock(SpinLock, &old);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) Violation("KeReleaseSpinLock not at DISPATCH_LEVEL");
  DropSpinLock(SpinLock);
  KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) Violation("KeAcquireSpinLockAtDpcLevel not at DISPATCH_LEVEL");
  TakeSpinLock(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) Violation("KeReleaseSpinLockFromDpcLevel not at DISPATCH_LEVEL");
  DropSpinLock(SpinLock);
}

// DPCs and timers

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  *Dpc = {};
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  plat::PreemptionPoint();
  if (Dpc->Inserted) return FALSE;
  Dpc->Inserted = TRUE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  ULONG serial = ++Dpc->Serial;
  Scheduler::Current().QueueDpc([Dpc, serial] {
    if (!Dpc->Inserted || Dpc->Serial != serial) return;
    Dpc->Inserted = FALSE;
    Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
  });
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  BOOLEAN was = Dpc->Inserted;
  Dpc->Inserted = FALSE;
  return was;
}

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  *Timer = {};
  Timer->Header.Type = Type == NotificationTimer ? DispatcherNotificationTimer : DispatcherSynchronizationTimer;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

namespace {
void ArmTimer(PKTIMER Timer, plat::VTime deadline) {
  auto& s = Scheduler::Current();
  Timer->DueTime = static_cast<ULONGLONG>(deadline);
  Timer->EventId = s.At(deadline, [Timer] {
    auto& sched = Scheduler::Current();
    Timer->EventId = 0;
    Timer->Header.SignalState = 1;
    sched.Signal(&Timer->Header);
    if (Timer->Period > 0) ArmTimer(Timer, sched.Now() + Timer->Period * plat::kNsPerMs);
    if (Timer->Dpc != nullptr) {
      PKDPC dpc = Timer->Dpc;
      dpc->DeferredRoutine(dpc, dpc->DeferredContext, nullptr, nullptr);
    }
  }, DISPATCH_LEVEL, "timer");
}
}  // namespace

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
  BOOLEAN wasSet = KeCancelTimer(Timer);
  plat::VTime deadline = 0;
  plat::DeadlineFromTimeout(&DueTime, &deadline);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  ArmTimer(Timer, deadline);
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (Timer->EventId == 0) return FALSE;
  Scheduler::Current().Cancel(Timer->EventId);
  Timer->EventId = 0;
  return TRUE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState > 0; }

// Interlocked operations

LONG InterlockedIncrement(LONG volatile* a) {
  plat::PreemptionPoint();
  return __atomic_add_fetch(a, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile* a) {
  plat::PreemptionPoint();
  return __atomic_sub_fetch(a, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile* t, LONG v) {
  plat::PreemptionPoint();
  return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchangeAdd(LONG volatile* a, LONG v) {
  plat::PreemptionPoint();
  return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST);
}
LONG InterlockedOr(LONG volatile* d, LONG v) {
  plat::PreemptionPoint();
  return __atomic_fetch_or(d, v, __ATOMIC_SEQ_CST);
}
LONG InterlockedAnd(LONG volatile* d, LONG v) {
  plat::PreemptionPoint();
  return __atomic_fetch_and(d, v, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* d, LONG e, LONG c) {
  plat::PreemptionPoint();
  __atomic_compare_exchange_n(d, &c, e, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}
LONG64 InterlockedIncrement64(LONG64 volatile* a) {
  plat::PreemptionPoint();
  return __atomic_add_fetch(a, 1, __ATOMIC_SEQ_CST);
}
LONG64 InterlockedDecrement64(LONG64 volatile* a) {
  plat::PreemptionPoint();
  return __atomic_sub_fetch(a, 1, __ATOMIC_SEQ_CST);
}
LONG64 InterlockedExchange64(LONG64 volatile* t, LONG64 v) {
  plat::PreemptionPoint();
  return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST);
}
LONG64 InterlockedCompareExchange64(LONG64 volatile* d, LONG64 e, LONG64 c) {
  plat::PreemptionPoint();
  __atomic_compare_exchange_n(d, &c, e, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}
PVOID InterlockedExchangePointer(PVOID volatile* t, PVOID v) {
  plat::PreemptionPoint();
  return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* d, PVOID e, PVOID c) {
  plat::PreemptionPoint();
  __atomic_compare_exchange_n(d, &c, e, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}

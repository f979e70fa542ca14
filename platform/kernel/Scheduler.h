// The deterministic scheduler and virtual clock of the simulated machine.
//
// One clock, counted in nanoseconds since boot, drives everything. Simulated threads are fibers
// of the real thread that constructed the scheduler, the host, switched in user space: exactly one
// runs at a time. While the host pumps (RunFor, RunUntil, RunUntilIdle, or any wait it makes) it
// switches to what may run next, which switches back when it gives up the processor, and advances
// time to the next event only when nothing else can run.
//
// Under seed 0 everything runs first in, first out: ready threads in the order they became ready,
// DPCs and events on the pumping thread, and a context gives up the processor only where it waits,
// yields, stalls or ends. Under any other seed the machine has `Processors()` processors; DPCs and
// events run on a carrier thread of the processor they were given, and at every preemption point
// (spin locks, interlocked operations, IRQL changes, DPC queueing, IRP dispatch and completion,
// event signalling, waits, pool calls) the seed may let another processor overtake the current
// context. The same inputs and seed give the same order of events, every run.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Callback.h"
#include "Sync.h"

namespace plat {

using VTime = int64_t;  // virtual nanoseconds since boot
constexpr VTime kNsPerCycle = 125000;  // one 1394 bus cycle; 8000 a second
constexpr VTime kNsPerSecond = 1000000000;
constexpr VTime kNsPerMs = 1000000;

class Scheduler {
 public:
  Scheduler();
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  static Scheduler& Current();     // fails loudly when no scheduler exists
  static Scheduler* TryCurrent();
  uint64_t Serial() const { return serial_; }  // unique for every scheduler of the process

  VTime Now() const { return now_; }

  // An event runs fn at time t (never before Now) on the pumping thread at the given IRQL.
  // Returns an id for Cancel. Events at one time run in the order they were added. A PASSIVE_LEVEL
  // event waits while the host is inside a wait of its own, and runs once that wait is over.
  // An event costs no allocation when its callable fits a Callback; `what` is hashed into the
  // trace, and kept as text only while a trace text is kept.
  uint64_t At(VTime t, Callback fn, KIRQL irql = DISPATCH_LEVEL, std::string_view what = {});
  uint64_t After(VTime dt, Callback fn, KIRQL irql = DISPATCH_LEVEL, std::string_view what = {});
  bool Cancel(uint64_t id);
  bool Pending(uint64_t id) const;

  // Queues a DPC-level callback; it runs as soon as the current thread drops below DISPATCH_LEVEL
  // or the host pumps next.
  void QueueDpc(Callback fn);

  // A simulated thread; it runs its body at PASSIVE_LEVEL when the host next pumps. A system
  // thread (a worker of the kernel) idle in a wait at shutdown is woken with
  // STATUS_THREAD_IS_TERMINATING and must then return; any other thread still alive then is
  // abandoned.
  uint32_t Spawn(std::string name, std::function<void()> body, bool system = false);
  // A thread of a process (`owner`, opaque here; null is the System process) whose previous mode
  // is `mode`: UserMode for a thread that runs a program's code.
  uint32_t SpawnIn(void* owner, KPROCESSOR_MODE mode, std::string name, std::function<void()> body);
  void* CurrentOwner() const;
  // The process whose address space the current thread is attached to (KeStackAttachProcess),
  // which stands for its own until it detaches; null when it is not attached.
  void* CurrentAttachment() const;
  void SetCurrentAttachment(void* process);
  KPROCESSOR_MODE CurrentMode() const;

  // Threads of a killed process stop where they stand, without unwinding, and are never reported
  // as abandoned. One not running at PASSIVE_LEVEL stops at once; one caught above it (holding a
  // spin lock, in a DPC) stops at its next wait, yield or preemption point at PASSIVE_LEVEL.
  // Returns how many threads of `owner` other than the caller are still to stop.
  size_t Park(void* owner);
  // The calling thread stops for ever; the host goes on.
  [[noreturn]] void ParkSelf();
  // Inside the kernel (a driver's routine, a system service) a thread is not stopped: it stops once
  // back in its own code, or in a wait made in user mode, as Windows ends a thread.
  void EnterDriver();
  void LeaveDriver();
  bool ThreadDone(uint32_t id) const;
  uint32_t CurrentThreadId() const;
  std::string CurrentThreadName() const;
  size_t LiveThreads() const;

  // Pumping, from the host thread only.
  void RunUntilIdle();                 // no time passes
  void RunFor(VTime dt);
  void RunUntil(VTime t);              // leaves Now() == t
  bool RunUntil(const std::function<bool()>& done, VTime limit);  // true when done() held

  // Busy-waits the current context for dt: it keeps its processor (at or above DISPATCH_LEVEL)
  // while the bus, due timers, other threads and DPCs go on.
  void Stall(VTime dt);

  // Paces virtual time to the wall clock (the main job's --realtime); off by default.
  void SetRealTime(bool on);

  // The machine's processors (default 2) and the seed that picks the interleaving: seed 0 runs
  // everything in first-in first-out order, any other seed lets contexts overtake each other at
  // the points where real processors could.
  void SetProcessors(uint32_t count);
  uint32_t Processors() const { return processors_; }
  void SetSeed(uint64_t seed);
  uint64_t Seed() const { return seed_; }
  // A point where another processor could overtake the current context.
  void Preempt();
  // A choice among n that the seed makes; always 0 under seed 0.
  uint32_t Choose(uint32_t n);

  // Spin locks: a context that finds one held spins, and the holder runs on.
  void SpinUntilFree(volatile KSPIN_LOCK* lock, KSPIN_LOCK holder);
  void LockReleased(volatile KSPIN_LOCK* lock);

  // Trace of the order of events: every switch, event, IRQL change, IRP, bus cycle and Note goes
  // into a running hash word by word, and into a text log when kept. Two runs of one scenario with
  // one seed must give the same hash.
  enum class Trace : uint32_t {
    Note, Spawn, Switch, Preempt, Dpc, Event, Stall, Spin, Irql, IrpDispatch, IrpComplete,
    BusReset, BusCycle, IsoPacket, AsyncRequest, AsyncDone, ListDone,
  };
  void Note(std::string_view text);
  static uint64_t LabelOf(std::string_view text);
  // Inline: the bus and units record several times a bus cycle.
  void Record(Trace kind, uint64_t a = 0, uint64_t b = 0) {
    const uint64_t who = static_cast<uint64_t>(kind) << 32 | currentId_;
    Mix(Fold(Fold(static_cast<uint64_t>(now_), who), Fold(a, b)));
    if (keepTrace_) [[unlikely]]
      KeepRecord(kind, a, b);
  }
  void RecordBytes(Trace kind, std::span<const uint8_t> bytes);
  uint64_t TraceHash() const { return traceHash_; }
  void KeepTrace(bool on) { keepTrace_ = on; }
  const std::vector<std::string>& TraceLog() const { return trace_; }

  // For the dispatcher-object routines of the stand-in.
  // A wait made in user mode (`abortable`) is where a killed thread stops even inside the kernel.
  NTSTATUS Wait(DISPATCHER_HEADER* const* objects, ULONG count, WAIT_TYPE type, const VTime* deadline,
                bool abortable = false);
  void Signal(DISPATCHER_HEADER* object);
  void Yield();
  PKTHREAD CurrentKThread() const;
  void DrainDpcs();

  struct Thread;

  // Threads still not ended when a scheduler shut down, by name: they are parked, never resumed
  // and never unwound, as the threads of a killed process. Taking the list empties it.
  static std::vector<std::string> TakeAbandonedThreads();

 private:
  // Events live in slots that are reused; the two heaps (PASSIVE_LEVEL steps apart, since they
  // wait while the host waits) order them by time, then by the order they were added. A
  // cancelled event's heap entry stays until it surfaces and is then dropped.
  struct EventSlot {
    uint64_t seq = 0;  // 0 while free
    VTime time = 0;
    KIRQL irql = DISPATCH_LEVEL;
    uint64_t label = 0;  // hash of `what`, 0 for none
    std::string what;    // only while a trace text is kept
    Callback fn;
  };
  struct HeapEntry {
    VTime time;
    uint64_t seq;
    uint32_t slot;
    // Time, then seq, as one 128-bit comparison: events often share a time, and a branch on
    // that guesses badly.
    bool Before(const HeapEntry& o) const {
      __extension__ using Key = unsigned __int128;
      return (Key{static_cast<uint64_t>(time)} << 64 | seq) < (Key{static_cast<uint64_t>(o.time)} << 64 | o.seq);
    }
  };
  using EventHeap = std::vector<HeapEntry>;
  static void HeapPush(EventHeap& heap, VTime time, uint64_t seq, uint32_t slot);
  static void HeapPop(EventHeap& heap);

  struct Choice {
    enum Kind : uint8_t { Resume, StartDpc, StartThread, SwitchThread, StartEvent, PassiveEvent } kind;
    uint32_t cpu;
  };

  // The labels of texts events were given lately, most of them the same few literals again and
  // again: comparing a text costs less than hashing it byte by byte.
  struct KnownLabel {
    std::string text;
    uint64_t label = 0;
  };
  uint64_t KnownLabelOf(std::string_view text);

  Thread* Self() const;
  void Pump(const std::function<bool()>& done, VTime limit, bool advanceToLimit);
  void PumpInside(const std::function<bool()>& done, VTime limit, bool advanceToLimit);
  bool RunOneThing(VTime limit);
  bool RunOneSeeded(VTime limit);
  EventHeap* DueEvent(VTime limit, bool passiveAllowed);  // the heap whose top is due, or null
  void Drop(EventHeap& heap);                              // its stale tops
  uint32_t TakeEvent(EventHeap& heap);                     // pops the top, returns its slot
  void FreeSlot(uint32_t slot);
  void RunEvent(EventHeap& heap);
  void AdvanceTo(VTime t);
  void SwitchTo(Thread* next);       // from the host: runs `next` until it gives the processor back
  void AfterSwitch(Thread* t);
  void ReturnToHost(Thread* self);   // from a simulated thread
  static void ThreadMain(void* thread);   // a simulated thread's fiber
  static void CarrierMain(void* thread);  // a processor's carrier of DPCs and events
  Thread* Carrier(uint32_t cpu);
  void RunOnCarrier(uint32_t cpu, Callback fn, uint64_t label);
  bool Resumable(const Thread* t) const;
  bool Interruptible(const Thread* t) const;
  void CheckDeadlock(Thread* spinner);
  std::string Holders() const;
  bool Satisfiable(Thread* t, DISPATCHER_HEADER* obj) const;
  void Consume(Thread* t, DISPATCHER_HEADER* obj);
  bool TrySatisfy(Thread* t);
  void WakeWithStatus(Thread* t, NTSTATUS status);
  void ParkIfKilled(Thread* self, bool abortable = false);
  void Forget(Thread* t);  // takes a parked thread out of every list, never to run again
  void Shutdown();
  // The trace hash. Each step is one to one in each of its inputs while the others stay fixed,
  // so a change in any one word of a record reaches the hash.
  static constexpr uint64_t kFoldMultiplier = 0xC2B2AE3D27D4EB4Full;
  static uint64_t Fold(uint64_t x, uint64_t y) { return std::rotl(x * kFoldMultiplier, 29) ^ y; }
  [[gnu::cold, gnu::noinline]] void KeepRecord(Trace kind, uint64_t a, uint64_t b);
  void Mix(uint64_t word) {
    traceHash_ ^= word;
    traceHash_ *= 0x100000001B3ull;
    traceHash_ ^= traceHash_ >> 29;
  }

  uint64_t serial_;
  VTime now_ = 0;
  uint64_t nextSeq_ = 1;
  std::array<KnownLabel, 8> knownLabels_;
  std::vector<EventSlot> slots_;
  std::vector<uint32_t> freeSlots_;
  EventHeap dispatchEvents_;
  EventHeap passiveEvents_;
  size_t liveEvents_ = 0;
  CallbackQueue dpcs_;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::deque<Thread*> ready_;
  std::vector<Thread*> waiters_;   // in the order they began to wait
  std::vector<Thread*> spinners_;  // seed 0: threads spinning on a lock whose holder stalls
  std::vector<std::vector<Thread*>> cpus_;  // seeded: what each processor runs, innermost last
  std::vector<Thread*> carriers_;           // seeded: the thread each processor runs DPCs and events on
  std::vector<Choice> choices_;
  Thread* host_ = nullptr;
  uint32_t currentId_ = 0;  // of the thread that runs: the trace's who, without a thread-local
  uint32_t nextThreadId_ = 0;
  uint32_t processors_ = 2;
  uint64_t seed_ = 0;
  uint64_t rng_ = 0;
  bool realTime_ = false;
  int64_t wallStartNs_ = 0;
  VTime virtStart_ = 0;
  uint64_t traceHash_ = 1469598103934665603ull;
  bool keepTrace_ = false;
  std::vector<std::string> trace_;
  bool shuttingDown_ = false;
  int hostWaits_ = 0;
};

// A preemption point of the kernel stand-in; free under seed 0. Every interlocked operation, spin
// lock and pool call has one, so whether it has anything to do at all is checked inline: only
// under a seed, or once a process's thread was killed and may be caught above PASSIVE_LEVEL.
extern bool gPreemptionPointsLive;
void PreemptionPointTaken();
inline void PreemptionPoint() {
  if (gPreemptionPointsLive) PreemptionPointTaken();
}

// 100-ns kernel time units <-> virtual nanoseconds.
constexpr VTime FromKernelUnits(LONGLONG units100ns) { return units100ns * 100; }
constexpr LONGLONG ToKernelUnits(VTime ns) { return ns / 100; }

}  // namespace plat

// The deterministic scheduler and virtual clock of the simulated machine.
//
// One clock, counted in nanoseconds since boot, drives everything. Simulated threads are real
// threads of which exactly one runs at a time: a thread gives up the processor only where the
// platform waits, yields or exits. The thread that constructed the scheduler is the host: while
// it pumps (RunFor, RunUntil, RunUntilIdle, or any wait it makes) it runs ready threads in FIFO
// order, then DPCs and events that are due, and advances time to the next event only when
// nothing else can run. The same inputs therefore give the same order of events, every run.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
  uint64_t At(VTime t, std::function<void()> fn, KIRQL irql = DISPATCH_LEVEL, std::string_view what = {});
  uint64_t After(VTime dt, std::function<void()> fn, KIRQL irql = DISPATCH_LEVEL, std::string_view what = {});
  bool Cancel(uint64_t id);
  bool Pending(uint64_t id) const;

  // Queues a DPC-level callback; it runs as soon as the current thread drops below DISPATCH_LEVEL
  // or the host pumps next.
  void QueueDpc(std::function<void()> fn);

  // A simulated thread; it runs its body at PASSIVE_LEVEL when the host next pumps.
  uint32_t Spawn(std::string name, std::function<void()> body);
  bool ThreadDone(uint32_t id) const;
  uint32_t CurrentThreadId() const;
  std::string CurrentThreadName() const;
  size_t LiveThreads() const;

  // Pumping, from the host thread only.
  void RunUntilIdle();                 // no time passes
  void RunFor(VTime dt);
  void RunUntil(VTime t);              // leaves Now() == t
  bool RunUntil(const std::function<bool()>& done, VTime limit);  // true when done() held

  // Busy-waits the current thread: the clock moves on, nothing else runs meanwhile.
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
  // A point where another processor could overtake the current context; `where` names it.
  void Preempt(std::string_view where);
  // A choice among n that the seed makes; always 0 under seed 0.
  uint32_t Choose(uint32_t n);

  // Trace of the order of events: every switch, event and Note goes into a running hash, and
  // into a text log when kept. Two runs of one scenario must give the same hash.
  void Note(std::string_view text);
  uint64_t TraceHash() const { return traceHash_; }
  void KeepTrace(bool on) { keepTrace_ = on; }
  const std::vector<std::string>& TraceLog() const { return trace_; }

  // For the dispatcher-object routines of the stand-in.
  NTSTATUS Wait(DISPATCHER_HEADER* const* objects, ULONG count, WAIT_TYPE type, const VTime* deadline);
  void Signal(DISPATCHER_HEADER* object);
  void Yield();
  PKTHREAD CurrentKThread() const;
  void DrainDpcs();

  struct Thread;

 private:
  struct Event {
    VTime time;
    uint64_t seq;
    KIRQL irql;
    std::function<void()> fn;
    std::string what;
  };

  Thread* Self() const;
  void Pump(const std::function<bool()>& done, VTime limit, bool advanceToLimit);
  bool RunOneThing(VTime limit);
  void SwitchTo(Thread* next);       // from the host: runs `next` until it gives the processor back
  void ReturnToHost(Thread* self);   // from a simulated thread
  bool Satisfiable(Thread* t, DISPATCHER_HEADER* obj) const;
  void Consume(Thread* t, DISPATCHER_HEADER* obj);
  bool TrySatisfy(Thread* t);
  void WakeWithStatus(Thread* t, NTSTATUS status);
  void Shutdown();
  void Hash(std::string_view text);

  uint64_t serial_;
  VTime now_ = 0;
  uint64_t nextSeq_ = 1;
  std::map<std::pair<VTime, uint64_t>, Event> events_;
  std::map<uint64_t, VTime> eventTimes_;
  std::deque<std::function<void()>> dpcs_;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::deque<Thread*> ready_;
  std::vector<Thread*> waiters_;  // in the order they began to wait
  Thread* host_ = nullptr;
  Thread* current_ = nullptr;
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
  int drainingDpcs_ = 0;
  int hostWaits_ = 0;
};

// 100-ns kernel time units <-> virtual nanoseconds.
constexpr VTime FromKernelUnits(LONGLONG units100ns) { return units100ns * 100; }
constexpr LONGLONG ToKernelUnits(VTime ns) { return ns / 100; }

}  // namespace plat

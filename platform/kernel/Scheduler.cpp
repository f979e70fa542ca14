#include "platform/kernel/Scheduler.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/kernel/Fiber.h"
#include "platform/kernel/ThreadState.h"
#include "platform/kernel/Verifier.h"

namespace plat {

struct Scheduler::Thread {
  enum class State { Ready, Running, Blocked, Done, Preempted, Spinning, Stalled, Idle, Parked };
  enum class Kind { Host, Sim, System, Carrier };
  uint32_t id = 0;
  std::string name;
  std::function<void()> body;
  std::unique_ptr<Fiber> fiber;
  ThreadState locals;  // the host's are its real thread's own
  State state = State::Ready;
  Kind kind = Kind::Sim;
  bool started = false;
  bool exit = false;  // a thread never started skips its body; a carrier leaves its loop
  void* owner = nullptr;                // its process; null for the System process
  void* attached = nullptr;             // the process it is attached to, if any
  KPROCESSOR_MODE mode = KernelMode;    // its previous mode
  bool killed = false;                  // its process ended: it stops at the next safe point
  int inDriver = 0;                     // depth of kernel calls it is in
  bool abortable = false;               // its current wait is made in user mode
  int cpu = -1;                // seeded: the processor it occupies
  int drainingDpcs = 0;
  // The current wait.
  std::vector<DISPATCHER_HEADER*> objects;
  WAIT_TYPE waitType = WaitAny;
  bool waiting = false;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  uint64_t timeoutEvent = 0;
  // Spinning and stalling.
  volatile KSPIN_LOCK* spinOn = nullptr;
  VTime stallUntil = 0;
  // A carrier's DPC or event.
  Callback job;
};

namespace {

Scheduler* gCurrent = nullptr;
// The simulated thread the real thread runs; the scheduler's switch sets it. Initial-exec, as the
// thread-locals of ThreadState.cpp.
[[gnu::tls_model("initial-exec")]] thread_local Scheduler::Thread* tlThread = nullptr;
std::vector<std::string> gAbandoned;

// The hash of a record's bytes; one to one in each input as the scheduler's Fold and Mix are.
constexpr uint64_t kLaneMultiplier = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kLaneSeed = 0x27D4EB2F165667C5ull;
constexpr ptrdiff_t kRoundBytes = 64;

// Sixteen bytes into a lane with one multiplication: four lanes keep the multiplier busy.
inline uint64_t Absorb(uint64_t lane, uint64_t first, uint64_t second) {
  return std::rotl((lane ^ first) * kLaneMultiplier, 31) + second;
}

inline uint64_t LoadWord(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The lines of a kept trace, out of the way of the hashing.
std::string LinePrefix(VTime now, const Scheduler::Thread* thread, Scheduler::Trace kind) {
  return std::to_string(now) + " " + (thread != nullptr ? thread->name : std::string("?")) + " #" +
         std::to_string(static_cast<uint32_t>(kind)) + " ";
}

[[gnu::cold, gnu::noinline]] void KeepLine(std::vector<std::string>& trace, VTime now, const Scheduler::Thread* thread,
                                           Scheduler::Trace kind, uint64_t a, uint64_t b) {
  trace.push_back(LinePrefix(now, thread, kind) + std::to_string(a) + " " + std::to_string(b));
}

[[gnu::cold, gnu::noinline]] void KeepBytesLine(std::vector<std::string>& trace, VTime now,
                                                const Scheduler::Thread* thread, Scheduler::Trace kind, size_t bytes) {
  trace.push_back(LinePrefix(now, thread, kind) + std::to_string(bytes) + " bytes");
}

// Deep enough for the deepest road under the address sanitizer's larger frames; only what is
// touched costs memory.
constexpr size_t kStackBytes = size_t{8} << 20;

KIRQL& Irql() { return CurrentThreadState().irql; }

int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A nested pump of the host while a context on its stack stalls or spins: what it runs stands for
// the other processors, so it runs at their IRQL and may deliver DPCs of its own.
class PumpScope {
 public:
  PumpScope(int& hostWaits, int& hostDraining)
      : hostWaits_(hostWaits), hostDraining_(hostDraining), savedIrql_(Irql()), savedDraining_(hostDraining) {
    ++hostWaits_;
    Irql() = PASSIVE_LEVEL;
    hostDraining_ = 0;
  }
  ~PumpScope() {
    hostDraining_ = savedDraining_;
    Irql() = savedIrql_;
    --hostWaits_;
  }
  PumpScope(const PumpScope&) = delete;
  PumpScope& operator=(const PumpScope&) = delete;

 private:
  int& hostWaits_;
  int& hostDraining_;
  KIRQL savedIrql_;
  int savedDraining_;
};

}  // namespace

KIRQL& CurrentIrqlRef() { return Irql(); }

bool gPreemptionPointsLive = false;

void PreemptionPointTaken() {
  Scheduler* s = gCurrent;
  // A killed thread caught above PASSIVE_LEVEL stops at the first point it is back there.
  if (s != nullptr && (s->Seed() != 0 || (tlThread != nullptr && tlThread->killed))) s->Preempt();
}

Scheduler::Scheduler() {
  static uint64_t serials = 0;
  serial_ = ++serials;
  if (gCurrent != nullptr) Violation("a second scheduler was created while one exists");
  gCurrent = this;
  gPreemptionPointsLive = false;
  auto host = std::make_unique<Thread>();
  host->id = nextThreadId_++;
  host->name = "host";
  host->kind = Thread::Kind::Host;
  host->state = Thread::State::Running;
  host->started = true;
  host->fiber = std::make_unique<Fiber>();
  host_ = host.get();
  currentId_ = host_->id;
  tlThread = host_;
  SetCurrentThreadState(nullptr);
  Irql() = PASSIVE_LEVEL;
  threads_.push_back(std::move(host));
}

Scheduler::~Scheduler() {
  Shutdown();
  tlThread = nullptr;
  gCurrent = nullptr;
  gPreemptionPointsLive = false;
  SetViolationNote({});
}

Scheduler& Scheduler::Current() {
  if (gCurrent == nullptr) Violation("the kernel stand-in was used with no scheduler");
  return *gCurrent;
}

Scheduler* Scheduler::TryCurrent() { return gCurrent; }

std::vector<std::string> Scheduler::TakeAbandonedThreads() { return std::exchange(gAbandoned, {}); }

Scheduler::Thread* Scheduler::Self() const {
  if (tlThread == nullptr) Violation("a thread unknown to the scheduler called the kernel stand-in");
  return tlThread;
}

namespace {
constexpr int kSlotShift = 40;
constexpr uint64_t kSeqMask = (uint64_t{1} << kSlotShift) - 1;
}  // namespace

uint64_t Scheduler::LabelOf(std::string_view text) {
  if (text.empty()) return 0;
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h | 1;
}

uint64_t Scheduler::KnownLabelOf(std::string_view text) {
  if (text.empty()) return 0;
  KnownLabel& known =
      knownLabels_[(text.size() + static_cast<unsigned char>(text.front()) + static_cast<unsigned char>(text.back())) %
                   knownLabels_.size()];
  if (known.text != text) {
    known.text.assign(text);
    known.label = LabelOf(text);
  }
  return known.label;
}

uint64_t Scheduler::At(VTime t, Callback fn, KIRQL irql, std::string_view what) {
  if (irql != PASSIVE_LEVEL && irql != DISPATCH_LEVEL) Violation("events run at PASSIVE_LEVEL or DISPATCH_LEVEL");
  t = std::max(t, now_);
  uint64_t seq = nextSeq_++;
  uint32_t slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  EventSlot& e = slots_[slot];
  e.seq = seq;
  e.time = t;
  e.irql = irql;
  e.label = KnownLabelOf(what);
  if (keepTrace_) e.what.assign(what);
  e.fn = std::move(fn);
  EventHeap& heap = irql == PASSIVE_LEVEL ? passiveEvents_ : dispatchEvents_;
  HeapPush(heap, t, seq, slot);
  ++liveEvents_;
  return static_cast<uint64_t>(slot) << kSlotShift | (seq & kSeqMask);
}

uint64_t Scheduler::After(VTime dt, Callback fn, KIRQL irql, std::string_view what) {
  return At(now_ + std::max<VTime>(dt, 0), std::move(fn), irql, what);
}

void Scheduler::FreeSlot(uint32_t slot) {
  EventSlot& e = slots_[slot];
  e.seq = 0;
  e.fn.Reset();
  e.what.clear();
  freeSlots_.push_back(slot);
  --liveEvents_;
}

bool Scheduler::Cancel(uint64_t id) {
  if (!Pending(id)) return false;
  FreeSlot(static_cast<uint32_t>(id >> kSlotShift));
  return true;
}

bool Scheduler::Pending(uint64_t id) const {
  uint64_t slot = id >> kSlotShift;
  return slot < slots_.size() && slots_[slot].seq != 0 && (slots_[slot].seq & kSeqMask) == (id & kSeqMask);
}

// The new entry's fields stay in registers on the way up and are stored once, at its place: an
// entry stored whole and at once loaded back wider, as a copy of it does, stalls on the store.
void Scheduler::HeapPush(EventHeap& heap, VTime time, uint64_t seq, uint32_t slot) {
  const HeapEntry entry{time, seq, slot};
  size_t hole = heap.size();
  heap.emplace_back();
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    if (!entry.Before(heap[parent])) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = entry;
}

void Scheduler::HeapPop(EventHeap& heap) {
  std::pop_heap(heap.begin(), heap.end(), [](const HeapEntry& a, const HeapEntry& b) { return b.Before(a); });
  heap.pop_back();
}

void Scheduler::Drop(EventHeap& heap) {
  while (!heap.empty() && slots_[heap.front().slot].seq != heap.front().seq) HeapPop(heap);
}

Scheduler::EventHeap* Scheduler::DueEvent(VTime limit, bool passiveAllowed) {
  // A PASSIVE_LEVEL event is a step of the scenario: it never runs inside a wait of the host,
  // where it would re-enter code that is waiting.
  Drop(dispatchEvents_);
  Drop(passiveEvents_);
  EventHeap* best = dispatchEvents_.empty() ? nullptr : &dispatchEvents_;
  if (passiveAllowed && !passiveEvents_.empty() && (best == nullptr || passiveEvents_.front().Before(best->front())))
    best = &passiveEvents_;
  if (best == nullptr || best->front().time > limit) return nullptr;
  return best;
}

uint32_t Scheduler::TakeEvent(EventHeap& heap) {
  uint32_t slot = heap.front().slot;
  HeapPop(heap);
  return slot;
}

void Scheduler::QueueDpc(Callback fn) {
  dpcs_.push(std::move(fn));
  if (Irql() < DISPATCH_LEVEL) DrainDpcs();
}

void Scheduler::DrainDpcs() {
  Thread* self = tlThread;
  if (self == nullptr || Irql() >= DISPATCH_LEVEL || self->drainingDpcs > 0) return;
  // Under a seed the pump hands DPCs to the processors; the host itself is never one.
  if (seed_ != 0 && self->kind == Thread::Kind::Host) return;
  ++self->drainingDpcs;
  while (!dpcs_.empty()) {
    Callback fn = dpcs_.pop();
    Record(Trace::Dpc);
    KIRQL saved = Irql();
    Irql() = DISPATCH_LEVEL;
    fn();
    if (Irql() != DISPATCH_LEVEL) Violation("a DPC returned at an IRQL other than DISPATCH_LEVEL");
    Irql() = saved;
  }
  --self->drainingDpcs;
}

uint32_t Scheduler::Spawn(std::string name, std::function<void()> body, bool system) {
  uint32_t id = SpawnIn(nullptr, KernelMode, std::move(name), std::move(body));
  if (system) threads_.back()->kind = Thread::Kind::System;
  return id;
}

uint32_t Scheduler::SpawnIn(void* owner, KPROCESSOR_MODE mode, std::string name, std::function<void()> body) {
  auto t = std::make_unique<Thread>();
  Thread* raw = t.get();
  raw->id = nextThreadId_++;
  raw->name = std::move(name);
  raw->body = std::move(body);
  raw->kind = Thread::Kind::Sim;
  raw->owner = owner;
  raw->mode = mode;
  raw->state = Thread::State::Ready;
  raw->fiber = std::make_unique<Fiber>(kStackBytes, &Scheduler::ThreadMain, raw);
  threads_.push_back(std::move(t));
  ready_.push_back(raw);
  Record(Trace::Spawn, raw->id);
  return raw->id;
}

bool Scheduler::ThreadDone(uint32_t id) const {
  for (const auto& t : threads_)
    if (t->id == id) return t->state == Thread::State::Done;
  return true;
}

uint32_t Scheduler::CurrentThreadId() const { return Self()->id; }
void* Scheduler::CurrentOwner() const { return Self()->owner; }
void* Scheduler::CurrentAttachment() const { return Self()->attached; }
void Scheduler::SetCurrentAttachment(void* process) { Self()->attached = process; }
KPROCESSOR_MODE Scheduler::CurrentMode() const { return Self()->mode; }

void Scheduler::Forget(Thread* t) {
  ready_.erase(std::remove(ready_.begin(), ready_.end(), t), ready_.end());
  spinners_.erase(std::remove(spinners_.begin(), spinners_.end(), t), spinners_.end());
  if (t->waiting) {
    t->waiting = false;
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), t));
  }
  if (t->timeoutEvent != 0) {
    Cancel(t->timeoutEvent);
    t->timeoutEvent = 0;
  }
  if (t->cpu >= 0) {
    auto& stack = cpus_[static_cast<size_t>(t->cpu)];
    stack.erase(std::remove(stack.begin(), stack.end(), t), stack.end());
    t->cpu = -1;
  }
  t->state = Thread::State::Parked;
  // Its stack stays as it stands, which keeps what the thread held reachable.
  t->fiber->Keep();
  auto it = std::find_if(threads_.begin(), threads_.end(), [t](const auto& p) { return p.get() == t; });
  (void)it->release();
  threads_.erase(it);
}

size_t Scheduler::Park(void* owner) {
  if (owner == nullptr) Violation("the System process cannot be ended");
  Thread* self = Self();
  size_t pending = 0;
  std::vector<Thread*> now;
  for (const auto& p : threads_) {
    Thread* t = p.get();
    if (t->owner != owner || t == self || t->state == Thread::State::Done) continue;
    t->killed = true;
    gPreemptionPointsLive = true;
    using S = Thread::State;
    bool idle = t->state == S::Ready || t->state == S::Blocked || t->state == S::Preempted || t->state == S::Stalled;
    bool outside = t->inDriver == 0 || (t->state == S::Blocked && t->abortable);
    if (idle && t->locals.irql == PASSIVE_LEVEL && t->drainingDpcs == 0 && outside)
      now.push_back(t);
    else
      ++pending;
  }
  for (Thread* t : now) {
    Record(Trace::Note, LabelOf("park"), t->id);
    Forget(t);
  }
  return pending;
}

void Scheduler::ParkSelf() {
  Thread* self = Self();
  if (self->kind == Thread::Kind::Host || self->kind == Thread::Kind::Carrier)
    Violation("only a thread of a process can stop for ever");
  Record(Trace::Note, LabelOf("park"), self->id);
  self->state = Thread::State::Parked;
  self->fiber->SwitchTo(*host_->fiber);
  Violation("a parked thread was resumed");
}

void Scheduler::ParkIfKilled(Thread* self, bool abortable) {
  if (self->killed && Irql() == PASSIVE_LEVEL && self->drainingDpcs == 0 && (self->inDriver == 0 || abortable) &&
      self->kind == Thread::Kind::Sim)
    ParkSelf();
}

void Scheduler::EnterDriver() { ++Self()->inDriver; }

void Scheduler::LeaveDriver() {
  Thread* self = Self();
  if (--self->inDriver == 0 && self->attached != nullptr)
    Violation("'" + self->name + "' returned from the kernel still attached to another process");
}

std::string Scheduler::CurrentThreadName() const { return Self()->name; }
PKTHREAD Scheduler::CurrentKThread() const { return reinterpret_cast<PKTHREAD>(Self()); }

size_t Scheduler::LiveThreads() const {
  size_t n = 0;
  for (const auto& t : threads_)
    if ((t->kind == Thread::Kind::Sim || t->kind == Thread::Kind::System) && t->state != Thread::State::Done) ++n;
  return n;
}

void Scheduler::SwitchTo(Thread* next) {
  Record(Trace::Switch, next->id);
  next->state = Thread::State::Running;
  currentId_ = next->id;
  tlThread = next;
  SetCurrentThreadState(&next->locals);
  host_->fiber->SwitchTo(*next->fiber);
  tlThread = host_;
  SetCurrentThreadState(nullptr);
  currentId_ = host_->id;
  AfterSwitch(next);
}

void Scheduler::AfterSwitch(Thread* t) {
  using S = Thread::State;
  bool leavesProcessor =
      t->state == S::Done || t->state == S::Idle || t->state == S::Blocked || t->state == S::Ready || t->state == S::Parked;
  if (leavesProcessor && t->cpu >= 0) {
    auto& stack = cpus_[static_cast<size_t>(t->cpu)];
    if (stack.empty() || stack.back() != t) Violation("'" + t->name + "' left a processor it was not running on");
    stack.pop_back();
    t->cpu = -1;
  }
  if (t->state == S::Spinning) CheckDeadlock(t);
  if (t->state == S::Parked) {
    Forget(t);
    return;
  }
  if (t->state == S::Done) {
    auto it = std::find_if(threads_.begin(), threads_.end(), [t](const auto& p) { return p.get() == t; });
    if (t->kind == Thread::Kind::Carrier) std::replace(carriers_.begin(), carriers_.end(), t, static_cast<Thread*>(nullptr));
    threads_.erase(it);
  }
}

void Scheduler::ReturnToHost(Thread* self) { self->fiber->SwitchTo(*host_->fiber); }

void Scheduler::ThreadMain(void* arg) {
  auto* self = static_cast<Thread*>(arg);
  Scheduler& s = *gCurrent;
  if (!self->exit) {
    self->started = true;
    self->body();
    if (Irql() != PASSIVE_LEVEL) Violation("thread '" + self->name + "' ended above PASSIVE_LEVEL");
    if (self->attached != nullptr) Violation("thread '" + self->name + "' ended attached to another process");
  }
  self->state = Thread::State::Done;
  self->fiber->ExitTo(*s.host_->fiber);
}

void Scheduler::CarrierMain(void* arg) {
  auto* self = static_cast<Thread*>(arg);
  Scheduler& s = *gCurrent;
  while (!self->exit) {
    Irql() = DISPATCH_LEVEL;
    {
      Callback job = std::move(self->job);
      job();
    }
    if (Irql() != DISPATCH_LEVEL) Violation("a DPC or event returned at an IRQL other than DISPATCH_LEVEL");
    self->state = Thread::State::Idle;
    s.ReturnToHost(self);
  }
  self->state = Thread::State::Done;
  self->fiber->ExitTo(*s.host_->fiber);
}

void Scheduler::Yield() {
  Thread* self = Self();
  if (Irql() > APC_LEVEL) Violation("yield above APC_LEVEL");
  if (self->kind == Thread::Kind::Host) {
    RunUntilIdle();
    return;
  }
  ParkIfKilled(self);
  self->state = Thread::State::Ready;
  ready_.push_back(self);
  ReturnToHost(self);
}

void Scheduler::SetProcessors(uint32_t count) {
  if (count == 0 || count > 64) Violation("a machine has 1 to 64 processors");
  for (const auto& stack : cpus_)
    if (!stack.empty()) Violation("the processor count changed while processors were busy");
  processors_ = count;
  cpus_.clear();
}

void Scheduler::SetSeed(uint64_t seed) {
  for (const auto& stack : cpus_)
    if (!stack.empty()) Violation("the interleaving seed changed while processors were busy");
  seed_ = seed;
  rng_ = seed;
  gPreemptionPointsLive = gPreemptionPointsLive || seed != 0;
  SetViolationNote(seed == 0 ? std::string() : "interleaving seed " + std::to_string(seed));
}

uint32_t Scheduler::Choose(uint32_t n) {
  if (seed_ == 0 || n <= 1) return 0;
  // splitmix64: cheap, and every seed gives its own stream.
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z % n);
}

void Scheduler::Preempt() {
  Thread* self = tlThread;
  if (self != nullptr) ParkIfKilled(self);
  // The host is the pump: test code and scenario steps are never overtaken halfway.
  if (seed_ == 0 || shuttingDown_ || self == nullptr || self->kind == Thread::Kind::Host) return;
  if (Choose(3) != 0) return;
  Record(Trace::Preempt, self->id);
  self->state = Thread::State::Preempted;
  ReturnToHost(self);
}

void Scheduler::SpinUntilFree(volatile KSPIN_LOCK* lock, KSPIN_LOCK holder) {
  Thread* self = Self();
  Record(Trace::Spin, self->id);
  self->spinOn = lock;
  if (self->kind == Thread::Kind::Host) {
    {
      PumpScope scope(hostWaits_, self->drainingDpcs);
      PumpInside([lock] { return *lock == 0; }, INT64_MAX, false);
    }
    self->spinOn = nullptr;
    if (*lock != 0) {
      auto* owner = reinterpret_cast<Thread*>(holder & ~KSPIN_LOCK{1});
      bool known = std::any_of(threads_.begin(), threads_.end(), [owner](const auto& p) { return p.get() == owner; });
      Violation("deadlock: the host spins on a spin lock held by '" + (known ? owner->name : std::string("?")) +
                "', which cannot run");
    }
    return;
  }
  self->state = Thread::State::Spinning;
  if (seed_ == 0) spinners_.push_back(self);
  ReturnToHost(self);
  self->spinOn = nullptr;
}

void Scheduler::LockReleased(volatile KSPIN_LOCK* lock) {
  if (spinners_.empty()) return;
  for (auto it = spinners_.begin(); it != spinners_.end();) {
    Thread* t = *it;
    if (t->spinOn == lock) {
      t->state = Thread::State::Ready;
      ready_.push_back(t);
      it = spinners_.erase(it);
    } else {
      ++it;
    }
  }
}

void Scheduler::CheckDeadlock(Thread* spinner) {
  std::string chain = "'" + spinner->name + "'";
  Thread* t = spinner;
  for (size_t hops = 0; hops <= threads_.size(); ++hops) {
    auto* owner = reinterpret_cast<Thread*>(*t->spinOn & ~KSPIN_LOCK{1});
    bool known = std::any_of(threads_.begin(), threads_.end(), [owner](const auto& p) { return p.get() == owner; });
    if (!known) return;  // released meanwhile, or held outside the scheduler's threads
    chain += " spins on a spin lock held by '" + owner->name + "'";
    if (owner == spinner) Violation("deadlock: " + chain);
    using S = Thread::State;
    if (owner->state == S::Blocked || owner->state == S::Done)
      Violation("deadlock: " + chain + ", which " + (owner->state == S::Done ? "has ended" : "waits"));
    if (owner->state != S::Spinning || owner->spinOn == nullptr || owner->kind == Thread::Kind::Host) return;
    chain += ", which";
    t = owner;
  }
}

std::string Scheduler::Holders() const {
  std::string text;
  for (const auto& t : threads_) {
    if (t->state != Thread::State::Spinning || t->spinOn == nullptr) continue;
    auto* owner = reinterpret_cast<const Thread*>(*t->spinOn & ~KSPIN_LOCK{1});
    bool known = std::any_of(threads_.begin(), threads_.end(), [owner](const auto& p) { return p.get() == owner; });
    text += " '" + t->name + "' spins on a lock held by '" + (known ? owner->name : std::string("?")) + "';";
  }
  return text;
}

void Scheduler::Stall(VTime dt) {
  if (dt <= 0) return;
  Thread* self = Self();
  VTime until = now_ + dt;
  Record(Trace::Stall, static_cast<uint64_t>(dt));
  if (self->kind == Thread::Kind::Host) {
    PumpScope scope(hostWaits_, self->drainingDpcs);
    PumpInside(nullptr, until, true);
    return;
  }
  self->stallUntil = until;
  self->state = Thread::State::Stalled;
  if (seed_ == 0) {
    At(until, [this, self] {
      if (self->state != Thread::State::Stalled) return;
      self->state = Thread::State::Ready;
      ready_.push_back(self);
    });
  }
  ReturnToHost(self);
}

void Scheduler::AdvanceTo(VTime t) {
  if (t <= now_) return;
  if (realTime_) {
    int64_t wait = wallStartNs_ + (t - virtStart_) - WallNs();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  }
  now_ = t;
}

void Scheduler::RunEvent(EventHeap& heap) {
  uint32_t slot = TakeEvent(heap);
  EventSlot& e = slots_[slot];
  VTime time = e.time;
  KIRQL irql = e.irql;
  uint64_t seq = e.seq;
  uint64_t label = e.label;
  Callback fn = std::move(e.fn);
  std::string what = keepTrace_ ? e.what : std::string();
  FreeSlot(slot);
  AdvanceTo(time);
  Record(Trace::Event, seq, label);
  if (keepTrace_ && !what.empty()) trace_.back() += " " + what;
  KIRQL saved = Irql();
  Irql() = irql;
  fn();
  if (Irql() != irql) Violation("an event returned at a different IRQL than it was given");
  Irql() = saved;
}

bool Scheduler::RunOneThing(VTime limit) {
  if (seed_ != 0) return RunOneSeeded(limit);
  if (!dpcs_.empty()) {
    DrainDpcs();
    return true;
  }
  if (!ready_.empty()) {
    Thread* t = ready_.front();
    ready_.pop_front();
    SwitchTo(t);
    return true;
  }
  EventHeap* due = DueEvent(limit, hostWaits_ == 0);
  if (due == nullptr) {
    if (limit == INT64_MAX && !spinners_.empty() && liveEvents_ == 0) Violation("deadlock:" + Holders());
    return false;
  }
  RunEvent(*due);
  return true;
}

Scheduler::Thread* Scheduler::Carrier(uint32_t cpu) {
  if (carriers_.size() < cpus_.size()) carriers_.resize(cpus_.size(), nullptr);
  if (carriers_[cpu] != nullptr) return carriers_[cpu];
  auto t = std::make_unique<Thread>();
  Thread* raw = t.get();
  raw->id = nextThreadId_++;
  raw->name = "processor " + std::to_string(cpu);
  raw->kind = Thread::Kind::Carrier;
  raw->state = Thread::State::Idle;
  raw->started = true;
  raw->fiber = std::make_unique<Fiber>(kStackBytes, &Scheduler::CarrierMain, raw);
  threads_.push_back(std::move(t));
  carriers_[cpu] = raw;
  return raw;
}

void Scheduler::RunOnCarrier(uint32_t cpu, Callback fn, uint64_t label) {
  Thread* c = Carrier(cpu);
  c->job = std::move(fn);
  c->cpu = static_cast<int>(cpu);
  cpus_[cpu].push_back(c);
  if (label != 0) Record(Trace::Note, label);
  SwitchTo(c);
}

bool Scheduler::Resumable(const Thread* t) const {
  switch (t->state) {
    case Thread::State::Preempted: return true;
    case Thread::State::Spinning: return *t->spinOn == 0;
    case Thread::State::Stalled: return now_ >= t->stallUntil;
    default: return false;
  }
}

bool Scheduler::Interruptible(const Thread* t) const {
  return t->kind != Thread::Kind::Carrier && t->locals.irql < DISPATCH_LEVEL &&
         (t->state == Thread::State::Preempted || t->state == Thread::State::Stalled);
}

bool Scheduler::RunOneSeeded(VTime limit) {
  if (cpus_.size() != processors_) cpus_.resize(processors_);
  choices_.clear();
  EventHeap* due = DueEvent(now_, hostWaits_ == 0);
  bool dueDispatch = due == &dispatchEvents_;
  bool duePassive = due == &passiveEvents_;
  for (uint32_t p = 0; p < cpus_.size(); ++p) {
    const auto& stack = cpus_[p];
    if (stack.empty()) {
      if (!dpcs_.empty()) choices_.push_back({Choice::StartDpc, p});
      if (!ready_.empty()) choices_.push_back({Choice::StartThread, p});
      if (dueDispatch) choices_.push_back({Choice::StartEvent, p});
      continue;
    }
    const Thread* top = stack.back();
    if (Resumable(top)) choices_.push_back({Choice::Resume, p});
    if (Interruptible(top)) {
      if (!dpcs_.empty()) choices_.push_back({Choice::StartDpc, p});
      if (dueDispatch) choices_.push_back({Choice::StartEvent, p});
      if (top->state == Thread::State::Preempted && stack.size() == 1 && !ready_.empty())
        choices_.push_back({Choice::SwitchThread, p});
    }
  }
  if (duePassive) choices_.push_back({Choice::PassiveEvent, 0});

  if (choices_.empty()) {
    VTime next = INT64_MAX;
    if (EventHeap* ev = DueEvent(INT64_MAX, hostWaits_ == 0)) next = ev->front().time;
    bool spinning = false;
    for (const auto& stack : cpus_) {
      if (stack.empty()) continue;
      if (stack.back()->state == Thread::State::Stalled) next = std::min(next, stack.back()->stallUntil);
      if (stack.back()->state == Thread::State::Spinning) spinning = true;
    }
    if (next == INT64_MAX) {
      if (spinning && limit == INT64_MAX) Violation("deadlock:" + Holders());
      return false;
    }
    if (next > limit) return false;
    AdvanceTo(next);
    return true;
  }

  Choice c = choices_[Choose(static_cast<uint32_t>(choices_.size()))];
  switch (c.kind) {
    case Choice::Resume:
      SwitchTo(cpus_[c.cpu].back());
      break;
    case Choice::StartDpc: {
      Callback fn = dpcs_.pop();
      Record(Trace::Dpc, c.cpu);
      RunOnCarrier(c.cpu, std::move(fn), 0);
      break;
    }
    case Choice::SwitchThread: {
      Thread* out = cpus_[c.cpu].back();
      cpus_[c.cpu].pop_back();
      out->cpu = -1;
      out->state = Thread::State::Ready;
      ready_.push_back(out);
      [[fallthrough]];
    }
    case Choice::StartThread: {
      Thread* t = ready_.front();
      ready_.pop_front();
      t->cpu = static_cast<int>(c.cpu);
      cpus_[c.cpu].push_back(t);
      SwitchTo(t);
      break;
    }
    case Choice::StartEvent: {
      uint32_t slot = TakeEvent(*due);
      uint64_t seq = slots_[slot].seq;
      uint64_t label = slots_[slot].label;
      Callback fn = std::move(slots_[slot].fn);
      FreeSlot(slot);
      Record(Trace::Event, seq, c.cpu);
      RunOnCarrier(c.cpu, std::move(fn), label);
      break;
    }
    case Choice::PassiveEvent:
      RunEvent(*due);
      break;
  }
  return true;
}

void Scheduler::PumpInside(const std::function<bool()>& done, VTime limit, bool advanceToLimit) {
  while (!(done && done())) {
    if (!RunOneThing(limit)) break;
  }
  if (advanceToLimit && !(done && done())) AdvanceTo(limit);
}

void Scheduler::Pump(const std::function<bool()>& done, VTime limit, bool advanceToLimit) {
  if (Self() != host_) Violation("only the host thread pumps the scheduler");
  if (Irql() != PASSIVE_LEVEL) Violation("the scheduler was pumped above PASSIVE_LEVEL");
  PumpInside(done, limit, advanceToLimit);
}

void Scheduler::RunUntilIdle() { Pump(nullptr, now_, false); }
void Scheduler::RunFor(VTime dt) { RunUntil(now_ + dt); }
void Scheduler::RunUntil(VTime t) { Pump(nullptr, t, true); }

bool Scheduler::RunUntil(const std::function<bool()>& done, VTime limit) {
  Pump(done, limit, false);
  return done();
}

void Scheduler::SetRealTime(bool on) {
  realTime_ = on;
  wallStartNs_ = WallNs();
  virtStart_ = now_;
}

void Scheduler::KeepRecord(Trace kind, uint64_t a, uint64_t b) { KeepLine(trace_, now_, tlThread, kind, a, b); }

// The time, the kind and thread, and the length start the four lanes; the bytes go into them 64 at
// a time, the last part padded with zeros (the length tells it apart). One changed word changes
// its lane and so the hash.
void Scheduler::RecordBytes(Trace kind, std::span<const uint8_t> bytes) {
  const uint64_t who = static_cast<uint64_t>(kind) << 32 | currentId_;
  uint64_t l0 = static_cast<uint64_t>(now_), l1 = who, l2 = bytes.size(), l3 = kLaneSeed;
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  for (; end - p >= kRoundBytes; p += kRoundBytes) {
    l0 = Absorb(l0, LoadWord(p), LoadWord(p + 8));
    l1 = Absorb(l1, LoadWord(p + 16), LoadWord(p + 24));
    l2 = Absorb(l2, LoadWord(p + 32), LoadWord(p + 40));
    l3 = Absorb(l3, LoadWord(p + 48), LoadWord(p + 56));
  }
  if (p != end) {
    // The word at `at` of the last part, read in place rather than copied out, so no partial store
    // stands in the way of the loads.
    auto word = [&](ptrdiff_t at) -> uint64_t {
      const ptrdiff_t left = end - p - at;
      if (left >= 8) return LoadWord(p + at);
      if (left <= 0) return 0;
      if (end - bytes.data() >= 8) return LoadWord(end - 8) >> (64 - 8 * left);
      uint64_t w = 0;
      for (ptrdiff_t i = 0; i < left; ++i) w |= uint64_t{p[at + i]} << (8 * i);
      return w;
    };
    l0 = Absorb(l0, word(0), word(8));
    l1 = Absorb(l1, word(16), word(24));
    l2 = Absorb(l2, word(32), word(40));
    l3 = Absorb(l3, word(48), word(56));
  }
  Mix(Fold(Fold(l0, l1), Fold(l2, l3)));
  if (keepTrace_) [[unlikely]]
    KeepBytesLine(trace_, now_, tlThread, kind, bytes.size());
}

void Scheduler::Note(std::string_view text) {
  RecordBytes(Trace::Note, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  if (keepTrace_) trace_.back() = std::to_string(now_) + " " + (tlThread ? tlThread->name : std::string("?")) + " " +
                                  std::string(text);
}

bool Scheduler::Satisfiable(Thread* t, DISPATCHER_HEADER* obj) const {
  if (obj->Type == DispatcherMutant) {
    auto* m = reinterpret_cast<KMUTANT*>(obj);
    return obj->SignalState > 0 || m->OwnerThread == reinterpret_cast<PKTHREAD>(t);
  }
  return obj->SignalState > 0;
}

void Scheduler::Consume(Thread* t, DISPATCHER_HEADER* obj) {
  switch (obj->Type) {
    case DispatcherSynchronizationEvent:
    case DispatcherSynchronizationTimer:
      obj->SignalState = 0;
      break;
    case DispatcherMutant:
      obj->SignalState -= 1;
      reinterpret_cast<KMUTANT*>(obj)->OwnerThread = reinterpret_cast<PKTHREAD>(t);
      break;
    case DispatcherSemaphore:
      obj->SignalState -= 1;
      break;
    default:
      break;
  }
}

bool Scheduler::TrySatisfy(Thread* t) {
  if (t->objects.empty()) return false;
  if (t->waitType == WaitAny) {
    for (size_t i = 0; i < t->objects.size(); ++i) {
      if (Satisfiable(t, t->objects[i])) {
        Consume(t, t->objects[i]);
        t->waitStatus = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        return true;
      }
    }
    return false;
  }
  for (auto* obj : t->objects)
    if (!Satisfiable(t, obj)) return false;
  for (auto* obj : t->objects) Consume(t, obj);
  t->waitStatus = STATUS_WAIT_0;
  return true;
}

void Scheduler::WakeWithStatus(Thread* t, NTSTATUS status) {
  t->waiting = false;
  t->waitStatus = status;
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), t));
  if (t->timeoutEvent != 0) {
    Cancel(t->timeoutEvent);
    t->timeoutEvent = 0;
  }
  if (t->kind != Thread::Kind::Host) {
    t->state = Thread::State::Ready;
    ready_.push_back(t);
  }
}

NTSTATUS Scheduler::Wait(DISPATCHER_HEADER* const* objects, ULONG count, WAIT_TYPE type, const VTime* deadline,
                         bool abortable) {
  Thread* self = Self();
  ParkIfKilled(self, abortable);
  bool polling = deadline != nullptr && *deadline <= now_;
  if (Irql() > (polling ? DISPATCH_LEVEL : APC_LEVEL))
    Violation("wait at IRQL " + std::to_string(Irql()) + " by '" + self->name + "'");
  self->objects.assign(objects, objects + count);
  self->waitType = type;
  if (TrySatisfy(self)) return self->waitStatus;
  if (polling) return STATUS_TIMEOUT;
  if (deadline == nullptr && count == 0) Violation("a wait on nothing without a time-out");
  self->abortable = abortable;
  self->waiting = true;
  waiters_.push_back(self);
  if (deadline != nullptr) {
    self->timeoutEvent = At(*deadline, [this, self] {
      self->timeoutEvent = 0;
      if (self->waiting) WakeWithStatus(self, STATUS_TIMEOUT);
    });
  }
  if (self->kind == Thread::Kind::Host) {
    ++hostWaits_;
    Pump([self] { return !self->waiting; }, INT64_MAX, false);
    --hostWaits_;
    if (self->waiting) {
      if (shuttingDown_) return STATUS_TIMEOUT;
      Violation("the host waits for ever: no thread can run and no event is due");
    }
  } else {
    self->state = Thread::State::Blocked;
    ReturnToHost(self);
  }
  self->abortable = false;
  self->objects.clear();
  return self->waitStatus;
}

void Scheduler::Signal(DISPATCHER_HEADER* object) {
  std::vector<Thread*> candidates;
  for (Thread* w : waiters_)
    if (std::find(w->objects.begin(), w->objects.end(), object) != w->objects.end()) candidates.push_back(w);
  for (Thread* w : candidates) {
    if (object->SignalState <= 0 && object->Type != DispatcherMutant) break;
    if (w->waiting && TrySatisfy(w)) WakeWithStatus(w, w->waitStatus);
  }
}

void Scheduler::Shutdown() {
  if (Self() != host_) Violation("the scheduler was destroyed off the host thread");
  shuttingDown_ = true;
  dispatchEvents_.clear();
  passiveEvents_.clear();
  slots_.clear();
  freeSlots_.clear();
  liveEvents_ = 0;
  dpcs_.clear();
  using S = Thread::State;
  // What can end cleanly does: idle processors, threads that never ran, and system threads idle
  // in a wait, which are told the machine is ending.
  bool progress = true;
  while (progress) {
    progress = false;
    for (auto& p : threads_) {
      Thread* t = p.get();
      if (t->kind == Thread::Kind::Host || t->state == S::Done) continue;
      bool idleCarrier = t->kind == Thread::Kind::Carrier && t->state == S::Idle;
      bool neverRan = !t->started && t->state == S::Ready;
      bool idleSystem = t->kind == Thread::Kind::System && t->waiting;
      if (!idleCarrier && !neverRan && !idleSystem) continue;
      if (idleSystem) {
        WakeWithStatus(t, STATUS_THREAD_IS_TERMINATING);
        ready_.erase(std::remove(ready_.begin(), ready_.end(), t), ready_.end());
      } else {
        t->exit = true;
        ready_.erase(std::remove(ready_.begin(), ready_.end(), t), ready_.end());
      }
      SwitchTo(t);
      progress = true;
      break;
    }
  }
  // The rest are parked where they stand, never unwound, as the threads of a killed process.
  for (auto& p : threads_) {
    Thread* t = p.get();
    if (t->kind == Thread::Kind::Host || t->state == S::Done) continue;
    gAbandoned.push_back(t->name);
    t->fiber->Keep();
    (void)p.release();
  }
  threads_.clear();
  waiters_.clear();
  ready_.clear();
  spinners_.clear();
  cpus_.clear();
  carriers_.clear();
}

}  // namespace plat

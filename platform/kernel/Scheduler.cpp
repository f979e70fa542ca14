#include "platform/kernel/Scheduler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/kernel/Verifier.h"

namespace plat {

struct Scheduler::Thread {
  enum class State { Ready, Running, Blocked, Done };
  uint32_t id = 0;
  std::string name;
  std::function<void()> body;
  std::thread os;
  std::mutex m;
  std::condition_variable cv;
  bool baton = false;
  State state = State::Ready;
  bool isHost = false;
  bool killed = false;
  // The current wait.
  std::vector<DISPATCHER_HEADER*> objects;
  WAIT_TYPE waitType = WaitAny;
  bool waiting = false;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  uint64_t timeoutEvent = 0;
};

namespace {

Scheduler* gCurrent = nullptr;
thread_local Scheduler::Thread* tlThread = nullptr;
thread_local KIRQL tlIrql = PASSIVE_LEVEL;

// Unwinds a simulated thread that is still blocked when the machine shuts down.
struct ThreadKilled {};

int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void GiveBaton(Scheduler::Thread* t) {
  {
    std::lock_guard<std::mutex> lock(t->m);
    t->baton = true;
  }
  t->cv.notify_one();
}

void TakeBaton(Scheduler::Thread* t) {
  std::unique_lock<std::mutex> lock(t->m);
  t->cv.wait(lock, [t] { return t->baton; });
  t->baton = false;
}

}  // namespace

KIRQL& CurrentIrqlRef() { return tlIrql; }

Scheduler::Scheduler() {
  static uint64_t serials = 0;
  serial_ = ++serials;
  if (gCurrent != nullptr) Violation("a second scheduler was created while one exists");
  gCurrent = this;
  auto host = std::make_unique<Thread>();
  host->id = nextThreadId_++;
  host->name = "host";
  host->isHost = true;
  host->state = Thread::State::Running;
  host_ = current_ = host.get();
  tlThread = host_;
  tlIrql = PASSIVE_LEVEL;
  threads_.push_back(std::move(host));
}

Scheduler::~Scheduler() {
  Shutdown();
  tlThread = nullptr;
  gCurrent = nullptr;
}

Scheduler& Scheduler::Current() {
  if (gCurrent == nullptr) Violation("the kernel stand-in was used with no scheduler");
  return *gCurrent;
}

Scheduler* Scheduler::TryCurrent() { return gCurrent; }

Scheduler::Thread* Scheduler::Self() const {
  if (tlThread == nullptr) Violation("a thread unknown to the scheduler called the kernel stand-in");
  return tlThread;
}

uint64_t Scheduler::At(VTime t, std::function<void()> fn, KIRQL irql, std::string_view what) {
  if (irql != PASSIVE_LEVEL && irql != DISPATCH_LEVEL) Violation("events run at PASSIVE_LEVEL or DISPATCH_LEVEL");
  t = std::max(t, now_);
  uint64_t seq = nextSeq_++;
  events_.emplace(std::make_pair(t, seq), Event{t, seq, irql, std::move(fn), std::string(what)});
  eventTimes_.emplace(seq, t);
  return seq;
}

uint64_t Scheduler::After(VTime dt, std::function<void()> fn, KIRQL irql, std::string_view what) {
  return At(now_ + std::max<VTime>(dt, 0), std::move(fn), irql, what);
}

bool Scheduler::Cancel(uint64_t id) {
  auto it = eventTimes_.find(id);
  if (it == eventTimes_.end()) return false;
  events_.erase(std::make_pair(it->second, id));
  eventTimes_.erase(it);
  return true;
}

bool Scheduler::Pending(uint64_t id) const { return eventTimes_.count(id) != 0; }

void Scheduler::QueueDpc(std::function<void()> fn) {
  dpcs_.push_back(std::move(fn));
  if (tlIrql < DISPATCH_LEVEL) DrainDpcs();
}

void Scheduler::DrainDpcs() {
  if (drainingDpcs_ > 0 || tlIrql >= DISPATCH_LEVEL) return;
  ++drainingDpcs_;
  while (!dpcs_.empty()) {
    auto fn = std::move(dpcs_.front());
    dpcs_.pop_front();
    Note("dpc");
    KIRQL saved = tlIrql;
    tlIrql = DISPATCH_LEVEL;
    fn();
    if (tlIrql != DISPATCH_LEVEL) Violation("a DPC returned at an IRQL other than DISPATCH_LEVEL");
    tlIrql = saved;
  }
  --drainingDpcs_;
}

uint32_t Scheduler::Spawn(std::string name, std::function<void()> body) {
  auto t = std::make_unique<Thread>();
  Thread* raw = t.get();
  raw->id = nextThreadId_++;
  raw->name = std::move(name);
  raw->body = std::move(body);
  raw->state = Thread::State::Ready;
  Thread* host = host_;
  raw->os = std::thread([raw, host] {
    TakeBaton(raw);
    tlThread = raw;
    tlIrql = PASSIVE_LEVEL;
    if (!raw->killed) {
      try {
        raw->body();
      } catch (const ThreadKilled&) {
      }
    }
    if (tlIrql != PASSIVE_LEVEL && !raw->killed)
      Violation("thread '" + raw->name + "' ended above PASSIVE_LEVEL");
    raw->state = Thread::State::Done;
    GiveBaton(host);
  });
  threads_.push_back(std::move(t));
  ready_.push_back(raw);
  Note("spawn " + raw->name);
  return raw->id;
}

bool Scheduler::ThreadDone(uint32_t id) const {
  for (const auto& t : threads_)
    if (t->id == id) return t->state == Thread::State::Done;
  return true;
}

uint32_t Scheduler::CurrentThreadId() const { return Self()->id; }
std::string Scheduler::CurrentThreadName() const { return Self()->name; }
PKTHREAD Scheduler::CurrentKThread() const { return reinterpret_cast<PKTHREAD>(Self()); }

size_t Scheduler::LiveThreads() const {
  size_t n = 0;
  for (const auto& t : threads_)
    if (!t->isHost && t->state != Thread::State::Done) ++n;
  return n;
}

void Scheduler::SwitchTo(Thread* next) {
  Note("run " + next->name);
  next->state = Thread::State::Running;
  current_ = next;
  GiveBaton(next);
  TakeBaton(host_);
  current_ = host_;
  if (next->state == Thread::State::Done) {
    next->os.join();
    auto it = std::find_if(threads_.begin(), threads_.end(), [next](const auto& p) { return p.get() == next; });
    threads_.erase(it);
  }
}

void Scheduler::ReturnToHost(Thread* self) {
  GiveBaton(host_);
  TakeBaton(self);
  tlThread = self;
  if (self->killed) throw ThreadKilled{};
}

void Scheduler::Yield() {
  Thread* self = Self();
  if (tlIrql > APC_LEVEL) Violation("yield above APC_LEVEL");
  if (self->isHost) {
    RunUntilIdle();
    return;
  }
  self->state = Thread::State::Ready;
  ready_.push_back(self);
  ReturnToHost(self);
}

bool Scheduler::RunOneThing(VTime limit) {
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
  // A PASSIVE_LEVEL event is a step of the scenario: it never runs inside a wait of the host,
  // where it would re-enter code that is waiting.
  auto it = events_.begin();
  if (hostWaits_ > 0)
    while (it != events_.end() && it->second.irql == PASSIVE_LEVEL) ++it;
  if (it == events_.end() || it->first.first > limit) return false;
  Event ev = std::move(it->second);
  events_.erase(it);
  eventTimes_.erase(ev.seq);
  if (ev.time > now_) {
    if (realTime_) {
      int64_t target = wallStartNs_ + (ev.time - virtStart_);
      int64_t wait = target - WallNs();
      if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    }
    now_ = ev.time;
  }
  if (!ev.what.empty()) Note(ev.what);
  KIRQL saved = tlIrql;
  tlIrql = ev.irql;
  ev.fn();
  if (tlIrql != ev.irql) Violation("event '" + ev.what + "' returned at a different IRQL");
  tlIrql = saved;
  return true;
}

void Scheduler::Pump(const std::function<bool()>& done, VTime limit, bool advanceToLimit) {
  if (Self() != host_) Violation("only the host thread pumps the scheduler");
  if (tlIrql != PASSIVE_LEVEL) Violation("the scheduler was pumped above PASSIVE_LEVEL");
  while (!(done && done())) {
    if (!RunOneThing(limit)) break;
  }
  if (advanceToLimit && now_ < limit && !(done && done())) now_ = limit;
}

void Scheduler::RunUntilIdle() { Pump(nullptr, now_, false); }
void Scheduler::RunFor(VTime dt) { RunUntil(now_ + dt); }
void Scheduler::RunUntil(VTime t) { Pump(nullptr, t, true); }

bool Scheduler::RunUntil(const std::function<bool()>& done, VTime limit) {
  Pump(done, limit, false);
  return done();
}

void Scheduler::Stall(VTime dt) {
  if (dt > 0) now_ += dt;
}

void Scheduler::SetRealTime(bool on) {
  realTime_ = on;
  wallStartNs_ = WallNs();
  virtStart_ = now_;
}

void Scheduler::SetProcessors(uint32_t count) {
  if (count == 0 || count > 64) Violation("a machine has 1 to 64 processors");
  processors_ = count;
}

void Scheduler::SetSeed(uint64_t seed) {
  seed_ = seed;
  rng_ = seed;
}

void Scheduler::Preempt(std::string_view) {}

uint32_t Scheduler::Choose(uint32_t n) {
  if (seed_ == 0 || n <= 1) return 0;
  // splitmix64: cheap, and every seed gives its own stream.
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<uint32_t>(z % n);
}

void Scheduler::Hash(std::string_view text) {
  for (unsigned char c : text) {
    traceHash_ ^= c;
    traceHash_ *= 1099511628211ull;
  }
}

void Scheduler::Note(std::string_view text) {
  std::string line = std::to_string(now_) + " " + (tlThread ? tlThread->name : std::string("?")) + " ";
  line.append(text);
  Hash(line);
  Hash("\n");
  if (keepTrace_) trace_.push_back(std::move(line));
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
  if (!t->isHost) {
    t->state = Thread::State::Ready;
    ready_.push_back(t);
  }
}

NTSTATUS Scheduler::Wait(DISPATCHER_HEADER* const* objects, ULONG count, WAIT_TYPE type, const VTime* deadline) {
  Thread* self = Self();
  bool polling = deadline != nullptr && *deadline <= now_;
  if (tlIrql > (polling ? DISPATCH_LEVEL : APC_LEVEL))
    Violation("wait at IRQL " + std::to_string(tlIrql) + " by '" + self->name + "'");
  self->objects.assign(objects, objects + count);
  self->waitType = type;
  if (TrySatisfy(self)) return self->waitStatus;
  if (polling) return STATUS_TIMEOUT;
  if (deadline == nullptr && count == 0) Violation("a wait on nothing without a time-out");
  self->waiting = true;
  waiters_.push_back(self);
  if (deadline != nullptr) {
    self->timeoutEvent = At(*deadline, [this, self] {
      self->timeoutEvent = 0;
      if (self->waiting) WakeWithStatus(self, STATUS_TIMEOUT);
    });
  }
  if (self->isHost) {
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
  events_.clear();
  eventTimes_.clear();
  dpcs_.clear();
  while (true) {
    Thread* victim = nullptr;
    for (auto& t : threads_)
      if (!t->isHost && t->state != Thread::State::Done) victim = t.get();
    if (victim == nullptr) break;
    victim->killed = true;
    if (victim->waiting) {
      victim->waiting = false;
      waiters_.erase(std::find(waiters_.begin(), waiters_.end(), victim));
    }
    ready_.erase(std::remove(ready_.begin(), ready_.end(), victim), ready_.end());
    SwitchTo(victim);
  }
}

}  // namespace plat

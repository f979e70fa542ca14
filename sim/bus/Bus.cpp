#include "sim/bus/Bus.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/Verifier.h"

namespace sim {

namespace {
constexpr uint64_t kAddressSpace = uint64_t{1} << 48;
}

Bus::Bus(plat::Scheduler& scheduler, BusConfig config) : sched_(scheduler), config_(config) {}

Bus::~Bus() {
  if (cycleArmed_) sched_.Cancel(cycleEvent_);
  for (Node* n : order_) {
    n->bus_ = nullptr;
    n->OnDetached();
  }
}

bool Bus::Attach(Node& node) {
  if (node.bus_ != nullptr || order_.size() >= kMaxNodes) return false;
  node.bus_ = this;
  order_.push_back(&node);
  Reset();
  return true;
}

void Bus::Detach(Node& node) {
  auto it = std::find(order_.begin(), order_.end(), &node);
  if (it == order_.end()) return;
  order_.erase(it);
  for (auto& ch : channels_) std::erase(ch.listeners, &node);
  std::erase(cycleClients_, &node);
  node.bus_ = nullptr;
  node.nodeId_ = 63;
  node.OnDetached();
  Reset();
}

void Bus::Reset(Renumber renumber) {
  ++generation_;
  channelsTaken_.fill(false);
  bandwidth_ = kBandwidthUnits;
  // The reset takes the next cycles to run.
  uint64_t next = std::max(nextCycle_, static_cast<uint64_t>((sched_.Now() + plat::kNsPerCycle - 1) / plat::kNsPerCycle));
  silentUntil_ = std::max(silentUntil_, next + config_.resetCycles);
  if (config_.resetCycles != 0) busyUntil_ = static_cast<plat::VTime>(silentUntil_) * plat::kNsPerCycle;
  if (renumber == Renumber::Rotate && order_.size() > 1) std::rotate(order_.begin(), order_.begin() + 1, order_.end());
  AssignNodeIds();
  sched_.Record(plat::Scheduler::Trace::BusReset, generation_, order_.size());
  std::vector<Node*> nodes = order_;
  for (Node* n : nodes)
    if (n->bus_ == this) n->OnBusReset();
}

void Bus::AssignNodeIds() {
  for (size_t i = 0; i < order_.size(); ++i) order_[i]->nodeId_ = static_cast<uint8_t>(i);
}

Node* Bus::NodeAt(uint8_t id) const { return id < order_.size() ? order_[id] : nullptr; }

std::optional<uint8_t> Bus::NodeIdOf(uint64_t guid) const {
  for (Node* n : order_)
    if (n->Guid() == guid) return n->NodeId();
  return std::nullopt;
}

AsyncStatus Bus::Route(uint8_t dest, uint32_t generation, Node** target) {
  *target = nullptr;
  if (generation != generation_) return AsyncStatus::StaleGeneration;
  Node* n = NodeAt(dest);
  if (n == nullptr || unreachable_.count(n->Guid()) != 0) return AsyncStatus::Departed;
  auto f = asyncFaults_.find(n->Guid());
  if (f != asyncFaults_.end()) {
    AsyncStatus s = f->second.status;
    if (--f->second.count == 0) asyncFaults_.erase(f);
    return s;
  }
  *target = n;
  return AsyncStatus::Complete;
}

// Transactions are reused with their buffers, so one costs no allocation once the bus has carried
// as many at once before.
Bus::Transaction* Bus::NewTransaction(const Node& source, uint8_t dest, uint64_t offset, uint32_t length,
                                      uint32_t generation, bool write) {
  if (freeTransactions_.empty()) {
    transactions_.push_back(std::make_unique<Transaction>());
    freeTransactions_.push_back(transactions_.back().get());
  }
  Transaction* t = freeTransactions_.back();
  freeTransactions_.pop_back();
  t->from = source.NodeId();
  t->dest = dest;
  t->destination = 0;
  t->offset = offset;
  t->length = length;
  t->generation = generation;
  t->write = write;
  t->carried = false;
  t->status = AsyncStatus::Complete;
  return t;
}

void Bus::Recycle(Transaction* t) {
  t->readDone = nullptr;
  t->writeDone = nullptr;
  freeTransactions_.push_back(t);
}

bool Bus::Read(const Node& source, uint8_t dest, uint64_t offset, uint32_t length, uint32_t generation, ReadDone done,
               const Steering* steering) {
  Transaction* t = NewTransaction(source, dest, offset, length, generation, false);
  t->data.clear();
  t->readDone = std::move(done);
  return Issue(t, steering);
}

bool Bus::Write(const Node& source, uint8_t dest, uint64_t offset, std::span<const uint8_t> data,
                uint32_t generation, WriteDone done, const Steering* steering) {
  Transaction* t = NewTransaction(source, dest, offset, static_cast<uint32_t>(data.size()), generation, true);
  t->data.assign(data.begin(), data.end());
  t->writeDone = std::move(done);
  return Issue(t, steering);
}

void Bus::Steer(Steering steering, uint32_t count, std::optional<uint64_t> destination) {
  if (count != 0) rules_.push_back(Rule{steering, count, destination, std::nullopt});
}

void Bus::SteerWrites(Steering steering, uint32_t count, uint64_t destination, uint64_t offset) {
  if (count != 0) rules_.push_back(Rule{steering, count, destination, offset});
}

Steering Bus::TakeSteering(const Transaction& t) {
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->destination && *it->destination != t.destination) continue;
    if (it->writeOffset && (!t.write || *it->writeOffset != t.offset)) continue;
    Steering s = it->steering;
    if (--it->count == 0) rules_.erase(it);
    return s;
  }
  return Steering{};
}

// What one node sends another keeps its order, however the latency varies, and arrives one
// packet at a time, as on the wire: no two arrivals of a pair share an instant, so no two
// processors can take them at once.
plat::VTime Bus::ArrivalTime(uint8_t from, uint8_t dest) {
  plat::VTime jitter = static_cast<plat::VTime>(sched_.Choose(4)) * config_.asyncLatency / 2;
  plat::VTime& last = from < 64 && dest < 64 ? lastArrival_[from][dest] : lastArrivalBeyond_[{from, dest}];
  const plat::VTime sent = std::max(sched_.Now(), busyUntil_);
  last = std::max(last + 1, sent + config_.asyncLatency + jitter);
  return last;
}

bool Bus::Issue(Transaction* t, const Steering* steering) {
  sched_.Record(plat::Scheduler::Trace::AsyncRequest,
                static_cast<uint64_t>(t->from) << 56 | static_cast<uint64_t>(t->dest) << 48 | t->offset,
                static_cast<uint64_t>(t->length) << 1 | (t->write ? 1 : 0));
  if (t->write) sched_.RecordBytes(plat::Scheduler::Trace::AsyncRequest, t->data);
  Node* target = NodeAt(t->dest);
  t->destination = target != nullptr ? target->Guid() : 0;
  Steering s = steering != nullptr ? *steering : TakeSteering(*t);
  switch (s.mode) {
    case TransactionMode::Refuse:
      Recycle(t);
      return false;
    case TransactionMode::Immediate: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(*t, Carry(*t));
      Recycle(t);
      KeLowerIrql(old);
      return true;
    }
    case TransactionMode::HoldRequest:
      held_.push_back(t);
      return true;
    default:
      break;
  }
  sched_.At(ArrivalTime(t->from, t->dest), Guarded([this, t, s] {
    if (s.mode == TransactionMode::Fail) {
      Complete(*t, s.failure);
      Recycle(t);
      return;
    }
    AsyncStatus status = Carry(*t);
    if (s.mode == TransactionMode::HoldResponse) {
      t->carried = true;
      t->status = status;
      held_.push_back(t);
      return;
    }
    Complete(*t, status);
    Recycle(t);
  }));
  return true;
}

AsyncStatus Bus::Carry(Transaction& t) {
  Node* target = nullptr;
  AsyncStatus status;
  if (t.length == 0 || t.length > kMaxAsyncPayload)
    status = AsyncStatus::TypeError;
  else if (t.offset >= kAddressSpace || kAddressSpace - t.offset < t.length)
    status = AsyncStatus::AddressError;
  else if ((status = Route(t.dest, t.generation, &target)) != AsyncStatus::Complete)
    ;
  else if (t.write)
    status = target->OnWrite(t.from, t.offset, t.data);
  else {
    t.data.assign(t.length, 0);
    status = target->OnRead(t.from, t.offset, t.data);
  }
  if (!t.write && status != AsyncStatus::Complete) t.data.clear();
  return status;
}

void Bus::Complete(Transaction& t, AsyncStatus status) {
  sched_.Record(plat::Scheduler::Trace::AsyncDone, static_cast<uint64_t>(status), t.offset);
  if (!t.write && status == AsyncStatus::Complete) sched_.RecordBytes(plat::Scheduler::Trace::AsyncDone, t.data);
  if (t.write) {
    if (t.writeDone) t.writeDone(status);
  } else {
    if (status != AsyncStatus::Complete) t.data.clear();
    if (t.readDone) t.readDone(status, t.data);
  }
}

HeldTransaction Bus::Held(size_t index) const {
  const Transaction& t = *held_.at(index);
  return HeldTransaction{t.destination, t.offset, t.length, t.write, t.carried};
}

void Bus::ReleaseHeld(size_t index) {
  if (index >= held_.size()) plat::Violation("ReleaseHeld of a transaction that is not held");
  Transaction* t = held_[index];
  held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  AsyncStatus status = !t->carried ? Carry(*t) : NodeIdOf(t->destination) ? t->status : AsyncStatus::Departed;
  Complete(*t, status);
  Recycle(t);
  KeLowerIrql(old);
}

void Bus::ReleaseAllHeld() {
  while (!held_.empty()) ReleaseHeld(0);
}

std::optional<uint32_t> Bus::AllocateChannel(std::optional<uint32_t> wanted) {
  if (wanted) {
    if (*wanted >= kChannels || channelsTaken_[*wanted]) return std::nullopt;
    channelsTaken_[*wanted] = true;
    return wanted;
  }
  for (uint32_t c = 0; c < kChannels; ++c) {
    if (!channelsTaken_[c]) {
      channelsTaken_[c] = true;
      return c;
    }
  }
  return std::nullopt;
}

bool Bus::FreeChannel(uint32_t channel) {
  if (!ChannelAllocated(channel)) return false;
  channelsTaken_[channel] = false;
  return true;
}

bool Bus::AllocateBandwidth(uint32_t units) {
  if (units > bandwidth_) return false;
  bandwidth_ -= units;
  return true;
}

void Bus::FreeBandwidth(uint32_t units) {
  bandwidth_ = std::min(kBandwidthUnits, bandwidth_ + units);
}

uint32_t Bus::BandwidthUnits(uint32_t bytesPerPacket, uint8_t speedCode) {
  // One unit is a quadlet's time at S1600; header, CRCs and gap cost about three quadlets more.
  uint32_t unitsPerQuadlet = 16u >> std::min<uint8_t>(speedCode, 2);
  return ((bytesPerPacket + 3) / 4 + 3) * unitsPerQuadlet;
}

void Bus::Listen(Node& node, uint32_t channel) {
  auto& l = channels_[channel & 63].listeners;
  if (std::find(l.begin(), l.end(), &node) == l.end()) l.push_back(&node);
}

void Bus::Unlisten(Node& node, uint32_t channel) { std::erase(channels_[channel & 63].listeners, &node); }

void Bus::WantCycles(Node& node, bool want) {
  auto it = std::find(cycleClients_.begin(), cycleClients_.end(), &node);
  if (want && it == cycleClients_.end()) {
    cycleClients_.push_back(&node);
    ArmCycle();
  } else if (!want && it != cycleClients_.end()) {
    cycleClients_.erase(it);
  }
}

void Bus::ArmCycle() {
  if (cycleArmed_ || cycleClients_.empty()) return;
  uint64_t next = static_cast<uint64_t>((sched_.Now() + plat::kNsPerCycle - 1) / plat::kNsPerCycle);
  next = std::max(next, nextCycle_);
  cycleArmed_ = true;
  cycleEvent_ = sched_.At(static_cast<plat::VTime>(next) * plat::kNsPerCycle, [this, next] { RunCycle(next); });
}

void Bus::RunCycle(uint64_t cycle) {
  cycleArmed_ = false;
  nextCycle_ = cycle + 1;
  sched_.Record(plat::Scheduler::Trace::BusCycle, cycle, cycle < silentUntil_);
  if (cycle < silentUntil_) {
    ++lostCycles_;
    for (size_t i = 0; i < cycleClients_.size(); ++i) cycleClients_[i]->OnLostCycle(cycle);
  } else {
    for (size_t i = 0; i < cycleClients_.size(); ++i) cycleClients_[i]->OnCycle(cycle);
  }
  ArmCycle();
}

bool Bus::Transmit(const Node& talker, uint32_t channel, std::span<const uint8_t> payload, uint8_t tag) {
  if (channel >= kChannels || talker.bus_ != this) return false;
  Channel& ch = channels_[channel];
  uint64_t cycle = CurrentCycle();
  if (ch.lastTxCycle == cycle) {
    ++ch.stats.collisions;
    return false;
  }
  ch.lastTxCycle = cycle;
  ++ch.stats.packets;
  IsoPacket p{channel, IsoHeader(static_cast<uint32_t>(payload.size()), channel, tag), payload.data(),
              static_cast<uint32_t>(payload.size()), cycle, talker.NodeId()};
  if (ch.faults.empty()) {
    Deliver(ch, p);
    return true;
  }
  IsoFault fault = ch.faults.front();
  ch.faults.pop_front();
  switch (fault) {
    case IsoFault::Drop:
      ++ch.stats.dropped;
      return true;
    case IsoFault::Duplicate:
      ++ch.stats.duplicated;
      Deliver(ch, p);
      Deliver(ch, p);
      return true;
    case IsoFault::CorruptLength: {
      uint32_t len = p.payloadLength >= 4 ? p.payloadLength - 4 : p.payloadLength + 4;
      p.header = (p.header & 0xFFFF) | len << 16;
      break;
    }
    case IsoFault::CorruptDbs:
    case IsoFault::CorruptDbc:
      if (payload.size() >= 8) {
        scratch_.assign(payload.begin(), payload.end());
        scratch_[fault == IsoFault::CorruptDbs ? 1 : 3] += 1;
        p.payload = scratch_.data();
      }
      break;
  }
  ++ch.stats.corrupted;
  Deliver(ch, p);
  return true;
}

void Bus::Deliver(Channel& ch, const IsoPacket& packet) {
  sched_.Record(plat::Scheduler::Trace::IsoPacket, packet.header, packet.cycle);
  sched_.RecordBytes(plat::Scheduler::Trace::IsoPacket, {packet.payload, packet.payloadLength});
  for (size_t i = 0; i < ch.listeners.size(); ++i) {
    Node* n = ch.listeners[i];
    if (n->NodeId() != packet.sourceNode) n->OnIsoPacket(packet);
  }
}

void Bus::InjectIsoFault(uint32_t channel, IsoFault fault, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) channels_[channel & 63].faults.push_back(fault);
}

void Bus::FailAsync(uint64_t guid, AsyncStatus status, uint32_t count) {
  if (count == 0)
    asyncFaults_.erase(guid);
  else
    asyncFaults_[guid] = AsyncFault{status, count};
}

void Bus::SetReachable(uint64_t guid, bool reachable) {
  if (reachable)
    unreachable_.erase(guid);
  else
    unreachable_.insert(guid);
}

}  // namespace sim

#include "sim/bus/HostNode.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

constexpr uint64_t kRangeAlign = 0x1000;
constexpr uint64_t kAddressSpace = uint64_t{1} << 48;

}  // namespace

HostNode::HostNode(uint64_t guid) : Node(guid), writing_(ranges_.end()) {}

HostNode::~HostNode() {
  if (GetBus() != nullptr) GetBus()->Detach(*this);
}

uint32_t HostNode::Generation() const { return GetBus() != nullptr ? GetBus()->Generation() : 0; }

std::optional<uint8_t> HostNode::NodeIdOf(uint64_t guid) const {
  return GetBus() != nullptr ? GetBus()->NodeIdOf(guid) : std::nullopt;
}

uint32_t HostNode::CycleTime() const { return GetBus() != nullptr ? GetBus()->CycleTime() : 0; }

uint64_t HostNode::AddResetListener(std::function<void(uint32_t)> fn) {
  resetListeners_.emplace(nextListener_, std::move(fn));
  return nextListener_++;
}

void HostNode::RemoveResetListener(uint64_t id) { resetListeners_.erase(id); }

void HostNode::OnBusReset() {
  uint32_t generation = Generation();
  for (auto it = channels_.begin(); it != channels_.end();) {
    if (GetBus()->AllocateChannel(*it)) {
      ++it;
    } else {
      ++resourcesLost_;
      it = channels_.erase(it);
    }
  }
  for (auto it = bandwidth_.begin(); it != bandwidth_.end();) {
    if (GetBus()->AllocateBandwidth(it->second)) {
      ++it;
    } else {
      ++resourcesLost_;
      it = bandwidth_.erase(it);
    }
  }
  GetBus()->Sched().After(0, Guarded([this, generation] {
    auto listeners = resetListeners_;
    for (auto& [id, fn] : listeners)
      if (resetListeners_.count(id) != 0) fn(generation);
  }));
}

bool HostNode::Read(uint8_t node, uint64_t offset, uint32_t length, uint32_t generation, Bus::ReadDone done,
                    const Steering* steering) {
  if (GetBus() == nullptr) return false;
  if (refuse_ > 0) {
    --refuse_;
    return false;
  }
  return GetBus()->Read(*this, node, offset, length, generation, std::move(done), steering);
}

bool HostNode::Write(uint8_t node, uint64_t offset, std::span<const uint8_t> data, uint32_t generation,
                     Bus::WriteDone done, const Steering* steering) {
  if (GetBus() == nullptr) return false;
  if (refuse_ > 0) {
    --refuse_;
    return false;
  }
  return GetBus()->Write(*this, node, offset, data, generation, std::move(done), steering);
}

std::optional<uint64_t> HostNode::AllocateAddressRange(uint32_t length, RangeWrite onWrite) {
  if (!onWrite) return std::nullopt;
  return AllocateAddressRange(length, [fn = std::move(onWrite)](uint8_t, uint64_t at, std::span<const uint8_t> data) {
    fn(at, data);
    return AsyncStatus::Complete;
  });
}

std::optional<uint64_t> HostNode::AllocateAddressRange(uint32_t length, RangeRequest onWrite,
                                                       std::optional<uint64_t> at) {
  if (length == 0 || !onWrite) return std::nullopt;
  uint64_t base;
  if (at) {
    auto next = ranges_.lower_bound(*at);
    bool overlapsNext = next != ranges_.end() && next->first - *at < length;
    bool overlapsPrevious = next != ranges_.begin() && [&] {
      auto prev = std::prev(next);
      return *at - prev->first < prev->second.length;
    }();
    if (*at >= kAddressSpace || kAddressSpace - *at < length || overlapsNext || overlapsPrevious) return std::nullopt;
    base = *at;
  } else {
    // Past every range there is, on a page boundary.
    uint64_t end = ranges_.empty() ? nextRange_ : std::max(nextRange_, ranges_.rbegin()->first + ranges_.rbegin()->second.length);
    base = (end + kRangeAlign - 1) / kRangeAlign * kRangeAlign;
    nextRange_ = base + (length + kRangeAlign - 1) / kRangeAlign * kRangeAlign;
  }
  ranges_.emplace(base, Range{length, std::move(onWrite)});
  return base;
}

bool HostNode::FreeAddressRange(uint64_t offset) {
  auto it = ranges_.find(offset);
  if (it == ranges_.end() || it->second.freed) return false;
  if (it == writing_)
    it->second.freed = true;
  else
    ranges_.erase(it);
  return true;
}

AsyncStatus HostNode::OnWrite(uint8_t source, uint64_t offset, std::span<const uint8_t> data) {
  auto it = ranges_.upper_bound(offset);
  if (it == ranges_.begin()) return AsyncStatus::AddressError;
  --it;
  uint64_t inside = offset - it->first;
  if (inside >= it->second.length || it->second.length - inside < data.size()) return AsyncStatus::AddressError;
  // The callback may free its own range: the range then goes once the callback has returned.
  writing_ = it;
  AsyncStatus status = it->second.onWrite(source, inside, data);
  writing_ = ranges_.end();
  if (it->second.freed) ranges_.erase(it);
  return status;
}

std::optional<uint32_t> HostNode::AllocateChannel(std::optional<uint32_t> wanted) {
  auto channel = GetBus() != nullptr ? GetBus()->AllocateChannel(wanted) : std::nullopt;
  if (channel) channels_.insert(*channel);
  return channel;
}

bool HostNode::FreeChannel(uint32_t channel) {
  if (channels_.erase(channel) == 0) return false;
  if (GetBus() != nullptr) GetBus()->FreeChannel(channel);
  return true;
}

std::optional<uint32_t> HostNode::AllocateBandwidth(uint32_t bytesPerPacket, uint8_t speedCode) {
  if (GetBus() == nullptr) return std::nullopt;
  uint32_t units = Bus::BandwidthUnits(bytesPerPacket, speedCode);
  if (!GetBus()->AllocateBandwidth(units)) return std::nullopt;
  bandwidth_.emplace(nextBandwidth_, units);
  return nextBandwidth_++;
}

bool HostNode::FreeBandwidth(uint32_t handle) {
  auto it = bandwidth_.find(handle);
  if (it == bandwidth_.end()) return false;
  if (GetBus() != nullptr) GetBus()->FreeBandwidth(it->second);
  bandwidth_.erase(it);
  return true;
}

bool HostNode::AttachReceive(uint32_t channel, IsoList& list) {
  if (channel >= kChannels || list.count == 0 || list.buffers == nullptr) return false;
  iso_[channel].rx.push_back(Pending{&list, 0, std::nullopt});
  return true;
}

bool HostNode::AttachTransmit(uint32_t channel, IsoList& list) {
  if (channel >= kChannels || list.count == 0 || list.buffers == nullptr) return false;
  iso_[channel].tx.push_back(Pending{&list, 0, std::nullopt});
  return true;
}

bool HostNode::Detach(IsoList& list) {
  for (auto& ch : iso_)
    if (ch.rx.erase(list) || ch.tx.erase(list)) return true;
  return false;
}

void HostNode::ListQueue::push_back(const Pending& p) {
  if (count_ == slots_.size()) {
    std::vector<Pending> grown;
    grown.reserve(std::max<size_t>(4, 2 * slots_.size()));
    for (size_t i = 0; i < count_; ++i) grown.push_back(slots_[(head_ + i) % slots_.size()]);
    grown.resize(grown.capacity(), Pending{nullptr, 0, std::nullopt});
    slots_ = std::move(grown);
    head_ = 0;
  }
  slots_[(head_ + count_) % slots_.size()] = p;
  ++count_;
}

void HostNode::ListQueue::pop_front() {
  head_ = (head_ + 1) % slots_.size();
  --count_;
}

bool HostNode::ListQueue::erase(const IsoList& list) {
  for (size_t i = 0; i < count_; ++i) {
    if (slots_[(head_ + i) % slots_.size()].list != &list) continue;
    for (size_t k = i; k + 1 < count_; ++k) slots_[(head_ + k) % slots_.size()] = slots_[(head_ + k + 1) % slots_.size()];
    --count_;
    return true;
  }
  return false;
}

bool HostNode::Listen(uint32_t channel, std::optional<uint32_t> startCycleTime) {
  if (channel >= kChannels || GetBus() == nullptr) return false;
  IsoChannel& ch = iso_[channel];
  ch.listening = true;
  ch.listenFrom = startCycleTime ? ResolveStartCycle(GetBus()->CurrentCycle(), *startCycleTime) : 0;
  UpdateListening(channel);
  return true;
}

bool HostNode::Talk(uint32_t channel, std::optional<uint32_t> startCycleTime) {
  if (channel >= kChannels || GetBus() == nullptr) return false;
  IsoChannel& ch = iso_[channel];
  ch.talking = true;
  ch.talkFrom = startCycleTime ? ResolveStartCycle(GetBus()->CurrentCycle(), *startCycleTime) : 0;
  if (std::find(talking_.begin(), talking_.end(), channel) == talking_.end()) talking_.push_back(channel);
  UpdateCycleInterest();
  return true;
}

void HostNode::StopListen(uint32_t channel) {
  if (channel >= kChannels) return;
  iso_[channel].listening = false;
  UpdateListening(channel);
}

void HostNode::UpdateListening(uint32_t channel) {
  if (GetBus() == nullptr) return;
  bool want = iso_[channel].listening || std::any_of(contexts_.begin(), contexts_.end(), [channel](const auto& c) {
                return c.second.kind == IsoContextKind::Listen && c.second.running && c.second.channel == channel;
              });
  if (want)
    GetBus()->Listen(*this, channel);
  else
    GetBus()->Unlisten(*this, channel);
}

void HostNode::SetIsoContexts(uint32_t talk, uint32_t listen) {
  talkContexts_ = talk;
  listenContexts_ = listen;
}

uint32_t HostNode::FreeIsoContexts(IsoContextKind kind) const {
  auto used = static_cast<uint32_t>(
      std::count_if(contexts_.begin(), contexts_.end(), [kind](const auto& c) { return c.second.kind == kind; }));
  uint32_t limit = kind == IsoContextKind::Talk ? talkContexts_ : listenContexts_;
  return used < limit ? limit - used : 0;
}

std::optional<uint32_t> HostNode::OpenIsoContext(IsoContextKind kind, uint32_t channel, IsoContextOwner& owner) {
  if (channel >= kChannels || FreeIsoContexts(kind) == 0) return std::nullopt;
  contexts_.emplace(nextContext_, Context{kind, channel, &owner});
  return nextContext_++;
}

void HostNode::CloseIsoContext(uint32_t context) {
  StopIsoContext(context);
  contexts_.erase(context);
}

bool HostNode::StartIsoContext(uint32_t context, std::optional<uint32_t> startCycleTime) {
  auto it = contexts_.find(context);
  if (it == contexts_.end() || GetBus() == nullptr) return false;
  Context& c = it->second;
  c.running = true;
  c.from = startCycleTime ? ResolveStartCycle(GetBus()->CurrentCycle(), *startCycleTime) : 0;
  if (c.kind == IsoContextKind::Listen)
    UpdateListening(c.channel);
  else
    UpdateCycleInterest();
  return true;
}

void HostNode::StopIsoContext(uint32_t context) {
  auto it = contexts_.find(context);
  if (it == contexts_.end() || !it->second.running) return;
  it->second.running = false;
  if (it->second.kind == IsoContextKind::Listen)
    UpdateListening(it->second.channel);
  else
    UpdateCycleInterest();
}

void HostNode::StopTalk(uint32_t channel) {
  if (channel >= kChannels) return;
  iso_[channel].talking = false;
  std::erase(talking_, channel);
  UpdateCycleInterest();
}

void HostNode::UpdateCycleInterest() {
  if (GetBus() == nullptr) return;
  bool talkingContext = std::any_of(contexts_.begin(), contexts_.end(), [](const auto& c) {
    return c.second.kind == IsoContextKind::Talk && c.second.running;
  });
  GetBus()->WantCycles(*this, !talking_.empty() || talkingContext);
}

void HostNode::Finish(IsoList& list) {
  // The scheduler that runs the completion is the only one there is, so the callback carries no
  // more than the node's life and the list: it costs no allocation.
  GetBus()->Sched().After(0, [life = Life(), l = &list] {
    if (life.Expired()) return;
    plat::Scheduler::Current().Record(plat::Scheduler::Trace::ListDone, l->count);
    if (l->done) l->done(*l);
  });
}

void HostNode::OnIsoPacket(const IsoPacket& packet) {
  // Snapshots: an owner may open, close, start or stop contexts from its callback.
  std::vector<std::pair<uint32_t, IsoContextOwner*>> listeners;
  for (auto& [id, c] : contexts_)
    if (c.kind == IsoContextKind::Listen && c.running && c.channel == packet.channel && packet.cycle >= c.from)
      listeners.emplace_back(id, c.owner);
  for (auto [id, owner] : listeners)
    if (contexts_.count(id) != 0) owner->PacketArrived(packet);
  IsoChannel& ch = iso_[packet.channel];
  if (!ch.listening || packet.cycle < ch.listenFrom) return;
  if (ch.rx.empty()) {
    ++ch.counters.missed;
    return;
  }
  Pending& p = ch.rx.front();
  IsoBuffer& slot = p.list->buffers[p.next];
  if (slot.data == nullptr || slot.length < 8 || slot.length - 8 < packet.payloadLength) {
    ++ch.counters.oversize;
    return;
  }
  uint32_t stamp = static_cast<uint32_t>((packet.cycle / kCyclesPerSecond) & 7) << 13 |
                   static_cast<uint32_t>(packet.cycle % kCyclesPerSecond);
  PutLe32(slot.data, stamp);
  PutLe32(slot.data + 4, packet.header);
  std::memcpy(slot.data + 8, packet.payload, packet.payloadLength);
  ++ch.counters.received;
  if (++p.next == p.list->count) {
    IsoList& done = *p.list;
    ch.rx.pop_front();
    Finish(done);
  }
}

void HostNode::OnCycle(uint64_t cycle) { RunTalkers(cycle, true); }

// The controller's transmit contexts run on through a cycle that a bus reset took, as they keep
// time by the cycle timer: the packet of that cycle is used up and lost.
void HostNode::OnLostCycle(uint64_t cycle) { RunTalkers(cycle, false); }

void HostNode::RunTalkers(uint64_t cycle, bool send) {
  std::vector<uint32_t> talkers;
  for (auto& [id, c] : contexts_)
    if (c.kind == IsoContextKind::Talk && c.running && cycle >= c.from) talkers.push_back(id);
  for (uint32_t id : talkers) {
    auto it = contexts_.find(id);
    if (it == contexts_.end() || !it->second.running) continue;
    std::span<const uint8_t> payload;
    uint8_t tag = kCipTag;
    if (it->second.owner->NextPacket(cycle, &payload, &tag) && send)
      GetBus()->Transmit(*this, it->second.channel, payload, tag);
  }
  for (size_t i = 0; i < talking_.size(); ++i) {
    uint32_t channel = talking_[i];
    IsoChannel& ch = iso_[channel];
    if (cycle < ch.talkFrom) continue;
    if (ch.tx.empty()) {
      ++ch.counters.idleCycles;
      continue;
    }
    Pending& p = ch.tx.front();
    if (!p.start) p.start = p.list->startCycleTime ? ResolveStartCycle(cycle, *p.list->startCycleTime) : cycle;
    if (cycle < *p.start) {
      ++ch.counters.idleCycles;
      continue;
    }
    const IsoBuffer& b = p.list->buffers[p.next];
    if (send) {
      GetBus()->Transmit(*this, channel, std::span<const uint8_t>(b.data, b.data != nullptr ? b.length : 0));
      ++ch.counters.transmitted;
    } else {
      ++ch.counters.lostToReset;
    }
    if (++p.next == p.list->count) {
      IsoList& done = *p.list;
      ch.tx.pop_front();
      Finish(done);
    }
  }
}

}  // namespace sim

// The simulated IEEE 1394 bus: node ids and generations, bus resets, the cycle timer,
// asynchronous transactions, and isochronous channels, bandwidth and packets.
//
// Everything runs on the scheduler's virtual clock. Cycle n starts at n x 125 us; the bus raises
// one DISPATCH_LEVEL event per cycle, and only while some node asked for cycles, so an idle bus
// costs nothing. Transactions complete after the configured latency, at DISPATCH_LEVEL.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "sim/bus/BusTypes.h"
#include "sim/bus/Node.h"

namespace sim {

struct BusConfig {
  plat::VTime asyncLatency = 20000;  // request to completion, in ns
  uint32_t resetCycles = 0;          // isochronous cycles a bus reset takes, during which none run
};

struct ChannelStats {
  uint64_t packets = 0;     // transmitted on the channel
  uint64_t collisions = 0;  // a second talker in one cycle, refused
  uint64_t dropped = 0;     // lost to an injected fault
  uint64_t duplicated = 0;
  uint64_t corrupted = 0;
};

class Bus {
 public:
  explicit Bus(plat::Scheduler& scheduler, BusConfig config = {});
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  plat::Scheduler& Sched() const { return sched_; }
  void SetAsyncLatency(plat::VTime latency) { config_.asyncLatency = latency; }
  void SetResetCycles(uint32_t cycles) { config_.resetCycles = cycles; }

  // Topology. Plugging and unplugging reset the bus; node ids follow the order of attachment,
  // and a reset with Renumber::Rotate moves every node one place on. A reset frees every channel
  // and all bandwidth, as the isochronous resource manager's registers start afresh; their owners
  // allocate them again. The bus is taken for the cycles the reset lasts: they carry no isochronous
  // traffic (the cycle time goes on), and asynchronous requests sent meanwhile go out after it.
  enum class Renumber { Keep, Rotate };
  bool Attach(Node& node);
  void Detach(Node& node);
  void Reset(Renumber renumber = Renumber::Keep);
  uint32_t Generation() const { return generation_; }
  Node* NodeAt(uint8_t id) const;
  std::optional<uint8_t> NodeIdOf(uint64_t guid) const;
  const std::vector<Node*>& Nodes() const { return order_; }  // in node-id order

  uint64_t CurrentCycle() const { return static_cast<uint64_t>(sched_.Now() / plat::kNsPerCycle); }
  uint32_t CycleTime() const { return CycleTimeAt(sched_.Now()); }

  // Asynchronous transactions from `source` to node `dest`, checked against `generation` and
  // carried out when they arrive. `done` runs at DISPATCH_LEVEL; write data is copied now. Each is
  // carried out as `steering` says, or else as the first steering rule that takes it, or else
  // delivered; false when it was refused (`done` then never runs). Under a nonzero seed the
  // latency varies, but what one node sends another arrives in the order it was sent.
  using ReadDone = std::function<void(AsyncStatus, std::span<const uint8_t>)>;
  using WriteDone = std::function<void(AsyncStatus)>;
  bool Read(const Node& source, uint8_t dest, uint64_t offset, uint32_t length, uint32_t generation, ReadDone done,
            const Steering* steering = nullptr);
  bool Write(const Node& source, uint8_t dest, uint64_t offset, std::span<const uint8_t> data, uint32_t generation,
             WriteDone done, const Steering* steering = nullptr);

  // Steering rules, taken in order: each steers the next `count` transactions to the node with
  // that GUID (to any node without one).
  void Steer(Steering steering, uint32_t count = 1, std::optional<uint64_t> destination = std::nullopt);
  // The same for the next `count` writes to that node at that address only.
  void SteerWrites(Steering steering, uint32_t count, uint64_t destination, uint64_t offset);
  void ClearSteering() { rules_.clear(); }
  // Held transactions, oldest first. Releasing one carries it on now (a held response to a node
  // that has left completes as departed); its completion runs at DISPATCH_LEVEL.
  size_t HeldCount() const { return held_.size(); }
  HeldTransaction Held(size_t index) const;
  void ReleaseHeld(size_t index = 0);
  void ReleaseAllHeld();

  // Isochronous resources.
  std::optional<uint32_t> AllocateChannel(std::optional<uint32_t> wanted);
  bool FreeChannel(uint32_t channel);
  bool ChannelAllocated(uint32_t channel) const { return channel < kChannels && channelsTaken_[channel]; }
  bool AllocateBandwidth(uint32_t units);
  void FreeBandwidth(uint32_t units);
  uint32_t BandwidthAvailable() const { return bandwidth_; }
  static uint32_t BandwidthUnits(uint32_t bytesPerPacket, uint8_t speedCode);

  // Isochronous traffic: one packet per channel per cycle, delivered at once to every listener.
  void Listen(Node& node, uint32_t channel);
  void Unlisten(Node& node, uint32_t channel);
  void WantCycles(Node& node, bool want);
  bool Transmit(const Node& talker, uint32_t channel, std::span<const uint8_t> payload, uint8_t tag = kCipTag);
  const ChannelStats& Stats(uint32_t channel) const { return channels_[channel & 63].stats; }
  uint64_t LostCycles() const { return lostCycles_; }

  // Faults.
  void InjectIsoFault(uint32_t channel, IsoFault fault, uint32_t count = 1);
  void FailAsync(uint64_t guid, AsyncStatus status, uint32_t count = 1);  // the next transactions to it
  void SetReachable(uint64_t guid, bool reachable);

 private:
  struct Channel {
    std::vector<Node*> listeners;
    uint64_t lastTxCycle = UINT64_MAX;
    std::deque<IsoFault> faults;
    ChannelStats stats;
  };
  struct AsyncFault {
    AsyncStatus status;
    uint32_t count;
  };
  struct Transaction {
    uint8_t from;
    uint8_t dest;
    uint64_t destination;  // the target's GUID when it was sent; 0 for no node
    uint64_t offset;
    uint32_t length;
    uint32_t generation;
    bool write;
    std::vector<uint8_t> data;  // write: what is written; read: what came back
    ReadDone readDone;
    WriteDone writeDone;
    bool carried = false;  // held with its response: carried out already, with this status
    AsyncStatus status = AsyncStatus::Complete;
  };
  struct Rule {
    Steering steering;
    uint32_t count;
    std::optional<uint64_t> destination;
    std::optional<uint64_t> writeOffset;  // writes to this address only
  };

  void AssignNodeIds();
  void ArmCycle();
  void RunCycle(uint64_t cycle);
  AsyncStatus Route(uint8_t dest, uint32_t generation, Node** target);
  Transaction* NewTransaction(const Node& source, uint8_t dest, uint64_t offset, uint32_t length, uint32_t generation,
                              bool write);
  void Recycle(Transaction* t);
  bool Issue(Transaction* t, const Steering* steering);
  Steering TakeSteering(const Transaction& t);
  plat::VTime ArrivalTime(uint8_t from, uint8_t dest);
  // Carries the transaction out at its target: the status, and a read's data in t.data.
  AsyncStatus Carry(Transaction& t);
  void Complete(Transaction& t, AsyncStatus status);
  void Deliver(Channel& ch, const IsoPacket& packet);
  // Runs fn only while the bus lives, without an allocation of its own.
  template <class F>
  auto Guarded(F fn) const {
    return [life = std::weak_ptr<int>(life_), fn = std::move(fn)]() mutable {
      if (!life.expired()) fn();
    };
  }

  plat::Scheduler& sched_;
  BusConfig config_;
  uint32_t generation_ = 0;
  std::vector<Node*> order_;
  std::vector<Node*> cycleClients_;
  uint64_t cycleEvent_ = 0;
  uint64_t nextCycle_ = 0;
  uint64_t silentUntil_ = 0;  // the first cycle after the latest reset's
  plat::VTime busyUntil_ = 0;  // when the latest reset gives the bus back
  uint64_t lostCycles_ = 0;
  bool cycleArmed_ = false;
  std::array<Channel, kChannels> channels_{};
  std::array<bool, kChannels> channelsTaken_{};
  uint32_t bandwidth_ = kBandwidthUnits;
  std::map<uint64_t, AsyncFault> asyncFaults_;
  std::deque<Rule> rules_;
  std::deque<Transaction*> held_;
  std::vector<std::unique_ptr<Transaction>> transactions_;
  std::vector<Transaction*> freeTransactions_;
  // The last arrival from one node at another, by node ids; ids past the 6-bit range in the map.
  std::array<std::array<plat::VTime, 64>, 64> lastArrival_{};
  std::map<std::pair<uint8_t, uint8_t>, plat::VTime> lastArrivalBeyond_;
  std::set<uint64_t> unreachable_;
  std::vector<uint8_t> scratch_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace sim

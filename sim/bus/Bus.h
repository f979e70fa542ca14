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

  // Topology. Plugging and unplugging reset the bus; node ids follow the order of attachment,
  // and a reset with Renumber::Rotate moves every node one place on.
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
  // carried out when they arrive. `done` runs at DISPATCH_LEVEL; write data is copied now.
  using ReadDone = std::function<void(AsyncStatus, std::span<const uint8_t>)>;
  using WriteDone = std::function<void(AsyncStatus)>;
  void Read(const Node& source, uint8_t dest, uint64_t offset, uint32_t length, uint32_t generation, ReadDone done);
  void Write(const Node& source, uint8_t dest, uint64_t offset, std::span<const uint8_t> data, uint32_t generation,
             WriteDone done);

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
  // An asynchronous transaction on its way. Slots are reused, with their buffers, so a transaction
  // costs no allocation once the bus has carried as many at once before.
  struct Transaction {
    bool write = false;
    uint8_t from = 0;
    uint8_t dest = 0;
    uint32_t generation = 0;
    uint32_t length = 0;  // read length
    uint64_t offset = 0;
    std::vector<uint8_t> data;  // the bytes to write, or the answer to a read
    ReadDone readDone;
    WriteDone writeDone;
    uint64_t event = 0;
  };

  void AssignNodeIds();
  void ArmCycle();
  void RunCycle(uint64_t cycle);
  AsyncStatus Route(uint8_t dest, uint32_t generation, Node** target);
  void Deliver(Channel& ch, const IsoPacket& packet);
  uint32_t NewTransaction(const Node& source, uint8_t dest, uint64_t offset, uint32_t generation);
  void Arrive(uint32_t slot);

  plat::Scheduler& sched_;
  BusConfig config_;
  uint32_t generation_ = 0;
  std::vector<Node*> order_;
  std::vector<Node*> cycleClients_;
  uint64_t cycleEvent_ = 0;
  uint64_t nextCycle_ = 0;
  bool cycleArmed_ = false;
  std::array<Channel, kChannels> channels_{};
  std::array<bool, kChannels> channelsTaken_{};
  uint32_t bandwidth_ = kBandwidthUnits;
  std::map<uint64_t, AsyncFault> asyncFaults_;
  std::set<uint64_t> unreachable_;
  std::vector<uint8_t> scratch_;
  std::vector<std::unique_ptr<Transaction>> transactions_;
  std::vector<uint32_t> freeTransactions_;
};

}  // namespace sim

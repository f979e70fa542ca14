// The host's node on the simulated bus: what the 1394 bus driver of the host can do with it.
//
// Asynchronous requests complete later at DISPATCH_LEVEL; isochronous lists are caller-owned and
// run one packet per cycle; address ranges receive the units' writes; bus resets are announced to
// every registered listener at DISPATCH_LEVEL.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/Node.h"

namespace sim {

struct HostIsoCounters {
  uint64_t received = 0;     // packets stored into receive lists
  uint64_t missed = 0;       // packets that arrived while listening with no list attached
  uint64_t oversize = 0;     // packets larger than the slot waiting for them, not stored
  uint64_t transmitted = 0;  // packets sent from transmit lists
  uint64_t idleCycles = 0;   // talking, but no list ready for the cycle
};

class HostNode : public Node {
 public:
  static constexpr uint64_t kDefaultGuid = 0x00A0B0C0D0E0F001ull;
  static constexpr uint64_t kRangeBase = 0x0001'0000'0000ull;

  explicit HostNode(uint64_t guid = kDefaultGuid);
  ~HostNode() override;

  // Topology as of the current generation.
  uint32_t Generation() const;
  std::optional<uint8_t> NodeIdOf(uint64_t guid) const;
  uint32_t CycleTime() const;
  uint64_t AddResetListener(std::function<void(uint32_t generation)> fn);
  void RemoveResetListener(uint64_t id);

  // Asynchronous requests. False: refused (an injected fault) and `done` never runs.
  bool Read(uint8_t node, uint64_t offset, uint32_t length, uint32_t generation, Bus::ReadDone done);
  bool Write(uint8_t node, uint64_t offset, std::span<const uint8_t> data, uint32_t generation, Bus::WriteDone done);
  void RefuseNextRequests(uint32_t count) { refuse_ = count; }

  // Address ranges in the host's space that other nodes write into. The callback runs at
  // DISPATCH_LEVEL with the offset of the write inside the range.
  using RangeWrite = std::function<void(uint64_t offsetInRange, std::span<const uint8_t> data)>;
  std::optional<uint64_t> AllocateAddressRange(uint32_t length, RangeWrite onWrite);
  bool FreeAddressRange(uint64_t offset);

  // Isochronous resources.
  std::optional<uint32_t> AllocateChannel(std::optional<uint32_t> wanted = std::nullopt);
  bool FreeChannel(uint32_t channel);
  std::optional<uint32_t> AllocateBandwidth(uint32_t bytesPerPacket, uint8_t speedCode);  // a handle
  bool FreeBandwidth(uint32_t handle);

  // Isochronous streams. A receive slot is laid out as the bus driver stores it: the time stamp
  // (little-endian; bits 0-12 cycle, 13-15 low bits of the second), the iso header as a
  // little-endian quadlet, then the payload.
  bool AttachReceive(uint32_t channel, IsoList& list);
  bool AttachTransmit(uint32_t channel, IsoList& list);
  bool Detach(IsoList& list);  // true when it was attached; `done` does not run
  bool Listen(uint32_t channel, std::optional<uint32_t> startCycleTime = std::nullopt);
  bool Talk(uint32_t channel, std::optional<uint32_t> startCycleTime = std::nullopt);
  void StopListen(uint32_t channel);
  void StopTalk(uint32_t channel);
  const HostIsoCounters& Counters(uint32_t channel) const { return iso_[channel & 63].counters; }

  AsyncStatus OnWrite(uint8_t source, uint64_t offset, std::span<const uint8_t> data) override;
  void OnCycle(uint64_t cycle) override;
  void OnIsoPacket(const IsoPacket& packet) override;
  void OnBusReset() override;

 private:
  struct Pending {
    IsoList* list;
    uint32_t next = 0;
    std::optional<uint64_t> start;  // absolute cycle, fixed when the list reaches the front
  };
  // The lists attached to one direction of a channel, oldest first, in a ring that keeps its
  // room: attaching a list allocates nothing once as many were attached at once before.
  class ListQueue {
   public:
    bool empty() const { return count_ == 0; }
    Pending& front() { return slots_[head_]; }
    void push_back(const Pending& p);
    void pop_front();
    bool erase(const IsoList& list);  // false when the list is not in the queue

   private:
    std::vector<Pending> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
  };
  struct IsoChannel {
    bool listening = false;
    uint64_t listenFrom = 0;
    bool talking = false;
    uint64_t talkFrom = 0;
    ListQueue rx;
    ListQueue tx;
    HostIsoCounters counters;
  };
  struct Range {
    uint32_t length;
    RangeWrite onWrite;
    bool freed = false;  // freed by its own callback, which is still running
  };

  void Finish(IsoList& list);
  void UpdateCycleInterest();

  uint32_t refuse_ = 0;
  uint64_t nextRange_ = kRangeBase;
  std::map<uint64_t, Range> ranges_;
  std::map<uint64_t, Range>::iterator writing_;  // the range whose callback runs, or end()
  std::map<uint32_t, uint32_t> bandwidth_;  // handle -> units
  uint32_t nextBandwidth_ = 1;
  std::map<uint64_t, std::function<void(uint32_t)>> resetListeners_;
  uint64_t nextListener_ = 1;
  std::array<IsoChannel, kChannels> iso_{};
  std::vector<uint32_t> talking_;
};

}  // namespace sim

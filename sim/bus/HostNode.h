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
#include <set>
#include <span>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/Node.h"

namespace sim {

// The owner of an isochronous context: the controller asks it for one packet at a time, when the
// bus reaches it.
class IsoContextOwner {
 public:
  // Talking: the packet for this cycle and its tag, read now; false leaves the cycle empty.
  virtual bool NextPacket(uint64_t cycle, std::span<const uint8_t>* payload, uint8_t* tag) = 0;
  // Listening: a packet on the context's channel, at or after its start cycle.
  virtual void PacketArrived(const IsoPacket& packet) = 0;

 protected:
  ~IsoContextOwner() = default;
};

enum class IsoContextKind : uint8_t { Listen, Talk };

struct HostIsoCounters {
  uint64_t received = 0;     // packets stored into receive lists
  uint64_t missed = 0;       // packets that arrived while listening with no list attached
  uint64_t oversize = 0;     // packets larger than the slot waiting for them, not stored
  uint64_t transmitted = 0;  // packets sent from transmit lists
  uint64_t idleCycles = 0;   // talking, but no list ready for the cycle
  uint64_t lostToReset = 0;  // packets of transmit lists whose cycle a bus reset took
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

  // Asynchronous requests, steered as the bus says. False: refused (an injected fault) and `done`
  // never runs.
  bool Read(uint8_t node, uint64_t offset, uint32_t length, uint32_t generation, Bus::ReadDone done,
            const Steering* steering = nullptr);
  bool Write(uint8_t node, uint64_t offset, std::span<const uint8_t> data, uint32_t generation, Bus::WriteDone done,
             const Steering* steering = nullptr);
  void RefuseNextRequests(uint32_t count) { refuse_ = count; }

  // Address ranges in the host's space that other nodes write into. The callback runs at
  // DISPATCH_LEVEL with the offset of the write inside the range.
  using RangeWrite = std::function<void(uint64_t offsetInRange, std::span<const uint8_t> data)>;
  std::optional<uint64_t> AllocateAddressRange(uint32_t length, RangeWrite onWrite);
  // The same with the writer's node, answered with the response the writer gets; `at` asks for
  // the range at that offset, which must be free.
  using RangeRequest =
      std::function<AsyncStatus(uint8_t sourceNode, uint64_t offsetInRange, std::span<const uint8_t> data)>;
  std::optional<uint64_t> AllocateAddressRange(uint32_t length, RangeRequest onWrite,
                                               std::optional<uint64_t> at = std::nullopt);
  bool FreeAddressRange(uint64_t offset);

  // Isochronous resources. The host allocates again what it holds after every bus reset; what
  // another node took meanwhile is lost and counted.
  std::optional<uint32_t> AllocateChannel(std::optional<uint32_t> wanted = std::nullopt);
  bool FreeChannel(uint32_t channel);
  std::optional<uint32_t> AllocateBandwidth(uint32_t bytesPerPacket, uint8_t speedCode);  // a handle
  bool FreeBandwidth(uint32_t handle);
  uint64_t ResourcesLostAtReset() const { return resourcesLost_; }

  // The controller's isochronous contexts, a limited number of each kind (4 and 4 unless set).
  // A context works for its owner on one channel from its start cycle until stopped.
  void SetIsoContexts(uint32_t talk, uint32_t listen);
  uint32_t FreeIsoContexts(IsoContextKind kind) const;
  std::optional<uint32_t> OpenIsoContext(IsoContextKind kind, uint32_t channel, IsoContextOwner& owner);
  void CloseIsoContext(uint32_t context);
  bool StartIsoContext(uint32_t context, std::optional<uint32_t> startCycleTime);
  void StopIsoContext(uint32_t context);

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
  void OnLostCycle(uint64_t cycle) override;
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
    RangeRequest onWrite;
    bool freed = false;  // freed by its own callback, which is still running
  };
  struct Context {
    IsoContextKind kind;
    uint32_t channel;
    IsoContextOwner* owner;
    bool running = false;
    uint64_t from = 0;
  };

  void Finish(IsoList& list);
  // The talking contexts and lists take their packet of the cycle; sent unless a reset took it.
  void RunTalkers(uint64_t cycle, bool send);
  void UpdateCycleInterest();
  void UpdateListening(uint32_t channel);

  uint32_t refuse_ = 0;
  uint64_t nextRange_ = kRangeBase;
  std::map<uint64_t, Range> ranges_;
  std::map<uint64_t, Range>::iterator writing_;  // the range whose callback runs, or end()
  std::map<uint32_t, uint32_t> bandwidth_;  // handle -> units
  uint32_t nextBandwidth_ = 1;
  std::set<uint32_t> channels_;
  uint64_t resourcesLost_ = 0;
  std::map<uint32_t, Context> contexts_;
  uint32_t nextContext_ = 1;
  uint32_t talkContexts_ = 4;
  uint32_t listenContexts_ = 4;
  std::map<uint64_t, std::function<void(uint32_t)>> resetListeners_;
  uint64_t nextListener_ = 1;
  std::array<IsoChannel, kChannels> iso_{};
  std::vector<uint32_t> talking_;
};

}  // namespace sim

// A device on the simulated 1394 bus: the host or a unit.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "sim/bus/BusTypes.h"

namespace sim {

class Bus;

// Whether a node still exists, in a form a callback can carry without allocating: two words,
// trivially copyable (a callback that captures it and one pointer fits a std::function's own
// storage). It names the node's slot in a table of the process and the generation the slot had.
class NodeLife {
 public:
  bool Expired() const;

 private:
  friend class Node;
  uint32_t slot_ = 0;
  uint32_t generation_ = 0;
};

class Node {
 public:
  explicit Node(uint64_t guid);
  virtual ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  uint64_t Guid() const { return guid_; }
  bool Attached() const { return bus_ != nullptr; }
  Bus* GetBus() const { return bus_; }
  uint8_t NodeId() const { return nodeId_; }  // valid while attached

  // Requests from other nodes; the answer completes the requester's transaction.
  virtual AsyncStatus OnRead(uint8_t source, uint64_t offset, std::span<uint8_t> out);
  virtual AsyncStatus OnWrite(uint8_t source, uint64_t offset, std::span<const uint8_t> data);
  // Once per bus cycle while the node asked for cycles.
  virtual void OnCycle(uint64_t cycle);
  // Instead, for a cycle that a bus reset took.
  virtual void OnLostCycle(uint64_t cycle);
  // A packet on a channel the node listens to.
  virtual void OnIsoPacket(const IsoPacket& packet);
  // After every bus reset, with the new node id and generation already set.
  virtual void OnBusReset();
  virtual void OnDetached();

 protected:
  // Wraps a callback so that it does nothing once this node is gone. It allocates nothing when
  // fn captures no more than one pointer.
  template <class Fn>
  auto Guarded(Fn fn) const {
    return [life = Life(), fn = std::move(fn)] {
      if (!life.Expired()) fn();
    };
  }
  NodeLife Life() const { return life_; }

 private:
  friend class Bus;
  uint64_t guid_;
  Bus* bus_ = nullptr;
  uint8_t nodeId_ = 63;
  NodeLife life_;
};

}  // namespace sim

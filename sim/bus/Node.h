// A device on the simulated 1394 bus: the host or a unit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "sim/bus/BusTypes.h"

namespace sim {

class Bus;

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
  // A packet on a channel the node listens to.
  virtual void OnIsoPacket(const IsoPacket& packet);
  // After every bus reset, with the new node id and generation already set.
  virtual void OnBusReset();
  virtual void OnDetached();

 protected:
  // Wraps a callback so that it does nothing once this node is gone.
  std::function<void()> Guarded(std::function<void()> fn) const;
  std::weak_ptr<int> Life() const { return life_; }

 private:
  friend class Bus;
  uint64_t guid_;
  Bus* bus_ = nullptr;
  uint8_t nodeId_ = 63;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace sim

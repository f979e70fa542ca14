#include "sim/bus/Node.h"

#include "sim/bus/Bus.h"

namespace sim {

Node::Node(uint64_t guid) : guid_(guid) {}

Node::~Node() {
  if (bus_ != nullptr) bus_->Detach(*this);
}

AsyncStatus Node::OnRead(uint8_t, uint64_t, std::span<uint8_t>) { return AsyncStatus::AddressError; }
AsyncStatus Node::OnWrite(uint8_t, uint64_t, std::span<const uint8_t>) { return AsyncStatus::AddressError; }
void Node::OnCycle(uint64_t) {}
void Node::OnIsoPacket(const IsoPacket&) {}
void Node::OnBusReset() {}
void Node::OnDetached() {}

std::function<void()> Node::Guarded(std::function<void()> fn) const {
  std::weak_ptr<int> life = life_;
  return [life, fn = std::move(fn)] {
    if (!life.expired()) fn();
  };
}

const char* ToString(AsyncStatus s) {
  switch (s) {
    case AsyncStatus::Complete: return "complete";
    case AsyncStatus::Departed: return "departed";
    case AsyncStatus::StaleGeneration: return "stale generation";
    case AsyncStatus::Timeout: return "timeout";
    case AsyncStatus::Busy: return "busy";
    case AsyncStatus::TypeError: return "type error";
    case AsyncStatus::AddressError: return "address error";
    case AsyncStatus::DataError: return "data error";
  }
  return "?";
}

}  // namespace sim

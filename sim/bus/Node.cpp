#include "sim/bus/Node.h"

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/kernel/Verifier.h"
#include "sim/bus/Bus.h"

namespace sim {

namespace {

// One generation per slot; a node's slot moves on to the next generation when the node goes, and
// is then free for the next node. Slots live in chunks that are never freed nor moved, so a
// callback checks its node without a lock; taking and giving back slots is locked.
constexpr uint32_t kSlotsPerChunk = 1024;
constexpr uint32_t kChunks = 4096;
std::array<std::atomic<std::atomic<uint32_t>*>, kChunks> gChunks{};
std::mutex gLifeLock;
uint32_t gSlots = 0;
std::vector<uint32_t> gFreeSlots;

std::atomic<uint32_t>& Generation(uint32_t slot) {
  return gChunks[slot / kSlotsPerChunk].load(std::memory_order_acquire)[slot % kSlotsPerChunk];
}

}  // namespace

bool NodeLife::Expired() const { return Generation(slot_).load(std::memory_order_acquire) != generation_; }

Node::Node(uint64_t guid) : guid_(guid) {
  std::lock_guard<std::mutex> hold(gLifeLock);
  if (gFreeSlots.empty()) {
    if (gSlots == kSlotsPerChunk * kChunks) plat::Violation("more simulated nodes at once than the bus can tell apart");
    if (gSlots % kSlotsPerChunk == 0)
      gChunks[gSlots / kSlotsPerChunk].store(new std::atomic<uint32_t>[kSlotsPerChunk](), std::memory_order_release);
    life_.slot_ = gSlots++;
  } else {
    life_.slot_ = gFreeSlots.back();
    gFreeSlots.pop_back();
  }
  life_.generation_ = Generation(life_.slot_).load(std::memory_order_relaxed);
}

Node::~Node() {
  if (bus_ != nullptr) bus_->Detach(*this);
  std::lock_guard<std::mutex> hold(gLifeLock);
  Generation(life_.slot_).fetch_add(1, std::memory_order_release);
  gFreeSlots.push_back(life_.slot_);
}

AsyncStatus Node::OnRead(uint8_t, uint64_t, std::span<uint8_t>) { return AsyncStatus::AddressError; }
AsyncStatus Node::OnWrite(uint8_t, uint64_t, std::span<const uint8_t>) { return AsyncStatus::AddressError; }
void Node::OnCycle(uint64_t) {}
void Node::OnLostCycle(uint64_t) {}
void Node::OnIsoPacket(const IsoPacket&) {}
void Node::OnBusReset() {}
void Node::OnDetached() {}

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

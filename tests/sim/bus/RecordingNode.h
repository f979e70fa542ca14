// A bus node for tests: a 4 KiB memory that answers reads and writes, and a log of what it heard.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/Node.h"

namespace simtest {

struct HeardPacket {
  uint32_t channel;
  uint32_t header;
  std::vector<uint8_t> payload;
  uint64_t cycle;
  uint8_t source;
};

class RecordingNode : public sim::Node {
 public:
  explicit RecordingNode(uint64_t guid) : Node(guid), memory(4096, 0) {}
  ~RecordingNode() override {
    if (GetBus() != nullptr) GetBus()->Detach(*this);
  }

  sim::AsyncStatus OnRead(uint8_t, uint64_t offset, std::span<uint8_t> out) override {
    if (offset + out.size() > memory.size()) return sim::AsyncStatus::AddressError;
    std::copy_n(memory.begin() + static_cast<long>(offset), out.size(), out.begin());
    return sim::AsyncStatus::Complete;
  }
  sim::AsyncStatus OnWrite(uint8_t source, uint64_t offset, std::span<const uint8_t> data) override {
    if (offset + data.size() > memory.size()) return sim::AsyncStatus::AddressError;
    std::copy(data.begin(), data.end(), memory.begin() + static_cast<long>(offset));
    lastWriter = source;
    return sim::AsyncStatus::Complete;
  }
  void OnCycle(uint64_t cycle) override { cycles.push_back(cycle); }
  void OnIsoPacket(const sim::IsoPacket& p) override {
    heard.push_back({p.channel, p.header, {p.payload, p.payload + p.payloadLength}, p.cycle, p.sourceNode});
  }
  void OnBusReset() override { ++resets; }

  std::vector<uint8_t> memory;
  std::vector<uint64_t> cycles;
  std::vector<HeardPacket> heard;
  int resets = 0;
  uint8_t lastWriter = 0xFF;
};

}  // namespace simtest

// A bus with the host and what tests need to reach a unit: register access through the host node,
// a tap that keeps every packet of a channel, and big-endian helpers, all independent of host code.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"
#include "sim/units/Unit.h"

namespace simtest {

inline uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

inline std::vector<uint8_t> Be(std::initializer_list<uint32_t> quadlets) {
  std::vector<uint8_t> out;
  for (uint32_t q : quadlets)
    out.insert(out.end(), {static_cast<uint8_t>(q >> 24), static_cast<uint8_t>(q >> 16), static_cast<uint8_t>(q >> 8),
                           static_cast<uint8_t>(q)});
  return out;
}

struct TappedPacket {
  uint32_t header;
  std::vector<uint8_t> payload;
  uint64_t cycle;
};

// Listens to one channel and keeps every packet.
class Tap : public sim::Node {
 public:
  Tap(sim::Bus& bus, uint32_t channel) : Node(0x7A9), bus_(bus) {
    bus.Attach(*this);
    bus.Listen(*this, channel);
  }
  ~Tap() override {
    if (GetBus() != nullptr) bus_.Detach(*this);
  }
  void OnIsoPacket(const sim::IsoPacket& p) override {
    packets.push_back({p.header, {p.payload, p.payload + p.payloadLength}, p.cycle});
  }
  std::vector<TappedPacket> packets;

 private:
  sim::Bus& bus_;
};

struct UnitBench {
  UnitBench() { bus.Attach(host); }

  sim::AsyncStatus Write(const sim::Unit& unit, uint32_t offset, std::span<const uint8_t> data) {
    sim::AsyncStatus got = sim::AsyncStatus::DataError;
    host.Write(unit.NodeId(), sim::Unit::kRegisterBase + offset, data, host.Generation(),
               [&](sim::AsyncStatus s) { got = s; });
    sched.RunFor(plat::kNsPerCycle);
    return got;
  }
  sim::AsyncStatus WriteQuadlet(const sim::Unit& unit, uint32_t offset, uint32_t value) {
    auto bytes = Be({value});
    return Write(unit, offset, bytes);
  }
  std::optional<uint32_t> Read(const sim::Unit& unit, uint32_t offset, uint32_t length = 4) {
    std::optional<uint32_t> got;
    host.Read(unit.NodeId(), sim::Unit::kRegisterBase + offset, length, host.Generation(),
              [&](sim::AsyncStatus s, std::span<const uint8_t> d) {
                if (s == sim::AsyncStatus::Complete) got = Be32(d.data());
              });
    sched.RunFor(plat::kNsPerCycle);
    return got;
  }
  // A window in the host's space that keeps every write; its address goes into the unit's
  // notification registers hi and lo.
  std::vector<std::vector<uint8_t>>& Window(const sim::Unit& unit, uint32_t hiRegister, uint32_t loRegister,
                                            uint32_t length) {
    auto base = host.AllocateAddressRange(length, [this](uint64_t, std::span<const uint8_t> d) {
      windowWrites.emplace_back(d.begin(), d.end());
    });
    WriteQuadlet(unit, hiRegister, (0xFFC0u | host.NodeId()) << 16 | static_cast<uint32_t>(*base >> 32));
    WriteQuadlet(unit, loRegister, static_cast<uint32_t>(*base));
    return windowWrites;
  }

  plat::Scheduler sched;
  sim::Bus bus{sched};
  sim::HostNode host;
  std::vector<std::vector<uint8_t>> windowWrites;
};

}  // namespace simtest

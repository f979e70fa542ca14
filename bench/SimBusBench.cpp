// The simulated bus under full load: one main unit streaming 18 channels each way at 96 kHz and
// fifteen KR-6 units, every surface moving, the host receiving and sending isochronous lists the
// way its bus driver does. Reported per virtual second of bus time.
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <vector>

#include "bench/AllocationCounter.h"
#include "sim/bus/HostNode.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"

namespace {

constexpr uint32_t kRecordChannel = 0, kPlaybackChannel = 1;
constexpr uint32_t kPackets = 48;  // per list, about 6 ms
constexpr plat::VTime kVirtualSeconds = 10;

// Two lists per direction, each re-attached as soon as it finished, as the host's driver does.
struct HostStreams {
  explicit HostStreams(sim::HostNode& host) : host(host) {
    for (int l = 0; l < 2; ++l) {
      for (uint32_t i = 0; i < kPackets; ++i) {
        rxBufs[l][i] = {rxData[l][i].data(), 1220};
        txBufs[l][i] = {txData[l][i].data(), 8 + 12 * 18 * 4};
      }
      rx[l] = {rxBufs[l].data(), kPackets, std::nullopt, [this](sim::IsoList& list) { this->host.AttachReceive(kRecordChannel, list); }};
      tx[l] = {txBufs[l].data(), kPackets, std::nullopt, [this, l](sim::IsoList& list) {
                 Fill(l);
                 this->host.AttachTransmit(kPlaybackChannel, list);
               }};
      Fill(l);
      host.AttachReceive(kRecordChannel, rx[l]);
      host.AttachTransmit(kPlaybackChannel, tx[l]);
    }
    host.Listen(kRecordChannel);
    host.Talk(kPlaybackChannel);
  }
  void Fill(int l) {
    for (auto& p : txData[l]) {
      p[0] = host.NodeId();
      p[1] = 18;
      p[3] = dbc;
      p[4] = 0xBE;
      dbc = static_cast<uint8_t>(dbc + 12);
    }
  }

  sim::HostNode& host;
  uint8_t dbc = 0;
  std::array<std::array<std::array<uint8_t, 1220>, kPackets>, 2> rxData{};
  std::array<std::array<std::array<uint8_t, 1088>, kPackets>, 2> txData{};
  std::array<std::array<sim::IsoBuffer, kPackets>, 2> rxBufs{}, txBufs{};
  std::array<sim::IsoList, 2> rx, tx;
};

void Write(plat::Scheduler& sched, sim::HostNode& host, const sim::Unit& unit, uint32_t offset, uint32_t value) {
  uint8_t q[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                  static_cast<uint8_t>(value)};
  host.Write(unit.NodeId(), sim::Unit::kRegisterBase + offset, q, host.Generation(), nullptr);
  sched.RunFor(plat::kNsPerCycle);
}

void BM_MainUnitAndFifteenKr6At96k(benchmark::State& state) {
  uint64_t statusWrites = 0, packets = 0, allocations = 0;
  for (auto _ : state) {
    plat::Scheduler sched;
    sim::Bus bus(sched);
    sim::HostNode host;
    bus.Attach(host);
    sim::MainUnit main;
    main.Playback().SetCapture(false, 0);
    main.Plug(bus);
    std::vector<std::unique_ptr<sim::Kr6Unit>> kr6;
    auto window = host.AllocateAddressRange(256, [&](uint64_t, std::span<const uint8_t>) { ++statusWrites; });
    for (uint32_t i = 0; i < 15; ++i) {
      kr6.push_back(std::make_unique<sim::Kr6Unit>(1000 + i));
      kr6.back()->Plug(bus);
    }
    for (auto& k : kr6) {
      Write(sched, host, *k, 0x314, (0xFFC0u | host.NodeId()) << 16 | static_cast<uint32_t>(*window >> 32));
      Write(sched, host, *k, 0x318, static_cast<uint32_t>(*window));
      Write(sched, host, *k, 0x310, 1);
    }
    for (auto [off, value] : {std::pair<uint32_t, uint32_t>{0x200, kRecordChannel}, {0x20C, kPlaybackChannel},
                              {0x214, 0x3FFFF}, {0x218, 0x3FFFF}, {0x228, 0x8201}, {0x21C, 26}, {0x208, 1},
                              {0x210, 1}, {0x22C, 0x2000}, {0x220, 1}}) {
      Write(sched, host, main, off, value);
    }
    auto streams = std::make_unique<HostStreams>(host);

    // Every surface moves: a fader sweep every millisecond on each unit.
    uint16_t pos = 0;
    std::function<void()> move = [&] {
      pos = static_cast<uint16_t>((pos + 7) % 1024);
      main.MoveFader(pos % 9, pos);
      main.TurnJogWheel(1);
      for (auto& k : kr6) k->MoveFader(pos % 8, pos);
      sched.After(plat::kNsPerMs, move);
    };
    sched.After(plat::kNsPerMs, move);
    uint64_t allocationsBefore = HeapAllocations();
    sched.RunFor(kVirtualSeconds * plat::kNsPerSecond);
    allocations += HeapAllocations() - allocationsBefore;
    packets += main.PacketsSent();
    if (main.Playback().Stats().Errors() != 0 || host.Counters(kRecordChannel).missed != 0)
      state.SkipWithError("the stream lost packets");
  }
  state.counters["virtual_s"] = benchmark::Counter(static_cast<double>(state.iterations() * kVirtualSeconds));
  state.counters["cpu_s_per_virtual_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kVirtualSeconds), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["record_packets"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kAvgIterations);
  state.counters["status_writes"] = benchmark::Counter(static_cast<double>(statusWrites), benchmark::Counter::kAvgIterations);
  state.counters["allocs_per_cycle"] = benchmark::Counter(
      static_cast<double>(allocations) / static_cast<double>(state.iterations() * kVirtualSeconds * sim::kCyclesPerSecond));
}
BENCHMARK(BM_MainUnitAndFifteenKr6At96k)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

// What tracing costs per packet: a 96 kHz record packet (8 data blocks of 20 quadlets and its
// header) and a 96 kHz playback packet of 18 channels (12 blocks of 18 quadlets and its header).
void BM_TraceOfOnePacket(benchmark::State& state) {
  plat::Scheduler sched;
  std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    sched.Record(plat::Scheduler::Trace::IsoPacket, 0x000847A0u, 1);
    sched.RecordBytes(plat::Scheduler::Trace::IsoPacket, payload);
    benchmark::DoNotOptimize(sched.TraceHash());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_TraceOfOnePacket)->ArgName("bytes")->Arg(8 + 8 * 20 * 4)->Arg(8 + 12 * 18 * 4);

#include "sim/bus/Bus.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/kernel/Irql.h"
#include "platform/kernel/Time.h"
#include "tests/sim/bus/RecordingNode.h"

namespace {

using plat::kNsPerCycle;
using plat::kNsPerSecond;
using sim::AsyncStatus;
using sim::Bus;
using sim::IsoFault;
using simtest::RecordingNode;

struct CycleTimeCase {
  plat::VTime t;
  uint32_t seconds, cycle, offset;
};

TEST(CycleTime, WordCarriesSecondsCycleAndOffsetOfTheVirtualClock) {
  const CycleTimeCase cases[] = {
      {0, 0, 0, 0},
      {kNsPerCycle + kNsPerCycle / 2, 0, 1, 1536},
      {kNsPerCycle - 1, 0, 0, 3071},
      {kNsPerSecond + 5 * kNsPerCycle, 1, 5, 0},
      {127 * kNsPerSecond + 7999 * kNsPerCycle, 127, 7999, 0},
      {128 * kNsPerSecond + 3 * kNsPerCycle, 0, 3, 0},
  };
  for (const auto& c : cases) {
    uint32_t w = sim::CycleTimeAt(c.t);
    EXPECT_EQ(w >> 25, c.seconds) << c.t;
    EXPECT_EQ((w >> 12) & 0x1FFF, c.cycle) << c.t;
    EXPECT_EQ(w & 0xFFF, c.offset) << c.t;
  }
}

TEST(CycleTime, StartWordsAheadAreFutureCyclesAndPastOnesMeanNow) {
  const uint64_t now = 130 * 8000 + 100;  // second 2 of the second wrap, cycle 100
  EXPECT_EQ(sim::ResolveStartCycle(now, sim::CycleTimeWord(now + 4096)), now + 4096);
  EXPECT_EQ(sim::ResolveStartCycle(now, sim::CycleTimeWord(now)), now);
  EXPECT_EQ(sim::ResolveStartCycle(now, sim::CycleTimeWord(now - 10)), now);
  EXPECT_EQ(sim::ResolveStartCycle(127 * 8000 + 7990, sim::CycleTimeWord(128 * 8000 + 5)), 128 * 8000 + 5);
}

struct BusFixture : testing::Test {
  plat::Scheduler sched;
  Bus bus{sched};
};

TEST_F(BusFixture, PluggingAndUnpluggingResetTheBusAndRenumberTheNodes) {
  RecordingNode a(1), b(2), c(3);
  ASSERT_TRUE(bus.Attach(a));
  ASSERT_TRUE(bus.Attach(b));
  ASSERT_TRUE(bus.Attach(c));
  EXPECT_EQ(bus.Generation(), 3u);
  EXPECT_EQ(c.NodeId(), 2);
  EXPECT_FALSE(bus.Attach(c));
  bus.Detach(b);
  EXPECT_EQ(bus.Generation(), 4u);
  EXPECT_EQ(c.NodeId(), 1);
  EXPECT_EQ(bus.NodeIdOf(2), std::nullopt);
  EXPECT_EQ(a.resets, 4);
  bus.Reset(Bus::Renumber::Rotate);
  EXPECT_EQ(a.NodeId(), 1);
  EXPECT_EQ(c.NodeId(), 0);
  EXPECT_EQ(bus.NodeIdOf(3), 0);
}

TEST_F(BusFixture, WriteAndReadCompleteAfterTheLatencyAtDispatchLevel) {
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  bus.SetAsyncLatency(50000);
  const uint8_t data[] = {0x12, 0x34, 0x56, 0x78};
  AsyncStatus ws = AsyncStatus::DataError;
  plat::VTime when = 0;
  KIRQL irql = 0;
  bus.Write(host, unit.NodeId(), 0x10, data, bus.Generation(), [&](AsyncStatus s) {
    ws = s;
    when = sched.Now();
    irql = KeGetCurrentIrql();
  });
  std::vector<uint8_t> got;
  bus.Read(host, unit.NodeId(), 0x10, 4, bus.Generation(),
           [&](AsyncStatus, std::span<const uint8_t> d) { got.assign(d.begin(), d.end()); });
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(ws, AsyncStatus::Complete);
  EXPECT_EQ(when, 50000);
  EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_EQ(unit.lastWriter, host.NodeId());
  EXPECT_EQ(got, std::vector<uint8_t>(data, data + 4));
}

TEST_F(BusFixture, AThreadThatStallsSeesACompletionWithinItsFirstStallAndNoCycleIsLost) {
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  bus.SetAsyncLatency(plat::kNsPerMs);
  bus.WantCycles(unit, true);
  bool completed = false;
  int stallsUntilSeen = 0;
  sched.Spawn("staller", [&] {
    bus.Read(host, unit.NodeId(), 0, 4, bus.Generation(), [&](AsyncStatus, std::span<const uint8_t>) { completed = true; });
    while (!completed && stallsUntilSeen < 50) {
      KeStallExecutionProcessor(5000);
      ++stallsUntilSeen;
    }
    for (int i = 0; i < 9; ++i) KeStallExecutionProcessor(5000);
  });
  sched.RunUntil([&] { return sched.LiveThreads() == 0; }, kNsPerSecond);
  bus.WantCycles(unit, false);
  EXPECT_EQ(stallsUntilSeen, 1);
  ASSERT_EQ(unit.cycles.size(), 400u);  // 50 ms of cycles, each one once
  for (size_t i = 0; i < unit.cycles.size(); ++i) EXPECT_EQ(unit.cycles[i], i);
}

TEST_F(BusFixture, TransactionsFailWithTheStatusOfTheirFault) {
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  const uint8_t q[4] = {};
  std::vector<uint8_t> big(sim::kMaxAsyncPayload + 4);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint8_t dest;
    uint64_t offset;
    std::span<const uint8_t> data;
    bool staleGeneration;
    AsyncStatus expected;
  };
  const Case cases[] = {
      {"plain", [] {}, 1, 0, q, false, AsyncStatus::Complete},
      {"stale generation", [] {}, 1, 0, q, true, AsyncStatus::StaleGeneration},
      {"vacant node id", [] {}, 9, 0, q, false, AsyncStatus::Departed},
      {"unreachable", [&] { bus.SetReachable(2, false); }, 1, 0, q, false, AsyncStatus::Departed},
      {"reachable again", [&] { bus.SetReachable(2, true); }, 1, 0, q, false, AsyncStatus::Complete},
      {"injected busy", [&] { bus.FailAsync(2, AsyncStatus::Busy); }, 1, 0, q, false, AsyncStatus::Busy},
      {"fault used up", [] {}, 1, 0, q, false, AsyncStatus::Complete},
      {"too long", [] {}, 1, 0, big, false, AsyncStatus::TypeError},
      {"past the address space", [] {}, 1, (uint64_t{1} << 48) - 2, q, false, AsyncStatus::AddressError},
      {"the node's own answer", [] {}, 1, 4094, q, false, AsyncStatus::AddressError},
  };
  for (const auto& c : cases) {
    c.arrange();
    AsyncStatus got = AsyncStatus::DataError;
    bus.Write(host, c.dest, c.offset, c.data, bus.Generation() - (c.staleGeneration ? 1 : 0),
              [&](AsyncStatus s) { got = s; });
    sched.RunFor(kNsPerCycle);
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST_F(BusFixture, ARequestInFlightAcrossAResetIsStale) {
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  AsyncStatus got = AsyncStatus::Complete;
  bus.Read(host, 1, 0, 4, bus.Generation(), [&](AsyncStatus s, std::span<const uint8_t>) { got = s; });
  bus.Reset();
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(got, AsyncStatus::StaleGeneration);
}

// The reset holds the bus: a request of the new generation sent during it goes out once the bus
// is back, and the cycle time runs on meanwhile.
TEST_F(BusFixture, ARequestSentDuringAResetGoesOutWhenTheResetIsOver) {
  bus.SetResetCycles(8);
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  sched.RunFor(20 * kNsPerCycle);
  const plat::VTime resetEnd = sched.Now() + 8 * kNsPerCycle;
  bus.Reset();
  plat::VTime doneAt = 0;
  bus.Write(host, 1, 0, std::vector<uint8_t>{1, 2, 3, 4}, bus.Generation(), [&](AsyncStatus s) {
    EXPECT_EQ(s, AsyncStatus::Complete);
    doneAt = sched.Now();
  });
  sched.RunFor(20 * kNsPerCycle);
  ASSERT_NE(doneAt, 0);
  EXPECT_GE(doneAt, resetEnd);
  EXPECT_EQ(bus.CurrentCycle(), static_cast<uint64_t>(sched.Now() / kNsPerCycle));

  // Once the reset is over, requests take the plain latency again.
  plat::VTime sentAt = sched.Now();
  bus.Write(host, 1, 0, std::vector<uint8_t>{1, 2, 3, 4}, bus.Generation(), [&](AsyncStatus) { doneAt = sched.Now(); });
  sched.RunFor(20 * kNsPerCycle);
  EXPECT_LT(doneAt - sentAt, kNsPerCycle);
}

TEST_F(BusFixture, ACallbackMayStartTransactionsWhileItsOwnAnswerStaysIntact) {
  RecordingNode host(1), unit(2);
  bus.Attach(host);
  bus.Attach(unit);
  for (uint8_t i = 0; i < 8; ++i) unit.memory[i] = static_cast<uint8_t>(0xA0 + i);
  std::vector<std::vector<uint8_t>> answers;
  const std::vector<uint8_t> block(64, 0x5C);
  std::function<void(AsyncStatus, std::span<const uint8_t>)> read = [&](AsyncStatus, std::span<const uint8_t> d) {
    // A longer write and another read start before the answer is read.
    if (answers.size() < 4) {
      bus.Write(host, unit.NodeId(), 0x100, block, bus.Generation(), nullptr);
      bus.Read(host, unit.NodeId(), answers.size() + 1, 4, bus.Generation(), read);
    }
    answers.emplace_back(d.begin(), d.end());
  };
  bus.Read(host, unit.NodeId(), 0, 4, bus.Generation(), read);
  sched.RunFor(10 * kNsPerCycle);
  ASSERT_EQ(answers.size(), 5u);
  for (size_t i = 0; i < answers.size(); ++i)
    EXPECT_EQ(answers[i], std::vector<uint8_t>(unit.memory.begin() + i, unit.memory.begin() + i + 4)) << i;
  EXPECT_EQ(std::vector<uint8_t>(unit.memory.begin() + 0x100, unit.memory.begin() + 0x140), block);
}

TEST(BusLifetime, TransactionsOnTheirWayDieWithTheBus) {
  plat::Scheduler sched;
  RecordingNode host(1), unit(2);
  int completions = 0;
  {
    Bus bus(sched);
    bus.Attach(host);
    bus.Attach(unit);
    const uint8_t q[4] = {};
    bus.Write(host, unit.NodeId(), 0, q, bus.Generation(), [&](AsyncStatus) { ++completions; });
    bus.Read(host, unit.NodeId(), 0, 4, bus.Generation(), [&](AsyncStatus, std::span<const uint8_t>) { ++completions; });
  }
  sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(completions, 0);
  EXPECT_EQ(unit.lastWriter, 0xFF);
}

// A node whose guarded callbacks a test can schedule.
class TimedNode : public sim::Node {
 public:
  explicit TimedNode(uint64_t guid) : Node(guid) {}
  void After(plat::Scheduler& sched, plat::VTime dt, int* ran) {
    sched.After(dt, Guarded([ran] { ++*ran; }));
  }
};

TEST(NodeLife, AGuardedCallbackOfAGoneNodeDoesNotRunEvenWhenANewNodeTakesItsPlace) {
  plat::Scheduler sched;
  int ranGone = 0, ranLiving = 0;
  auto gone = std::make_unique<TimedNode>(1);
  gone->After(sched, kNsPerCycle, &ranGone);
  gone.reset();
  TimedNode successor(2);  // reuses what the gone node had
  successor.After(sched, kNsPerCycle, &ranLiving);
  sched.RunFor(2 * kNsPerCycle);
  EXPECT_EQ(ranGone, 0);
  EXPECT_EQ(ranLiving, 1);
}

TEST_F(BusFixture, ChannelsAreExclusiveAndBandwidthRunsOut) {
  EXPECT_EQ(bus.AllocateChannel(std::nullopt), 0u);
  EXPECT_EQ(bus.AllocateChannel(5u), 5u);
  EXPECT_EQ(bus.AllocateChannel(5u), std::nullopt);
  EXPECT_EQ(bus.AllocateChannel(64u), std::nullopt);
  EXPECT_EQ(bus.AllocateChannel(std::nullopt), 1u);
  EXPECT_TRUE(bus.FreeChannel(0));
  EXPECT_FALSE(bus.FreeChannel(0));
  EXPECT_EQ(bus.AllocateChannel(std::nullopt), 0u);

  uint32_t record = Bus::BandwidthUnits(1220, 2);
  EXPECT_TRUE(bus.AllocateBandwidth(record));
  EXPECT_TRUE(bus.AllocateBandwidth(record));
  EXPECT_TRUE(bus.AllocateBandwidth(record));
  EXPECT_FALSE(bus.AllocateBandwidth(record));
  bus.FreeBandwidth(record);
  EXPECT_EQ(bus.BandwidthAvailable(), sim::kBandwidthUnits - 2 * record);
}

TEST_F(BusFixture, CyclesRunOnlyWhileANodeWantsThem) {
  RecordingNode n(1);
  bus.Attach(n);
  sched.RunFor(10 * kNsPerCycle);
  EXPECT_TRUE(n.cycles.empty());
  bus.WantCycles(n, true);
  sched.RunFor(3 * kNsPerCycle);
  EXPECT_EQ(n.cycles, (std::vector<uint64_t>{10, 11, 12, 13}));
  bus.WantCycles(n, false);
  sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(n.cycles.size(), 4u);
}

TEST_F(BusFixture, OnePacketPerChannelPerCycleReachesEveryListenerButTheTalker) {
  RecordingNode talker(1), other(2), listener(3), deaf(4);
  for (auto* n : {&talker, &other, &listener, &deaf}) bus.Attach(*n);
  bus.Listen(listener, 7);
  bus.Listen(talker, 7);
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(bus.Transmit(talker, 7, payload));
  EXPECT_FALSE(bus.Transmit(other, 7, payload));
  EXPECT_EQ(bus.Stats(7).collisions, 1u);
  ASSERT_EQ(listener.heard.size(), 1u);
  EXPECT_TRUE(talker.heard.empty());
  EXPECT_EQ(listener.heard[0].header, sim::IsoHeader(8, 7));
  EXPECT_EQ(listener.heard[0].header, 0x000847A0u);
  EXPECT_EQ(listener.heard[0].source, talker.NodeId());
  sched.RunFor(kNsPerCycle);
  EXPECT_TRUE(bus.Transmit(other, 7, payload));
  EXPECT_EQ(listener.heard.size(), 2u);
}

uint64_t TraceOfOnePacket(uint8_t lastByte) {
  plat::Scheduler sched;
  Bus bus{sched};
  RecordingNode talker(1), listener(2);
  bus.Attach(talker);
  bus.Attach(listener);
  bus.Listen(listener, 7);
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, lastByte};
  bus.Transmit(talker, 7, payload);
  sched.RunFor(kNsPerCycle);
  return sched.TraceHash();
}

TEST(BusTrace, OnePayloadBitChangesTheTraceHash) {
  EXPECT_EQ(TraceOfOnePacket(12), TraceOfOnePacket(12));
  EXPECT_NE(TraceOfOnePacket(12), TraceOfOnePacket(13));
}

TEST_F(BusFixture, IsochronousFaultsHitTheNextPacketsOfTheirChannel) {
  RecordingNode talker(1), listener(2);
  bus.Attach(talker);
  bus.Attach(listener);
  bus.Listen(listener, 3);
  const uint8_t payload[] = {0x01, 0x14, 0x00, 0x40, 0xBE, 0, 0, 0, 9, 9, 9, 9};
  struct Case {
    IsoFault fault;
    size_t copies;
    uint32_t lengthField;
    uint8_t dbs, dbc;
  };
  const Case cases[] = {
      {IsoFault::Drop, 0, 0, 0, 0},
      {IsoFault::Duplicate, 2, 12, 0x14, 0x40},
      {IsoFault::CorruptLength, 1, 8, 0x14, 0x40},
      {IsoFault::CorruptDbs, 1, 12, 0x15, 0x40},
      {IsoFault::CorruptDbc, 1, 12, 0x14, 0x41},
  };
  for (const auto& c : cases) {
    listener.heard.clear();
    bus.InjectIsoFault(3, c.fault);
    bus.Transmit(talker, 3, payload);
    sched.RunFor(kNsPerCycle);
    ASSERT_EQ(listener.heard.size(), c.copies) << static_cast<int>(c.fault);
    for (const auto& h : listener.heard) {
      EXPECT_EQ(h.header >> 16, c.lengthField);
      EXPECT_EQ(h.payload.size(), sizeof payload);
      EXPECT_EQ(h.payload[1], c.dbs);
      EXPECT_EQ(h.payload[3], c.dbc);
    }
    listener.heard.clear();
    bus.Transmit(talker, 3, payload);
    sched.RunFor(kNsPerCycle);
    ASSERT_EQ(listener.heard.size(), 1u);
    EXPECT_EQ(listener.heard[0].payload, std::vector<uint8_t>(payload, payload + sizeof payload));
  }
  EXPECT_EQ(bus.Stats(3).dropped, 1u);
  EXPECT_EQ(bus.Stats(3).corrupted, 3u);
}

}  // namespace

namespace {

using sim::Steering;
using sim::TransactionMode;

struct SteeredFixture : BusFixture {
  SteeredFixture() {
    bus.Attach(host);
    bus.Attach(unit);
  }
  // Writes one byte at `offset` of the unit; the outcome lands in `outcomes[offset]`.
  bool WriteByte(uint8_t offset, const Steering* steering = nullptr) {
    const uint8_t value[1] = {static_cast<uint8_t>(offset + 1)};
    return bus.Write(host, unit.NodeId(), offset, value, bus.Generation(), [this, offset](AsyncStatus s) {
      outcomes.emplace_back(offset, s);
      irqls.push_back(KeGetCurrentIrql());
    }, steering);
  }
  RecordingNode host{1}, unit{2};
  std::vector<std::pair<uint8_t, AsyncStatus>> outcomes;
  std::vector<KIRQL> irqls;
};

TEST_F(SteeredFixture, EachModeCarriesOutOrKeepsBackTheTransactionAsItSays) {
  struct Case {
    const char* what;
    Steering steering;
    bool accepted;
    bool atTargetAtOnce;     // the unit has the byte right after the call
    bool doneAtOnce;         // the completion ran inside the call
    bool atTargetLater;      // after the latency
    bool doneLater;
    AsyncStatus status;      // once it completed
  };
  const Case cases[] = {
      {"deliver", {TransactionMode::Deliver}, true, false, false, true, true, AsyncStatus::Complete},
      {"hold the request", {TransactionMode::HoldRequest}, true, false, false, false, false, AsyncStatus::Complete},
      {"hold the response", {TransactionMode::HoldResponse}, true, false, false, true, false, AsyncStatus::Complete},
      {"complete at once", {TransactionMode::Immediate}, true, true, true, true, true, AsyncStatus::Complete},
      {"refuse", {TransactionMode::Refuse}, false, false, false, false, false, AsyncStatus::Complete},
      {"fail", {TransactionMode::Fail, AsyncStatus::Busy}, true, false, false, false, true, AsyncStatus::Busy},
  };
  uint8_t offset = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    outcomes.clear();
    ++offset;
    bus.Steer(c.steering);
    EXPECT_EQ(WriteByte(offset), c.accepted);
    EXPECT_EQ(unit.memory[offset] != 0, c.atTargetAtOnce);
    EXPECT_EQ(!outcomes.empty(), c.doneAtOnce);
    sched.RunFor(kNsPerCycle);
    EXPECT_EQ(unit.memory[offset] != 0, c.atTargetLater);
    EXPECT_EQ(!outcomes.empty(), c.doneLater);
    if (bus.HeldCount() != 0) {
      EXPECT_EQ(bus.Held(0).responseHeld, c.atTargetLater);
      bus.ReleaseHeld();
      EXPECT_NE(unit.memory[offset], 0);
    }
    if (c.accepted) {
      ASSERT_EQ(outcomes.size(), 1u);
      EXPECT_EQ(outcomes[0].second, c.status);
      EXPECT_EQ(irqls.back(), DISPATCH_LEVEL);
    }
  }
}

TEST_F(SteeredFixture, HeldTransactionsReachTheirTargetAndCompleteInTheOrderOfRelease) {
  const uint64_t unitGuid = unit.Guid();
  bus.Steer({TransactionMode::HoldRequest}, 3, unitGuid);
  for (uint8_t offset : {10, 11, 12}) WriteByte(offset);
  ASSERT_EQ(bus.HeldCount(), 3u);
  EXPECT_EQ(bus.Held(1).offset, 11u);
  EXPECT_EQ(bus.Held(1).destination, unitGuid);
  const uint8_t other[1] = {9};
  bus.Write(unit, host.NodeId(), 0, other, bus.Generation(), nullptr);
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(host.memory[0], 9) << "a rule for one node leaves the others alone";
  bus.ReleaseHeld(2);
  EXPECT_EQ(unit.lastWriter, host.NodeId());
  bus.ReleaseHeld(0);
  bus.ReleaseHeld(0);
  std::vector<uint8_t> order;
  for (auto& [o, s] : outcomes) order.push_back(o);
  EXPECT_EQ(order, (std::vector<uint8_t>{12, 10, 11}));
}

TEST_F(SteeredFixture, AHeldResponseFromANodeThatLeftCompletesAsDeparted) {
  bus.Steer({TransactionMode::HoldResponse});
  WriteByte(5);
  sched.RunFor(kNsPerCycle);
  bus.Detach(unit);
  bus.ReleaseAllHeld();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].second, AsyncStatus::Departed);
}

TEST_F(SteeredFixture, UnderAnySeedWhatOneNodeSendsAnotherArrivesInOrder) {
  for (uint64_t seed : {0ull, 1ull, 2ull, 7ull, 42ull}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    sched.SetSeed(seed);
    outcomes.clear();
    for (uint8_t offset = 20; offset < 40; ++offset) WriteByte(offset);
    sched.RunFor(kNsPerCycle);
    ASSERT_EQ(outcomes.size(), 20u);
    for (size_t i = 0; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i].first, 20 + i);
  }
}

}  // namespace

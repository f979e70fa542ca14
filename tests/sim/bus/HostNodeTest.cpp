#include "sim/bus/HostNode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/kernel/Irql.h"
#include "tests/sim/bus/RecordingNode.h"

namespace {

using plat::kNsPerCycle;
using sim::AsyncStatus;
using sim::HostNode;
using sim::IsoBuffer;
using sim::IsoList;
using simtest::RecordingNode;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

struct HostFixture : testing::Test {
  HostFixture() {
    bus.Attach(host);
    bus.Attach(unit);
  }
  plat::Scheduler sched;
  sim::Bus bus{sched};
  HostNode host;
  RecordingNode unit{0x55};
};

TEST_F(HostFixture, ReceiveSlotsHoldTimeStampHeaderAndPayloadAndTheListCompletesAtDispatch) {
  std::array<std::array<uint8_t, 32>, 2> slots{};
  IsoBuffer bufs[2] = {{slots[0].data(), 32}, {slots[1].data(), 32}};
  int done = 0;
  KIRQL irql = 0;
  IsoList list{bufs, 2, std::nullopt, [&](IsoList&) {
                 ++done;
                 irql = KeGetCurrentIrql();
               }};
  sched.RunFor(8001 * kNsPerCycle);  // second 1, cycle 1
  ASSERT_TRUE(host.Listen(9));
  ASSERT_TRUE(host.AttachReceive(9, list));
  const uint8_t p1[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  bus.Transmit(unit, 9, p1);
  EXPECT_EQ(Le32(slots[0].data()), (1u << 13) | 1u);
  EXPECT_EQ(Le32(slots[0].data() + 4), sim::IsoHeader(12, 9));
  EXPECT_EQ(slots[0][4 + 2], 12);  // bytes 6-7 of the slot: the data length
  EXPECT_EQ(0, std::memcmp(slots[0].data() + 8, p1, sizeof p1));
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(done, 0);
  bus.Transmit(unit, 9, p1);
  EXPECT_EQ(done, 0);
  sched.RunUntilIdle();
  EXPECT_EQ(done, 1);
  EXPECT_EQ(irql, DISPATCH_LEVEL);
  sched.RunFor(kNsPerCycle);
  bus.Transmit(unit, 9, p1);
  EXPECT_EQ(host.Counters(9).received, 2u);
  EXPECT_EQ(host.Counters(9).missed, 1u);
}

TEST_F(HostFixture, APacketLargerThanItsSlotIsNotStored) {
  std::array<uint8_t, 16> slot{};
  IsoBuffer buf{slot.data(), 16};
  IsoList list{&buf, 1, std::nullopt, nullptr};
  host.Listen(2);
  host.AttachReceive(2, list);
  const uint8_t big[12] = {};
  bus.Transmit(unit, 2, big);
  EXPECT_EQ(host.Counters(2).oversize, 1u);
  EXPECT_EQ(host.Counters(2).received, 0u);
}

TEST_F(HostFixture, TransmitReadsTheBufferWhenItsCycleComesAndHonoursTheStartCycle) {
  bus.Listen(unit, 4);
  uint8_t a[8] = {0xAA}, b[8] = {0xBB};
  IsoBuffer bufs[2] = {{a, 8}, {b, 4}};
  bool done = false;
  IsoList list{bufs, 2, sim::CycleTimeWord(20), [&](IsoList&) { done = true; }};
  host.Talk(4);
  host.AttachTransmit(4, list);
  a[0] = 0xA1;  // filled after the list was handed over
  bufs[1].length = 8;
  sched.RunFor(19 * kNsPerCycle);
  EXPECT_TRUE(unit.heard.empty());
  sched.RunFor(2 * kNsPerCycle);
  ASSERT_EQ(unit.heard.size(), 2u);
  EXPECT_EQ(unit.heard[0].cycle, 20u);
  EXPECT_EQ(unit.heard[0].payload[0], 0xA1);
  EXPECT_EQ(unit.heard[1].payload.size(), 8u);
  EXPECT_EQ(unit.heard[1].source, host.NodeId());
  sched.RunUntilIdle();
  EXPECT_TRUE(done);
  EXPECT_EQ(host.Counters(4).transmitted, 2u);
  host.StopTalk(4);
}

TEST_F(HostFixture, ADetachedListIsNeitherFilledNorCompleted) {
  uint8_t slot[32];
  IsoBuffer buf{slot, 32};
  bool done = false;
  IsoList list{&buf, 1, std::nullopt, [&](IsoList&) { done = true; }};
  host.Listen(1);
  host.AttachReceive(1, list);
  EXPECT_TRUE(host.Detach(list));
  EXPECT_FALSE(host.Detach(list));
  const uint8_t p[8] = {};
  bus.Transmit(unit, 1, p);
  sched.RunFor(kNsPerCycle);
  EXPECT_FALSE(done);
  EXPECT_EQ(host.Counters(1).missed, 1u);
}

TEST_F(HostFixture, ListsCompleteInTheOrderAttachedWhateverIsDetachedOrReattachedBetween) {
  // One packet a list; more lists at once than the queue first has room for, wrapping round it.
  constexpr int kLists = 7;
  std::array<std::array<uint8_t, 16>, kLists> slots{};
  std::array<IsoBuffer, kLists> bufs;
  std::array<IsoList, kLists> lists;
  std::vector<int> order;
  for (int i = 0; i < kLists; ++i) {
    bufs[i] = {slots[i].data(), 16};
    lists[i] = {&bufs[i], 1, std::nullopt, [&order, i](IsoList&) { order.push_back(i); }};
  }
  host.Listen(3);
  for (int i : {0, 1, 2}) host.AttachReceive(3, lists[i]);
  const uint8_t p[4] = {};
  auto packet = [&] {
    bus.Transmit(unit, 3, p);
    sched.RunFor(kNsPerCycle);
  };
  packet();
  packet();
  for (int i : {3, 4, 5, 6}) host.AttachReceive(3, lists[i]);
  EXPECT_TRUE(host.Detach(lists[4]));
  EXPECT_TRUE(host.Detach(lists[2]));
  host.AttachReceive(3, lists[0]);
  for (int i = 0; i < 5; ++i) packet();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 3, 5, 6, 0}));
  EXPECT_EQ(host.Counters(3).missed, 1u);
}

TEST_F(HostFixture, UnitWritesLandInTheirAddressRange) {
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> got;
  auto base = host.AllocateAddressRange(256, [&](uint64_t off, std::span<const uint8_t> d) {
    got.emplace_back(off, std::vector<uint8_t>(d.begin(), d.end()));
  });
  ASSERT_TRUE(base.has_value());
  const uint8_t rec[8] = {1, 2, 3, 4};
  AsyncStatus inside = AsyncStatus::DataError, across = AsyncStatus::DataError, freed = AsyncStatus::DataError;
  bus.Write(unit, host.NodeId(), *base + 16, rec, bus.Generation(), [&](AsyncStatus s) { inside = s; });
  bus.Write(unit, host.NodeId(), *base + 252, rec, bus.Generation(), [&](AsyncStatus s) { across = s; });
  sched.RunFor(kNsPerCycle);
  EXPECT_TRUE(host.FreeAddressRange(*base));
  bus.Write(unit, host.NodeId(), *base, rec, bus.Generation(), [&](AsyncStatus s) { freed = s; });
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(inside, AsyncStatus::Complete);
  EXPECT_EQ(across, AsyncStatus::AddressError);
  EXPECT_EQ(freed, AsyncStatus::AddressError);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, 16u);
  EXPECT_EQ(got[0].second, std::vector<uint8_t>(rec, rec + 8));
}

TEST_F(HostFixture, ARangeAnswersWithItsOwnResponseAndSeesTheWriter) {
  std::vector<uint8_t> sources;
  auto refusing = host.AllocateAddressRange(64, [&](uint8_t source, uint64_t, std::span<const uint8_t>) {
    sources.push_back(source);
    return AsyncStatus::AddressError;
  }, HostNode::kRangeBase + 0x10000);
  ASSERT_EQ(refusing, HostNode::kRangeBase + 0x10000) << "at the offset asked for";
  auto overlap = [](uint8_t, uint64_t, std::span<const uint8_t>) { return AsyncStatus::Complete; };
  EXPECT_EQ(host.AllocateAddressRange(64, overlap, HostNode::kRangeBase + 0x10000 + 32), std::nullopt);
  EXPECT_EQ(host.AllocateAddressRange(64, overlap, HostNode::kRangeBase + 0x10000 - 32), std::nullopt);
  auto next = host.AllocateAddressRange(64, overlap);
  ASSERT_TRUE(next.has_value());
  EXPECT_GT(*next, *refusing) << "a free range never lands on one asked for";
  AsyncStatus got = AsyncStatus::Complete;
  const uint8_t q[4] = {};
  bus.Write(unit, host.NodeId(), *refusing, q, bus.Generation(), [&](AsyncStatus s) { got = s; });
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(got, AsyncStatus::AddressError);
  EXPECT_EQ(sources, std::vector<uint8_t>{unit.NodeId()});
}

// Sends a one-byte packet numbering the cycle, and keeps what it hears.
struct CountingOwner : sim::IsoContextOwner {
  bool NextPacket(uint64_t cycle, std::span<const uint8_t>* payload, uint8_t* tag) override {
    cycles.push_back(cycle);
    byte = static_cast<uint8_t>(cycle);
    *payload = std::span<const uint8_t>(&byte, 1);
    *tag = 1;
    return true;
  }
  void PacketArrived(const sim::IsoPacket& p) override { heard.push_back(p.cycle); }
  std::vector<uint64_t> cycles, heard;
  uint8_t byte = 0;
};

TEST_F(HostFixture, ContextsAreLimitedAndWorkForTheirOwnersFromTheirStartCycle) {
  host.SetIsoContexts(1, 1);
  CountingOwner talker, listener, spare;
  auto talk = host.OpenIsoContext(sim::IsoContextKind::Talk, 3, talker);
  auto listen = host.OpenIsoContext(sim::IsoContextKind::Listen, 4, listener);
  ASSERT_TRUE(talk && listen);
  EXPECT_EQ(host.OpenIsoContext(sim::IsoContextKind::Talk, 5, spare), std::nullopt) << "no context left";
  EXPECT_EQ(host.FreeIsoContexts(sim::IsoContextKind::Listen), 0u);
  bus.Listen(unit, 3);
  host.StartIsoContext(*talk, sim::CycleTimeWord(10));
  host.StartIsoContext(*listen, sim::CycleTimeWord(12));
  const uint8_t p[4] = {};
  for (int i = 0; i < 14; ++i) {
    bus.Transmit(unit, 4, p);
    sched.RunFor(kNsPerCycle);
  }
  ASSERT_FALSE(talker.cycles.empty());
  EXPECT_EQ(talker.cycles.front(), 10u);
  EXPECT_EQ(unit.heard.size(), talker.cycles.size());
  ASSERT_FALSE(listener.heard.empty());
  EXPECT_EQ(listener.heard.front(), 12u);
  host.CloseIsoContext(*talk);
  host.CloseIsoContext(*listen);
  EXPECT_EQ(host.FreeIsoContexts(sim::IsoContextKind::Talk), 1u);
  const size_t sent = talker.cycles.size();
  sched.RunFor(4 * kNsPerCycle);
  EXPECT_EQ(talker.cycles.size(), sent);
}

TEST_F(HostFixture, AResetFreesTheResourceManagerAndTheHostTakesBackWhatItHeldAfterTheLostCycles) {
  sim::HostNode other(0x2);  // listens to what the host sends
  bus.Attach(other);
  bus.SetResetCycles(8);
  ASSERT_EQ(host.AllocateChannel(5u), 5u);
  auto bandwidth = host.AllocateBandwidth(1088, 2);
  ASSERT_TRUE(bandwidth.has_value());
  ASSERT_EQ(bus.AllocateChannel(6u), 6u);  // by a node that does not take it back
  const uint32_t available = bus.BandwidthAvailable();
  CountingOwner talker;
  auto talk = host.OpenIsoContext(sim::IsoContextKind::Talk, 5, talker);
  host.StartIsoContext(*talk, std::nullopt);
  CountingOwner heard;
  auto listen = other.OpenIsoContext(sim::IsoContextKind::Listen, 5, heard);
  other.StartIsoContext(*listen, std::nullopt);
  sched.RunFor(4 * kNsPerCycle);
  const uint64_t resetAt = bus.CurrentCycle() + 1;  // the cycle of now has run
  bus.Reset();
  sched.RunFor(12 * kNsPerCycle);
  EXPECT_TRUE(bus.ChannelAllocated(5));
  EXPECT_FALSE(bus.ChannelAllocated(6));
  EXPECT_EQ(bus.BandwidthAvailable(), available);
  EXPECT_EQ(host.ResourcesLostAtReset(), 0u);
  EXPECT_EQ(bus.LostCycles(), 8u);
  // The context is asked for the packet of every cycle, as it keeps time; those of the reset's
  // cycles never reach the bus.
  for (uint64_t c = talker.cycles.front(); c <= bus.CurrentCycle(); ++c)
    EXPECT_TRUE(std::count(talker.cycles.begin(), talker.cycles.end(), c) == 1) << "cycle " << c;
  EXPECT_EQ(bus.Stats(5).packets, talker.cycles.size() - 8);
  for (uint64_t c : heard.heard) EXPECT_FALSE(c >= resetAt && c < resetAt + 8) << "cycle " << c;
  EXPECT_EQ(talker.cycles.back(), bus.CurrentCycle()) << "the context goes on after the reset";
  host.CloseIsoContext(*talk);
  other.CloseIsoContext(*listen);
  EXPECT_TRUE(host.FreeBandwidth(*bandwidth));
  EXPECT_TRUE(host.FreeChannel(5));
}

TEST_F(HostFixture, ARangeFreedByItsOwnCallbackTakesNoFurtherWrites) {
  const uint8_t rec[4] = {1, 2, 3, 4};
  int calls = 0;
  std::optional<uint64_t> base;
  base = host.AllocateAddressRange(64, [&](uint64_t, std::span<const uint8_t> d) {
    ++calls;
    EXPECT_TRUE(host.FreeAddressRange(*base));
    EXPECT_FALSE(host.FreeAddressRange(*base)) << "freed once";
    EXPECT_EQ(d[3], 4) << "the data outlives the freeing";
  });
  ASSERT_TRUE(base.has_value());
  AsyncStatus first = AsyncStatus::DataError, second = AsyncStatus::DataError;
  bus.Write(unit, host.NodeId(), *base, rec, bus.Generation(), [&](AsyncStatus s) { first = s; });
  bus.Write(unit, host.NodeId(), *base, rec, bus.Generation(), [&](AsyncStatus s) { second = s; });
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(first, AsyncStatus::Complete);
  EXPECT_EQ(second, AsyncStatus::AddressError);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(host.FreeAddressRange(*base));
}

TEST_F(HostFixture, ResetListenersHearTheNewGenerationAtDispatch) {
  sched.RunUntilIdle();
  std::vector<uint32_t> heard;
  KIRQL irql = 0;
  uint64_t id = host.AddResetListener([&](uint32_t g) {
    heard.push_back(g);
    irql = KeGetCurrentIrql();
  });
  bus.Reset();
  sched.RunUntilIdle();
  host.RemoveResetListener(id);
  bus.Reset();
  sched.RunUntilIdle();
  EXPECT_EQ(heard, std::vector<uint32_t>{3});
  EXPECT_EQ(irql, DISPATCH_LEVEL);
}

TEST_F(HostFixture, RefusedRequestsNeverComplete) {
  host.RefuseNextRequests(1);
  int completions = 0;
  const uint8_t q[4] = {};
  EXPECT_FALSE(host.Write(unit.NodeId(), 0, q, host.Generation(), [&](AsyncStatus) { ++completions; }));
  EXPECT_TRUE(host.Write(unit.NodeId(), 0, q, host.Generation(), [&](AsyncStatus) { ++completions; }));
  sched.RunFor(kNsPerCycle);
  EXPECT_EQ(completions, 1);
}

TEST_F(HostFixture, BandwidthHandlesGiveTheirUnitsBack) {
  uint32_t before = bus.BandwidthAvailable();
  auto h = host.AllocateBandwidth(1088, 2);
  ASSERT_TRUE(h.has_value());
  EXPECT_LT(bus.BandwidthAvailable(), before);
  EXPECT_TRUE(host.FreeBandwidth(*h));
  EXPECT_FALSE(host.FreeBandwidth(*h));
  EXPECT_EQ(bus.BandwidthAvailable(), before);
}

}  // namespace
